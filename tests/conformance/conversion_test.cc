// MQGMO_CONVERT: MQSTR messages converted between code pages, and the unconverted answers
// (2119 when a conversion cannot be done, 2110 for a message that is not text).
#include <cstring>

#include "tests/conformance/fixture.h"
#include "tests/conformance/peer_process.h"

namespace conformance {
namespace {

std::string bytes(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2) {
    out += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
  }
  return out;
}

// The same texts in several code pages.
const std::string kGermanUtf8 = bytes("4772c3bcc39f6520c3a0204bc3b66c6e");  // "Grüße à Köln"
const std::string kGermanLatin = bytes("4772fcdf6520e0204bf66c6e");         // 819 and 1252
const std::string kRussianUtf8 = bytes("d09fd180d0b8d0b2d0b5d1822c20d0bcd0b8d180");  // "Привет, мир"
const std::string kRussian1251 = bytes("cff0e8e2e5f22c20ece8f0");
const std::string kRussian866 = bytes("8fe0a8a2a5e22c20aca8e0");
const std::string kHelloAscii = "Hello, World!";
const std::string kHello037 = bytes("c8859393966b40e6969993845a");
const std::string kHello500 = bytes("c8859393966b40e6969993844f");

class Conversion : public ConformanceTest {
 protected:
  void SetUp() override {
    ConformanceTest::SetUp();
    connection_ = std::make_unique<Connection>(qmgr_);
    ASSERT_TRUE(connection_->ok());
    out_ = connection_->open("Q1", MQOO_OUTPUT);
    in_ = connection_->open("Q1", MQOO_INPUT_SHARED);
  }
  void TearDown() override {
    connection_.reset();
    ConformanceTest::TearDown();
  }
  void put(const std::string& data, MQLONG ccsid, const char* format = MQFMT_STRING) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.Format, format, sizeof md.Format);
    md.CodedCharSetId = ccsid;
    ASSERT_EQ(putText(connection_->hconn(), out_, data, MQPMO_NO_SYNCPOINT, &md).cc, MQCC_OK);
  }
  Got getIn(MQLONG ccsid, MQLONG options = MQGMO_CONVERT) {
    MQMD md = {MQMD_DEFAULT};
    md.CodedCharSetId = ccsid;
    return getMessage(connection_->hconn(), in_, MQGMO_NO_SYNCPOINT | options, 4096, 0, &md);
  }

  std::unique_ptr<Connection> connection_;
  MQHOBJ out_ = MQHO_UNUSABLE_HOBJ;
  MQHOBJ in_ = MQHO_UNUSABLE_HOBJ;
};

TEST_F(Conversion, StringMessagesAreConvertedBetweenCodePages) {
  struct Case {
    MQLONG from;
    const std::string& source;
    MQLONG to;
    const std::string& expected;
  };
  const Case cases[] = {
      {1208, kGermanUtf8, 1252, kGermanLatin}, {1252, kGermanLatin, 1208, kGermanUtf8},
      {1208, kGermanUtf8, 819, kGermanLatin},  {819, kGermanLatin, 1208, kGermanUtf8},
      {1251, kRussian1251, 866, kRussian866},  {866, kRussian866, 1208, kRussianUtf8},
      {1208, kRussianUtf8, 1251, kRussian1251}, {37, kHello037, 500, kHello500},
      {500, kHello500, 37, kHello037},         {1208, kHelloAscii, 37, kHello037},
      {37, kHello037, 819, kHelloAscii},       {819, kHelloAscii, 819, kHelloAscii},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " -> " + std::to_string(c.to));
    put(c.source, c.from);
    Got got = getIn(c.to);
    EXPECT_EQ(got.outcome.cc, MQCC_OK) << "reason " << got.outcome.rc;
    EXPECT_EQ(hexOf(got.data), hexOf(c.expected));
    EXPECT_EQ(got.dataLength, static_cast<MQLONG>(c.expected.size()));
    EXPECT_EQ(got.md.CodedCharSetId, c.to);
  }

  // MQCCSI_Q_MGR asks for the queue manager's own code page (819 here).
  put(kGermanUtf8, 1208);
  Got own = getIn(MQCCSI_Q_MGR);
  EXPECT_EQ(own.outcome.cc, MQCC_OK) << "reason " << own.outcome.rc;
  EXPECT_EQ(hexOf(own.data), hexOf(kGermanLatin));
  EXPECT_EQ(own.md.CodedCharSetId, 819);

  // Without MQGMO_CONVERT the data and CCSID come back as stored.
  put(kRussian866, 866);
  Got plain = getIn(1208, 0);
  EXPECT_EQ(plain.outcome.cc, MQCC_OK);
  EXPECT_EQ(hexOf(plain.data), hexOf(kRussian866));
  EXPECT_EQ(plain.md.CodedCharSetId, 866);
}

TEST_F(Conversion, UnconvertibleMessagesComeBackUnconvertedWithTheirOwnCcsid) {
  const std::string euro = bytes("e282ac2035");  // "€ 5": no euro sign in 819
  put(euro, 1208);
  Got unmappable = getIn(819);
  EXPECT_EQ(unmappable.outcome.cc, MQCC_WARNING);
  EXPECT_EQ(unmappable.outcome.rc, MQRC_NOT_CONVERTED);
  EXPECT_EQ(hexOf(unmappable.data), hexOf(euro));
  EXPECT_EQ(unmappable.dataLength, 5);
  EXPECT_EQ(unmappable.md.CodedCharSetId, 1208);

  put(kHelloAscii, 4242);  // a code page nobody knows
  Got unknown = getIn(1208);
  EXPECT_EQ(unknown.outcome.cc, MQCC_WARNING);
  EXPECT_EQ(unknown.outcome.rc, MQRC_NOT_CONVERTED);
  EXPECT_EQ(unknown.data, kHelloAscii);
  EXPECT_EQ(unknown.md.CodedCharSetId, 4242);

  put(kGermanUtf8, 1208, MQFMT_NONE);  // not declared as text
  Got binary = getIn(819);
  EXPECT_EQ(binary.outcome.cc, MQCC_WARNING);
  EXPECT_EQ(binary.outcome.rc, MQRC_FORMAT_ERROR);
  EXPECT_EQ(hexOf(binary.data), hexOf(kGermanUtf8));
  EXPECT_EQ(binary.md.CodedCharSetId, 1208);

  Got empty = getIn(819);
  EXPECT_EQ(empty.outcome.rc, MQRC_NO_MSG_AVAILABLE) << "a warning get must remove the message";
}

}  // namespace
}  // namespace conformance
