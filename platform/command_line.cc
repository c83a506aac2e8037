// Command lines split into words by the rules of the Windows C runtime, on every system.
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace platform {
namespace {

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

// The program name: quotes group and vanish, nothing is escaped.
size_t takeProgramName(std::string_view line, std::string* word) {
  bool quoted = false;
  size_t i = 0;
  for (; i < line.size() && (quoted || !isBlank(line[i])); ++i) {
    if (line[i] == '"')
      quoted = !quoted;
    else
      word->push_back(line[i]);
  }
  return i;
}

// One argument after the program name, from line[i]; returns the index after it.
size_t takeArgument(std::string_view line, size_t i, std::string* word) {
  bool quoted = false;
  while (i < line.size()) {
    size_t backslashes = 0;
    while (i < line.size() && line[i] == '\\') ++backslashes, ++i;
    if (i < line.size() && line[i] == '"') {
      word->append(backslashes / 2, '\\');
      if (backslashes % 2 == 1) {
        word->push_back('"');
      } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
        word->push_back('"');
        ++i;
      } else {
        quoted = !quoted;
      }
      ++i;
      continue;
    }
    word->append(backslashes, '\\');
    if (i >= line.size() || (!quoted && isBlank(line[i]))) break;
    word->push_back(line[i++]);
  }
  return i;
}

size_t skipBlanks(std::string_view line, size_t i) {
  while (i < line.size() && isBlank(line[i])) ++i;
  return i;
}

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  size_t i = skipBlanks(line, 0);
  if (i >= line.size()) return words;
  words.emplace_back();
  i = skipBlanks(line, i + takeProgramName(line.substr(i), &words.back()));
  while (i < line.size()) {
    words.emplace_back();
    i = skipBlanks(line, takeArgument(line, i, &words.back()));
  }
  return words;
}

}  // namespace platform
