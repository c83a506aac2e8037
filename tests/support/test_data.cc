#include "tests/support/test_data.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

std::string patternBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return out;
}

std::vector<std::string> splitSegments(const std::string& data, size_t segmentSize) {
  std::vector<std::string> segments;
  for (size_t at = 0; at < data.size(); at += segmentSize) {
    segments.push_back(data.substr(at, segmentSize));
  }
  return segments;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string> logLines(const std::string& log) {
  std::istringstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line.size() >= 19 ? line.substr(19) : line);
  }
  return lines;
}

int countLines(const std::string& log, const std::string& text) {
  int count = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    bool stamped = line.size() == 19 + text.size() && line.compare(19, text.size(), text) == 0;
    if (stamped || line == text) ++count;
  }
  return count;
}

bool hasLine(const std::string& log, const std::string& text) {
  return countLines(log, text) > 0;
}

int countLinesEndingWith(const std::string& log, const std::string& tail) {
  int count = 0;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= tail.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
      ++count;
    }
  }
  return count;
}

int countText(const std::string& log, const std::string& text) {
  int count = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

bool pollUntil(const std::function<bool()>& done, int timeoutMs, int stepMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return done();
}

}  // namespace testsupport
