#include "tools/qmctl/text.h"

#include <gtest/gtest.h>

#include <sstream>

namespace qmctl {
namespace {

TEST(QmctlIdentifier, ParsesHexAndPadsWithZeros) {
  MQBYTE24 id;
  ASSERT_TRUE(parseIdentifier("0xDEda01", id).ok());
  EXPECT_EQ(toHex(id, sizeof id), "deda01" + std::string(42, '0'));
  ASSERT_TRUE(parseIdentifier(std::string(48, 'f'), id).ok());
  EXPECT_EQ(toHex(id, sizeof id), std::string(48, 'f'));
}

TEST(QmctlIdentifier, RefusesWhatIsNotTwentyFourBytesOfHex) {
  MQBYTE24 id;
  EXPECT_FALSE(parseIdentifier("", id).ok());
  EXPECT_FALSE(parseIdentifier("abc", id).ok());                 // odd digit count
  EXPECT_FALSE(parseIdentifier(std::string(50, '0'), id).ok());  // 25 bytes
  EXPECT_FALSE(parseIdentifier("zz", id).ok());
  EXPECT_FALSE(parseIdentifier("0x", id).ok());
}

TEST(QmctlDump, ShowsOffsetHexAndPrintableText) {
  std::ostringstream out;
  const std::string data = "Hello\nworld, 17 b";
  writeDump(out, data.data(), data.size(), data.size());
  EXPECT_EQ(out.str(),
            "00000000  48 65 6c 6c 6f 0a 77 6f  72 6c 64 2c 20 31 37 20  |Hello.world, 17 |\n"
            "00000010  62                                                |b|\n");
}

TEST(QmctlDump, SaysHowManyBytesWereLeftOut) {
  std::ostringstream out;
  const std::string data(40, 'x');
  writeDump(out, data.data(), 16, data.size());
  EXPECT_NE(out.str().find("... 24 more bytes not shown\n"), std::string::npos);
  std::ostringstream empty;
  writeDump(empty, "", 0, 0);
  EXPECT_EQ(empty.str(), "");
}

TEST(QmctlFields, TextStopsAtNulAndDropsTrailingBlanks) {
  const char field[8] = {'Q', '1', ' ', ' ', '\0', 'x', 'y', 'z'};
  EXPECT_EQ(fieldText(field, sizeof field), "Q1");
  const char full[4] = {'A', 'B', 'C', 'D'};
  EXPECT_EQ(fieldText(full, sizeof full), "ABCD");
  char out[6];
  setField(out, sizeof out, "TOOLONGNAME");
  EXPECT_EQ(std::string(out, 6), "TOOLON");
  setField(out, sizeof out, "AB");
  EXPECT_EQ(std::string(out, 6), std::string("AB\0\0\0\0", 6));
}

TEST(QmctlNames, AcceptOnlyMqNameCharactersUpTo48) {
  EXPECT_TRUE(checkName("QM.A/b_1%", "queue").ok());
  EXPECT_TRUE(checkName(std::string(48, 'Q'), "queue").ok());
  EXPECT_FALSE(checkName("", "queue").ok());
  EXPECT_FALSE(checkName(std::string(49, 'Q'), "queue").ok());
  EXPECT_FALSE(checkName("A B", "queue").ok());
  EXPECT_FALSE(checkName("A-B", "queue").ok());
  EXPECT_NE(checkName("A B", "queue manager").message().find("queue manager name 'A B'"),
            std::string::npos);
}

TEST(QmctlReasons, NamedWhenKnownNumberedOtherwise) {
  EXPECT_EQ(describeReason(2051), "reason 2051 (MQRC_PUT_INHIBITED)");
  EXPECT_EQ(describeReason(2033), "reason 2033 (MQRC_NO_MSG_AVAILABLE)");
  EXPECT_EQ(describeReason(4242), "reason 4242");
}

TEST(QmctlTable, AlignsColumnsWithoutTrailingBlanks) {
  std::ostringstream out;
  writeTable(out, {{"NAME", "DEPTH", "NOTE"}, {"LONGQUEUE", "1", ""}, {"Q", "12345", "x"}});
  EXPECT_EQ(out.str(), "NAME       DEPTH  NOTE\nLONGQUEUE  1\nQ          12345  x\n");
}

}  // namespace
}  // namespace qmctl
