// The peer started with posix_spawn, its standard input and output as pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "tests/conformance/peer_process.h"
#include "tests/support/program.h"

namespace conformance {

using Clock = std::chrono::steady_clock;

PeerProcess::PeerProcess(const std::vector<std::string>& extraEnvironment) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> env = testsupport::environmentWith(extraEnvironment);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = QT_CONFORMANCE_PEER;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  process_ = pid;
  toPeer_ = in[1];
  fromPeer_ = out[0];
  if (rc != 0) {
    throw std::runtime_error("cannot start the peer program " + program);
  }
}

PeerProcess::~PeerProcess() {
  if (toPeer_ >= 0) close(toPeer_);
  toPeer_ = -1;
  if (process_ > 0 && waitExit(std::chrono::seconds(10)) == -1) kill();
  if (fromPeer_ >= 0) close(fromPeer_);
}

void PeerProcess::send(const std::string& command) {
  std::string line = command + "\n";
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0 && toPeer_ >= 0) {
    ssize_t n = write(toPeer_, p, left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

std::optional<std::string> PeerProcess::readLine(std::chrono::milliseconds deadline) {
  auto end = Clock::now() + deadline;
  for (;;) {
    if (std::optional<std::string> line = takePendingLine()) return line;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() < 0) return std::nullopt;
    pollfd p{static_cast<int>(fromPeer_), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fromPeer_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;  // the peer is gone
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

void PeerProcess::kill() {
  if (process_ <= 0) return;
  ::kill(static_cast<pid_t>(process_), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(process_), &status, 0);
  process_ = -1;
}

int PeerProcess::waitExit(std::chrono::milliseconds deadline) {
  if (process_ <= 0) return -1;
  auto end = Clock::now() + deadline;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(static_cast<pid_t>(process_), &status, WNOHANG);
    if (done == process_) {
      process_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= end) return -1;
    usleep(2000);  // a child's exit cannot be waited for with a deadline otherwise
  }
}

}  // namespace conformance
