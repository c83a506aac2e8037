#include "tests/conformance/peer_process.h"

#include <sstream>

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

std::optional<std::string> PeerProcess::takePendingLine() {
  const size_t nl = pending_.find('\n');
  if (nl == std::string::npos) return std::nullopt;
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();  // a peer writing text mode
  return line;
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

}  // namespace conformance
