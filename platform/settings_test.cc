#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/test_folder.h"

namespace {

class ProfileTest : public testing::Test {
 protected:
  std::string read(const char* section, const char* key, const char* fallback = "dflt",
                   size_t size = 64) {
    char out[64];
    size_t n = platform::getProfileString(section, key, fallback, out, size, file_.c_str());
    EXPECT_EQ(n, std::string(out).size());
    return out;
  }
  TestFolder folder_;
  std::string file_ = folder_.write("a.ini",
                                    "\xEF\xBB\xBF"
                                    "orphan=before any section\r\n"
                                    "[MQSeries Objects]\r\n"
                                    "QMgrName = QM1 \r\n"
                                    "; QName=commented\r\n"
                                    "  qmgrname=second\r\n"
                                    "Empty=\r\n"
                                    "NoEquals\r\n"
                                    "[ options ]\n"
                                    "\tMQWaitTime\t=\t 500  \n"
                                    "Quoted=\" padded \"\n"
                                    "Long=abcdefghijklmnopqrstuvwxyz\n"
                                    "Eq=a=b\n"
                                    "[MQSERIES OBJECTS]\n"
                                    "QName=fromSecondCopy\n"
                                    "QMgrName=third\n");
};

TEST_F(ProfileTest, FindsKeysWithoutRegardToCaseAndTrimsBlanks) {
  EXPECT_EQ(read("MQSeries Objects", "QMgrName"), "QM1");  // first of three wins
  EXPECT_EQ(read("mqseries objects", "QMGRNAME"), "QM1");
  EXPECT_EQ(read("Options", "MQWaitTime"), "500");
  EXPECT_EQ(read("Options", "Eq"), "a=b");
  EXPECT_EQ(read("Options", "Quoted"), " padded ");
  EXPECT_EQ(read("MQSeries Objects", "Empty"), "");  // present but empty: not the default
#ifndef _WIN32
  // Windows reads only the first copy of a section that occurs twice.
  EXPECT_EQ(read("MQSeries Objects", "QName"), "fromSecondCopy");
#endif
}

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(read("MQSeries Objects", "QName ; commented"), "dflt");
  EXPECT_EQ(read("MQSeries Objects", "NoEquals"), "dflt");
  EXPECT_EQ(read("Nowhere", "QMgrName"), "dflt");
  EXPECT_EQ(read("", "orphan"), "dflt");
  EXPECT_EQ(read("Options", "Missing", "60000  "), "60000");
  EXPECT_EQ(read("Options", "Missing", nullptr), "");
  file_ = folder_ / "missing.ini";
  EXPECT_EQ(read("Options", "MQWaitTime", "120000"), "120000");
  file_ = folder_.path();  // a folder is no settings file either
  EXPECT_EQ(read("Options", "MQWaitTime", "120000"), "120000");
}

TEST_F(ProfileTest, CutsValuesAndDefaultsAtSizeMinusOne) {
  EXPECT_EQ(read("Options", "Long", "", 13), "abcdefghijkl");
  EXPECT_EQ(read("Options", "Missing", "abcdefghijklmnop", 5), "abcd");
  EXPECT_EQ(read("Options", "Long", "", 1), "");
  char untouched[2] = {'x', 'y'};
  EXPECT_EQ(platform::getProfileString("Options", "Long", "", untouched, 0, file_.c_str()), 0u);
  EXPECT_EQ(untouched[0], 'x');
}

}  // namespace
