#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/platform.h"
#include "platform/test_folder.h"

namespace {

TEST(MatchesMaskTest, WildcardsWithoutRegardToCase) {
  struct Case {
    const char* name;
    const char* mask;
    bool matches;
  };
  const Case cases[] = {
      {"report.xml", "*.xml", true},
      {"REPORT.XML", "*.xml", true},
      {"report.xml", "*.XmL", true},
      {"report.xml.bak", "*.xml", false},
      {"report", "*.*", true},
      {".", "*.*", true},
      {"a.b.c", "*.c", true},
      {"a.b.c", "a*b*c", true},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"abbbc", "a*c", true},
      {"abcd", "a*c", false},
      {"x", "*", true},
      {"", "*", true},
      {"abc", "", false},
      {"abc", "abc", true},
      {"abc", "ABD", false},
      {"aXbXc", "*x*X*", true},
      {"mississippi", "*sip*", true},
      {"mississippi", "m*s?p*i", true},
      {"data_01.txt", "data_??.txt", true},
      {"data_1.txt", "data_??.txt", true},  // a '?' before a '.' may match nothing
      {"data_123.txt", "data_??.txt", false},
      {"b.txt", "b?.txt", true},
      {"ab", "ab?", true},
      {"report", "report.*", true},  // a trailing ".*" also takes the name without extension
      {"report.xml", "report.*", true},
      {"reportx", "report.*", false},
      {"readme", "*.", true},  // a trailing '.' takes names without an extension
      {"readme.txt", "*.", false},
      {"a.b", "a.", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::matchesMask(c.name, c.mask), c.matches) << c.name << " ~ " << c.mask;
  }
}

class FindTest : public testing::Test {
 protected:
  // Every entry of a search, by name.
  std::map<std::string, platform::FindData> list(const std::string& pattern) {
    std::map<std::string, platform::FindData> found;
    platform::FindData data{};
    platform::FindHandle search = platform::findFirstFile(pattern.c_str(), &data);
    if (search == platform::kInvalidFind) return found;
    do {
      EXPECT_EQ(found.count(data.name), 0u) << "listed twice: " << data.name;
      found[data.name] = data;
    } while (platform::findNextFile(search, &data));
    platform::findClose(search);
    return found;
  }
  TestFolder folder_;
};

TEST_F(FindTest, ListsMatchingEntriesWithTheirAttributes) {
  folder_.write("one.XML", "12345");
  folder_.write("two.xml", "");
  folder_.write("three.txt", "x");
  ASSERT_TRUE(platform::createDirectory((folder_ / "sub.xml").c_str()));
  ASSERT_TRUE(platform::setReadOnly((folder_ / "two.xml").c_str(), true));

  auto xml = list(folder_.path() + "/*.xml");
  ASSERT_EQ(xml.size(), 3u);
  EXPECT_EQ(xml["one.XML"].size, 5u);
  EXPECT_FALSE(xml["one.XML"].isDirectory);
  EXPECT_FALSE(xml["one.XML"].isReadOnly);
  EXPECT_TRUE(xml["two.xml"].isReadOnly);
  EXPECT_TRUE(xml["sub.xml"].isDirectory);

  auto all = list(folder_.path() + "\\*.*");  // the agents join with a backslash
  EXPECT_EQ(all.size(), 6u);
  EXPECT_TRUE(all["."].isDirectory);
  EXPECT_TRUE(all[".."].isDirectory);
}

#ifdef _WIN32
constexpr int kNoMatch = 2;  // ERROR_FILE_NOT_FOUND
#else
constexpr int kNoMatch = ENOENT;
#endif

TEST_F(FindTest, SearchThatCannotStartGivesACodeAboveOne) {
#ifndef _WIN32
  platform::FindData drive;
  EXPECT_EQ(platform::findFirstFile("C:/tmp/*", &drive), platform::kInvalidFind);
  EXPECT_EQ(platform::lastError(), ENOENT);  // no drives here, and no folder named "C:"
#endif
  folder_.write("file", "");
  platform::FindData data{};
  const std::string patterns[] = {folder_ / "*.none", folder_ / "missing/*.*", folder_ / "file/*.*",
                                  ""};
  for (const std::string& pattern : patterns) {
    platform::setLastError(0);
    EXPECT_EQ(platform::findFirstFile(pattern.c_str(), &data), platform::kInvalidFind) << pattern;
    EXPECT_GT(platform::lastError(), 1) << pattern;
  }
  platform::findFirstFile((folder_ / "*.none").c_str(), &data);
  EXPECT_EQ(platform::lastError(), kNoMatch);  // no match: "no such file"
#ifndef _WIN32
  platform::findFirstFile((folder_ / "file/*.*").c_str(), &data);
  EXPECT_EQ(platform::lastError(), ENOTDIR);
#endif
}

TEST_F(FindTest, TheSearchTakesExactlyTheNamesTheMatcherTakes) {
  const char* names[] = {"b.txt",     "bx.txt",     "report",       "report.xml", "readme",
                         "page.html", "data_1.txt", "data_123.txt", "a.b.c"};
  for (const char* name : names) folder_.write(name, "");
  const char* masks[] = {"b?.txt", "report.*", "*.", "*.htm", "data_??.txt", "*.c", "*"};
  for (const char* mask : masks) {
    std::map<std::string, platform::FindData> found = list(folder_ / mask);
    for (const char* name : names) {
      EXPECT_EQ(found.count(name), platform::matchesMask(name, mask) ? 1u : 0u)
          << name << " ~ " << mask;
    }
  }
}

TEST_F(FindTest, EntriesDeletedDuringTheSearchAreNotRevisited) {
  for (int i = 0; i < 20; ++i) folder_.write("f" + std::to_string(i) + ".dat", "x");
  platform::FindData data{};
  platform::FindHandle search = platform::findFirstFile((folder_ / "*.dat").c_str(), &data);
  ASSERT_NE(search, platform::kInvalidFind);
  std::map<std::string, int> seen;
  do {
    ++seen[data.name];
    ASSERT_TRUE(platform::deleteFile((folder_ / data.name).c_str()));
  } while (platform::findNextFile(search, &data));
  platform::findClose(search);
  EXPECT_EQ(seen.size(), 20u);
  for (const auto& [name, count] : seen) EXPECT_EQ(count, 1) << name;
}

}  // namespace
