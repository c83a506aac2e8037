#include "tests/conformance/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

#include "tests/support/program.h"

namespace conformance {

using Clock = std::chrono::steady_clock;

std::string hexOf(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

PeerReply parseReply(const std::string& line) {
  PeerReply reply;
  reply.line = line;
  std::istringstream in(line);
  if (!(in >> reply.cc >> reply.rc)) return reply;
  reply.received = true;
  for (std::string word; in >> word;) {
    size_t eq = word.find('=');
    if (eq != std::string::npos) reply.fields[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return reply;
}

std::string PeerReply::field(const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? "" : it->second;
}

long long PeerReply::number(const std::string& key) const {
  std::string text = field(key);
  return text.empty() ? -1 : std::stoll(text);
}

std::string PeerReply::data() const {
  std::string hex = field("data"), out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

Clock::time_point PeerReply::time() const {
  return Clock::time_point(std::chrono::nanoseconds(number("t")));
}

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
  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  toPeer_ = in[1];
  fromPeer_ = out[0];
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start the peer program " + program);
  }
}

PeerProcess::~PeerProcess() {
  if (toPeer_ >= 0) close(toPeer_);
  toPeer_ = -1;
  if (pid_ > 0 && waitExit(std::chrono::seconds(10)) == -1) kill();
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
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() < 0) return std::nullopt;
    pollfd p{fromPeer_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    char buffer[4096];
    ssize_t n = read(fromPeer_, buffer, sizeof buffer);
    if (n <= 0) return std::nullopt;  // the peer is gone
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

PeerReply PeerProcess::readReply(std::chrono::milliseconds deadline) {
  auto line = readLine(deadline);
  return line ? parseReply(*line) : PeerReply{};
}

PeerReply PeerProcess::call(const std::string& command, std::chrono::milliseconds deadline) {
  send(command);
  return readReply(deadline);
}

bool PeerProcess::startWaitingGet(const std::string& command) {
  send(command);
  auto line = readLine(std::chrono::seconds(20));
  return line && line->rfind("waiting", 0) == 0;
}

void PeerProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

int PeerProcess::waitExit(std::chrono::milliseconds deadline) {
  if (pid_ <= 0) return -1;
  auto end = Clock::now() + deadline;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (Clock::now() >= end) return -1;
    usleep(2000);  // a child's exit cannot be waited for with a deadline otherwise
  }
}

}  // namespace conformance
