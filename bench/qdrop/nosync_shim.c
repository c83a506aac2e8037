/* Makes fsync and fdatasync no-ops for files below $QDROP_BENCH_NOSYNC_UNDER, so that the
 * benchmark can tell how much of qdrop's time is the flush of its target files. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int below_target(int fd) {
  const char* prefix = getenv("QDROP_BENCH_NOSYNC_UNDER");
  char link[64];
  char path[4096];
  if (prefix == NULL || *prefix == '\0') return 0;
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t length = readlink(link, path, sizeof path - 1);
  if (length < 0) return 0;
  path[length] = '\0';
  return strncmp(path, prefix, strlen(prefix)) == 0;
}

int fsync(int fd) {
  static int (*real)(int);
  if (below_target(fd)) return 0;
  if (real == NULL) *(void**)(&real) = dlsym(RTLD_NEXT, "fsync");
  return real(fd);
}

int fdatasync(int fd) {
  static int (*real)(int);
  if (below_target(fd)) return 0;
  if (real == NULL) *(void**)(&real) = dlsym(RTLD_NEXT, "fdatasync");
  return real(fd);
}
