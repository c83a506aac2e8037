// The child program of the APPHOST tests. It appends what it was given (process id, current
// directory, arguments, two environment variables) to the file named by
// $APPHOST_CHILD_RECORD, then waits at most 60 seconds. Started under the name OS2.EXE it
// plays the OS/2 subsystem: it offers the event "OS2SSService-<pid>" and ends when the
// event is set, recording "event". With $APPHOST_CHILD_EXIT it ends at once with that code.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/event.h"
#include "platform/platform.h"

namespace {

void record(const char* line) {
  const char* path = std::getenv("APPHOST_CHILD_RECORD");
  if (path == nullptr) return;
  FILE* file = std::fopen(path, "a");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", line);
  std::fclose(file);
}

void recordStart(int argc, char** argv) {
  std::string text = "pid=" + std::to_string(getpid());
  char folder[512];
  if (platform::getCurrentDirectory(folder, sizeof folder)) text += "\ncwd=" + std::string(folder);
  for (int i = 1; i < argc; ++i) text += "\narg=" + std::string(argv[i]);
  for (const char* name : {"CHILD_FOO", "QT_PARAMETERS_DIR"}) {
    const char* value = std::getenv(name);
    text += "\nenv " + std::string(name) + "=" + (value != nullptr ? value : "(unset)");
  }
  record((text + "\nready").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* slash = std::strrchr(argv[0], '/');
  bool os2Subsystem = std::strcmp(slash != nullptr ? slash + 1 : argv[0], "OS2.EXE") == 0;
  platform::EventHandle event = platform::kInvalidEvent;
  std::string name = "OS2SSService-" + std::to_string(getpid());
  if (os2Subsystem) event = platform::createEvent(name.c_str());
  recordStart(argc, argv);
  if (const char* code = std::getenv("APPHOST_CHILD_EXIT")) return std::atoi(code);
  if (!os2Subsystem) {
    platform::sleepMilliseconds(60000);
    return 0;
  }
  if (platform::waitEvent(event, 60000)) record("event");
  platform::removeEvent(name.c_str());
  return 0;
}
