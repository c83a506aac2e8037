// A program of the system run as a child process of a test: its arguments, environment and
// working folder chosen, its standard output and error captured to files, stopped with a
// signal, and waited for with a time limit. Linux only, like the rest of the end-to-end tests.
#ifndef QT_TESTS_SUPPORT_PROGRAM_H
#define QT_TESTS_SUPPORT_PROGRAM_H

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProgramStart {
  std::vector<std::string> args;      // after the program name
  std::string name;                   // the program's argv[0] ("": its path)
  std::string folder;                 // working folder ("": the test's own)
  std::vector<std::string> setEnv;    // NAME=VALUE, added to the test's environment or replacing
  bool inheritEnv = true;             // false: `setEnv` is the whole environment
  std::vector<std::string> unsetEnv;  // NAMEs left out of the test's environment
  std::string out;                    // file of standard output ("": the test's own)
  std::string err;                    // file of standard error; the same path as `out`: one file
  bool append = false;                // append to those files instead of emptying them first
};

// The test's environment with `setEnv` (NAME=VALUE) added or replacing and `unsetEnv` left out.
std::vector<std::string> environmentWith(const std::vector<std::string>& setEnv,
                                         const std::vector<std::string>& unsetEnv = {});

class Program {
 public:
  // Starts `path`; throws std::runtime_error when no process could be made. A program that
  // cannot be executed ends at once with exit code 127.
  Program(const std::string& path, const ProgramStart& start);
  // Kills the program (SIGKILL) when it still runs, and reaps it.
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  // Reaps the program when it has ended; false from then on.
  bool running();
  // Waits up to timeoutMs for the end: the exit code (128 + the signal when one ended it), or
  // nothing when it still runs.
  std::optional<int> waitExit(int timeoutMs);
  // The exit code once the program was reaped.
  std::optional<int> exitCode() const { return exitCode_; }
  // What the ended program used (valid once it was reaped).
  const struct rusage& usage() const { return usage_; }
  void signal(int number);
  void kill9();

 private:
  void reaped(int status);

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  struct rusage usage_ = {};
};

}  // namespace testsupport

#endif  // QT_TESTS_SUPPORT_PROGRAM_H
