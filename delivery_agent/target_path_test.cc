#include "delivery_agent/target_path.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/test_environment.h"

namespace {

class TargetPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    ResetNameStamp();
    initTGTDESC(header);
  }
  void SetSourcePath(const char* path) { header.Src_path.assign(path); }
  std::string Expand(const char* pathTemplate, time_t now = kMarch3) {
    char out[kTargetPathSize];
    EXPECT_TRUE(ExpandTargetPathAt(pathTemplate, out, header, now));
    return out;
  }

  // 2007-03-03 09:05:07 UTC, a Saturday, day 062 of the year.
  static constexpr time_t kMarch3 = 1172912707;
  TGTDESC header;
};

TEST_F(TargetPathTest, EveryDateItemAndTheStamp) {
  EXPECT_EQ(Expand("new(/out/)YYYYMMDDnew(.dat)"), "/out/20070303.dat");
  EXPECT_STREQ(NameStamp(), "20070620303609050700");
  EXPECT_EQ(Expand("UUU-hh-mm-ss-tt"), "06209050701");  // '-' vanishes; tt counts on
  EXPECT_EQ(Expand("new(a-)UUUnew(-)hhnew(:)mmnew(:)ssnew(.)tt"), "a-062-09:05:07.02");
}

TEST_F(TargetPathTest, CounterCountsWithinOneSecondAndWrapsAt100) {
  EXPECT_EQ(Expand("tt"), "00");
  EXPECT_EQ(Expand("tt"), "01");
  for (int i = 2; i < 100; ++i) Expand("tt");
  EXPECT_EQ(Expand("tt"), "00");  // the 101st expansion in the second
  EXPECT_EQ(Expand("tt"), "01");
  EXPECT_EQ(Expand("tt", kMarch3 + 1), "00");  // a new second starts again
  EXPECT_EQ(Expand("ss", kMarch3 + 1), "08");
}

TEST_F(TargetPathTest, CounterAdvancesEvenWhenTheTemplateDoesNotUseIt) {
  Expand("new(/a)");
  Expand("new(/b)");
  EXPECT_EQ(Expand("tt"), "02");
}

TEST_F(TargetPathTest, OldTakesTheLastComponentOfTheSourcePath) {
  SetSourcePath("C:\\src\\report.xml");
  EXPECT_EQ(Expand("new(/in/)old"), "/in/report.xml");
  SetSourcePath("/data/src/report.xml");
  EXPECT_EQ(Expand("new(/in/)old"), "/in/report.xml");
  SetSourcePath("report.xml");
  EXPECT_EQ(Expand("new(/in/)old"), "/in/");
  SetSourcePath("/report.xml");  // a separator in first place only does not count
  EXPECT_EQ(Expand("new(/in/)old"), "/in/");
  SetSourcePath("dir/");
  EXPECT_EQ(Expand("new(/in/)oldnew(x)"), "/in/x");
}

TEST_F(TargetPathTest, LiteralsReachThePathOnlyThroughNew) {
  EXPECT_EQ(Expand("abc"), "");
  EXPECT_EQ(Expand("/tmp/out/file.txt"), "");
  EXPECT_EQ(Expand("N_NDS_x"), "");
  // Sequences that match an item are replaced by its value even in a plain path.
  EXPECT_EQ(Expand("/home/MM/old"), "03");
  EXPECT_EQ(Expand("new(/a)b)"), "/a");   // a ')' ends the literal
  EXPECT_EQ(Expand("new(/open"), "/open");  // an unclosed literal runs to the end
  EXPECT_EQ(Expand("new()MM"), "03");
  EXPECT_EQ(Expand("yyyy mm"), "05");            // case-sensitive: only "mm" is an item
  EXPECT_EQ(Expand("/data/in/report.xml"), "");  // "ml" is not "mm": nothing is left
  // Windows separators become this system's; the drive stays for the open to refuse.
  EXPECT_EQ(Expand("new(C:\\tmp\\t9\\)old"), "C:/tmp/t9/");
  EXPECT_EQ(Expand("new(\\data\\in\\)MMnew(.xml)"), "/data/in/03.xml");
}

TEST_F(TargetPathTest, AnExpansionBeyond259CharactersIsReported) {
  std::string pathTemplate = "new(/" + std::string(200, 'a') + ")" + "new(" +
                             std::string(60, 'b') + ")" + "YYYY";
  char out[kTargetPathSize];
  EXPECT_FALSE(ExpandTargetPathAt(pathTemplate.c_str(), out, header, kMarch3));
  EXPECT_EQ(std::strlen(out), kTargetPathSize - 1);
  pathTemplate = "new(/" + std::string(254, 'a') + ")";
  EXPECT_TRUE(ExpandTargetPathAt(pathTemplate.c_str(), out, header, kMarch3));
}

std::string Version(const char* path, unsigned counter, std::string* text = nullptr) {
  VersionPattern pattern;
  MakeVersionPattern(path, pattern);
  if (text != nullptr) *text = pattern.text;
  char out[kTargetPathSize];
  EXPECT_TRUE(MakeVersionPath(path, pattern, counter, out));
  return out;
}

TEST(VersionNameTest, ExtensionsDotsAndPercent) {
  std::string text;
  EXPECT_EQ(Version("/out/report.xml", 0, &text), "/out/report_0.xml");
  EXPECT_EQ(text, "report_%d.xml");
  EXPECT_EQ(Version("/out/report.xml", 1), "/out/report_1.xml");
  EXPECT_EQ(Version("/out/archive.tar.gz", 12, &text), "/out/archive.tar_12.gz");
  EXPECT_EQ(text, "archive.tar_%d.gz");
  EXPECT_EQ(Version("/out/README", 0, &text), "/out/README_0");
  EXPECT_EQ(text, "README_%d");
  EXPECT_EQ(Version("/home/u/.profile", 0, &text), "/home/u/.profile_0");
  EXPECT_EQ(text, ".profile_%d");
  EXPECT_EQ(Version("/out/name.", 0, &text), "/out/name_0.");
  EXPECT_EQ(text, "name_%d.");
  EXPECT_EQ(Version("/out/50%s%d.txt", 3, &text), "/out/50%s%d_3.txt");
  EXPECT_EQ(text, "50%s%d_%d.txt");
  EXPECT_EQ(Version("C:\\out\\a.b", 0), "C:\\out\\a_0.b");
  EXPECT_EQ(Version("/dir.d/plain", 0), "/dir.d/plain_0");  // a dot in a folder is no extension
  EXPECT_EQ(Version("file.txt", 0), "file_0.txt");
  EXPECT_EQ(Version("/x.txt", 0), "/x_0.txt");
}

TEST(VersionNameTest, AVersionNameThatDoesNotFitIsRefused) {
  std::string path = "/" + std::string(250, 'a') + ".txt";
  VersionPattern pattern;
  MakeVersionPattern(path.c_str(), pattern);
  char out[kTargetPathSize] = "unchanged";
  EXPECT_TRUE(MakeVersionPath(path.c_str(), pattern, 0, out));
  EXPECT_FALSE(MakeVersionPath(path.c_str(), pattern, 123456, out));
  EXPECT_EQ(std::strlen(out), path.size() + 2);
}

}  // namespace
