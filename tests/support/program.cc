#include "tests/support/program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

std::string nameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

bool listed(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (nameOf(n) == name) return true;
  }
  return false;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// In the child between fork and exec: only calls that are safe there.
bool redirect(const std::string& path, int flags, int target) {
  if (path.empty()) return true;
  int fd = open(path.c_str(), flags, 0644);
  if (fd < 0 || dup2(fd, target) < 0) return false;
  return fd == target || close(fd) == 0;
}

}  // namespace

std::vector<std::string> environmentWith(const std::vector<std::string>& setEnv,
                                         const std::vector<std::string>& unsetEnv) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name = nameOf(*entry);
    if (!listed(unsetEnv, name) && !listed(setEnv, name)) result.push_back(*entry);
  }
  result.insert(result.end(), setEnv.begin(), setEnv.end());
  return result;
}

Program::Program(const std::string& path, const ProgramStart& start) {
  std::vector<std::string> args = {start.name.empty() ? path : start.name};
  args.insert(args.end(), start.args.begin(), start.args.end());
  std::vector<std::string> environment =
      start.inheritEnv ? environmentWith(start.setEnv, start.unsetEnv) : start.setEnv;
  std::vector<char*> argv = pointersTo(args);
  std::vector<char*> envp = pointersTo(environment);
  const int flags = O_WRONLY | O_CREAT | (start.append ? O_APPEND : O_TRUNC);
  const bool oneFile = !start.out.empty() && start.out == start.err;

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + path);
  if (pid_ == 0) {
    if (!start.folder.empty() && chdir(start.folder.c_str()) != 0) _exit(127);
    if (!redirect(start.out, flags, 1)) _exit(127);
    if (oneFile ? dup2(1, 2) < 0 : !redirect(start.err, flags, 2)) _exit(127);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
}

Program::~Program() {
  if (running()) kill9();
}

void Program::reaped(int status) {
  exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Program::running() {
  if (exitCode_ || pid_ < 0) return false;
  int status = 0;
  if (wait4(pid_, &status, WNOHANG, &usage_) == pid_) reaped(status);
  return !exitCode_;
}

std::optional<int> Program::waitExit(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // A child's end cannot be waited for with a time limit otherwise.
  while (running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exitCode_;
}

void Program::signal(int number) {
  if (running()) ::kill(pid_, number);
}

void Program::kill9() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  if (wait4(pid_, &status, 0, &usage_) == pid_) reaped(status);
}

}  // namespace testsupport
