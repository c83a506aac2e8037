// Confinement to a list of roots, on every system: the list is split here and each root is
// asked through isBeneath, which each system implements.
#include <filesystem>
#include <string>
#include <vector>

#include "platform/confine.h"
#include "platform/platform.h"

namespace platform {

std::vector<std::string> splitRoots(const char* roots) {
  std::vector<std::string> list;
  const std::string text = roots;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    const std::string root = text.substr(start, end - start);
    const size_t first = root.find_first_not_of(" \t");
    if (first != std::string::npos) {
      list.push_back(root.substr(first, root.find_last_not_of(" \t") - first + 1));
    }
    start = end + 1;
  }
  return list;
}

bool isWithinRoots(const char* roots, const char* path, bool resolveLast) {
  const std::vector<std::string> list = splitRoots(roots);
  if (list.empty()) return true;
  for (const std::string& root : list) {
    if (isBeneath(root.c_str(), path, resolveLast)) return true;
  }
  return false;
}

size_t removeLeftovers(const char* roots, const char* prefix, const char* suffix) {
  namespace fs = std::filesystem;
  const std::string head = prefix;
  const std::string tail = suffix;
  size_t removed = 0;
  for (const std::string& root : splitRoots(roots)) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.size() < head.size() + tail.size() || name.compare(0, head.size(), head) != 0 ||
          name.compare(name.size() - tail.size(), tail.size(), tail) != 0 ||
          !it->is_regular_file(error) || it->is_symlink(error)) {
        continue;
      }
      if (deleteFile(it->path().string().c_str())) ++removed;
    }
  }
  return removed;
}

}  // namespace platform
