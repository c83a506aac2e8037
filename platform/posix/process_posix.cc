// Child processes: posix_spawn in a new session, kill of the process group.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/platform.h"
#include "platform/posix_error.h"
#include "platform/process.h"

namespace platform {
namespace {

std::vector<char*> environmentPointers(const char* block, size_t size) {
  std::vector<char*> pointers;
  size_t i = 0;
  while (i < size && block[i] != '\0') {
    size_t length = strnlen(block + i, size - i);
    if (i + length >= size) break;  // an entry without its NUL is not taken
    pointers.push_back(const_cast<char*>(block + i));
    i += length + 1;
  }
  pointers.push_back(nullptr);
  return pointers;
}

// The attributes of every child: own session, clean signal state.
int prepareAttributes(posix_spawnattr_t* attr) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  int rc = posix_spawnattr_init(attr);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attr, &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(attr, &all);
  short flags = POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (rc == 0) rc = posix_spawnattr_setflags(attr, flags);
  return rc;
}

int prepareFiles(posix_spawn_file_actions_t* files) {
  int rc = posix_spawn_file_actions_init(files);
  if (rc == 0) rc = posix_spawn_file_actions_addopen(files, 0, "/dev/null", O_RDONLY, 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  // Handles are not inherited: only the three standard streams pass to the child.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(files, 3);
#endif
  return rc;
}

// Waits a short while for a killed child to be gone, so that it leaves no zombie behind.
void collectChild(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done != 0) return;  // collected, or not our child
    timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

bool createProcess(const char* commandLine, const char* environment, size_t environmentSize,
                   ProcessInformation* info) {
  if (commandLine == nullptr || info == nullptr) return posix::fail(EINVAL);
  std::vector<std::string> words = splitCommandLine(commandLine);
  if (words.empty() || words[0].empty()) return posix::fail(ENOENT);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (environment != nullptr) envp = environmentPointers(environment, environmentSize);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t files;
  int rc = prepareAttributes(&attr);
  if (rc == 0) rc = prepareFiles(&files);
  pid_t pid = 0;
  if (rc == 0) {
    rc = posix_spawnp(&pid, argv[0], &files, &attr, argv.data(),
                      environment != nullptr ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&files);
  }
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return posix::fail(rc);
  info->process = pid;
  info->processId = static_cast<uint32_t>(pid);
  return true;
}

bool terminateProcess(intptr_t process, uint32_t /*exitCode*/) {
  if (process <= 0 || process > INT32_MAX) return posix::fail(EINVAL);
  pid_t pid = static_cast<pid_t>(process);
  // The child leads its own group: kill the whole group, then the child itself in case it
  // has left the group.
  bool groupKilled = kill(-pid, SIGKILL) == 0;
  if (kill(pid, SIGKILL) != 0 && !groupKilled) return posix::failErrno();
  collectChild(pid);
  return true;
}

bool waitForProcessEnd(intptr_t process, uint32_t* exitCode) {
  if (process <= 0 || process > INT32_MAX || exitCode == nullptr) return posix::fail(EINVAL);
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return posix::failErrno();
  }
  const bool exited = info.si_code == CLD_EXITED;
  *exitCode = static_cast<uint32_t>(exited ? info.si_status : 128 + info.si_status);
  return true;
}

bool setCurrentDirectory(const char* path) {
  if (path == nullptr) return posix::fail(EINVAL);
  return chdir(path) == 0 || posix::failErrno();
}

}  // namespace platform
