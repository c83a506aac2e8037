// A throwaway folder for tests: made with mkdtemp under /tmp (on Windows, a new folder of a
// random name under the user's temporary folder), removed with its contents when the object
// goes. Every test of the tree that needs a temporary folder takes one of these.
#ifndef QT_PLATFORM_TEST_FOLDER_H
#define QT_PLATFORM_TEST_FOLDER_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/test_environment.h"

class TestFolder {
 public:
  // `prefix` names the folder's owner in /tmp (qt-test-XXXXXX by default).
  explicit TestFolder(const std::string& prefix = "qt-test") {
#ifdef _WIN32
    std::random_device random;
    std::error_code error;
    const std::string folder = std::filesystem::temp_directory_path(error).string();
    for (int attempt = 0; attempt < 100 && path_.empty() && !error; ++attempt) {
      const std::string candidate = folder + prefix + "-" + std::to_string(random());
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
#else
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
#endif
  }
  ~TestFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  // Empty when the folder could not be made.
  const std::string& path() const {
    return path_;
  }
  bool ok() const {
    return !path_.empty();
  }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

  // Writes `content` to the file `name` of the folder and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = *this / name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  // The whole content of the file `name` ("" when it cannot be read).
  std::string read(const std::string& name) const {
    std::ifstream in(*this / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Makes the folder `name` (and its parents) inside this one and returns its path.
  std::string makeFolder(const std::string& name) const {
    std::string folder = *this / name;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
  }

 private:
  std::string path_;
};

#endif  // QT_PLATFORM_TEST_FOLDER_H
