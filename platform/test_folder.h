// A throwaway folder for the platform tests: made with mkdtemp, removed with its contents.
#ifndef QT_PLATFORM_TEST_FOLDER_H
#define QT_PLATFORM_TEST_FOLDER_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

class TestFolder {
 public:
  TestFolder() {
    char pattern[] = "/tmp/qt-platform-XXXXXX";
    path_ = mkdtemp(pattern) != nullptr ? pattern : "";
  }
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes `content` to the file `name` of the folder and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string file = *this / name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

 private:
  std::string path_;
};

#endif  // QT_PLATFORM_TEST_FOLDER_H
