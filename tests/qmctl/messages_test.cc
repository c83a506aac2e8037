// qmctl put, browse and get: descriptor fields in, descriptor and data out.
#include "common/records.h"
#include "tests/qmctl/harness.h"

namespace qmctl_test {
namespace {

using ::testing::HasSubstr;

std::string hexOf(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

TEST_F(QmctlTest, PutBrowseGetRoundTripKeepsTheDescriptorFields) {
  define("Q");
  const std::string msgId = "0102030405060708090a0b0c0d0e0f101112131415161718";
  Outcome run = qmctl({"put", kQm, "Q", "--data", "hello\x01world", "--msgid", msgId, "--segment",
                   "3", "--format", "MQSTR", "--ccsid", "1208", "--reply-to-q", "REPLY",
                   "--reply-to-qmgr", "OTHER", "--priority", "5", "--not-persistent", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out)["msgid"], msgId);

  run = qmctl({"browse", kQm, "Q", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  auto lines = jsonLines(run.out);
  ASSERT_EQ(lines.size(), 1u);
  const nlohmann::json& m = lines[0];
  EXPECT_EQ(m["msgid"], msgId);
  EXPECT_EQ(m["correlid"], "deda" + std::string(36, '0') + "00000003");
  EXPECT_EQ(m["segment"], 3);
  EXPECT_EQ(m["format"], "MQSTR");
  EXPECT_EQ(m["ccsid"], 1208);
  EXPECT_EQ(m["priority"], 5);
  EXPECT_EQ(m["persistence"], 0);
  EXPECT_EQ(m["reply_to_q"], "REPLY");
  EXPECT_EQ(m["reply_to_qmgr"], "OTHER");
  EXPECT_EQ(m["length"], 11);
  EXPECT_EQ(m["data_hex"], hexOf("hello\x01world"));
  EXPECT_EQ(m["data_text"], "hello.world");
  EXPECT_EQ(depth("Q"), 1);  // browsing left it there

  run = qmctl({"get", kQm, "Q"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("CorrelId        deda"));
  EXPECT_THAT(run.out, HasSubstr("(segment 3)"));
  EXPECT_THAT(run.out, HasSubstr("ReplyToQ        'REPLY'"));
  EXPECT_THAT(run.out, HasSubstr("68 65 6c 6c 6f 01 77 6f  72 6c 64"));
  EXPECT_THAT(run.out, HasSubstr("|hello.world|"));
  EXPECT_EQ(depth("Q"), 0);

  run = qmctl({"get", kQm, "Q"});
  EXPECT_EQ(run.code, 3);
  EXPECT_THAT(run.err, HasSubstr("no message"));
}

TEST_F(QmctlTest, PutFromFileAndStandardInputKeepsEveryByte) {
  define("Q");
  std::string binary;
  for (int i = 0; i < 100000; ++i) binary += static_cast<char>(i * 7 % 256);
  std::ofstream(dir_ / "data.bin", std::ios::binary) << binary;
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--file", (dir_ / "data.bin").string()}).code, 0);
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--persistent"}, std::string("from\0stdin", 10)).code, 0);
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", ""}).code, 0);

  // A message bigger than qmctl's first buffer comes back whole.
  Outcome run = qmctl({"get", kQm, "Q", "--raw"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(run.out == binary) << run.out.size();
  run = qmctl({"get", kQm, "Q", "--raw"});
  EXPECT_EQ(run.out, std::string("from\0stdin", 10));
  run = qmctl({"get", kQm, "Q", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(jsonLines(run.out).at(0)["length"], 0);

  run = qmctl({"put", kQm, "Q", "--file", (dir_ / "missing").string()});
  EXPECT_EQ(run.code, 1);
  EXPECT_THAT(run.err, HasSubstr("missing"));
}

TEST_F(QmctlTest, BrowseAndGetSelectByIdsAndCount) {
  define("Q");
  for (int segment = 0; segment < 4; ++segment) {
    ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "s" + std::to_string(segment), "--msgid", "aa",
                     "--segment", std::to_string(segment)})
                  .code,
              0);
  }
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "other", "--msgid", "bb"}).code, 0);

  Outcome run = qmctl({"browse", kQm, "Q", "--json"});
  EXPECT_EQ(jsonLines(run.out).size(), 5u);
  run = qmctl({"browse", kQm, "Q", "--count", "2", "--json"});
  EXPECT_EQ(jsonLines(run.out).size(), 2u);
  run = qmctl({"browse", kQm, "Q", "--msgid", "bb", "--json"});
  ASSERT_EQ(jsonLines(run.out).size(), 1u);
  EXPECT_EQ(jsonLines(run.out)[0]["data_text"], "other");

  run = qmctl({"get", kQm, "Q", "--segment", "2", "--raw"});
  EXPECT_EQ(run.out, "s2");
  run = qmctl({"get", kQm, "Q", "--msgid", "aa", "--count", "0", "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_EQ(jsonLines(run.out).size(), 3u);
  EXPECT_EQ(depth("Q"), 1);
  EXPECT_EQ(qmctl({"browse", kQm, "Q", "--msgid", "aa"}).code, 3);
}

TEST_F(QmctlTest, GetWaitsForAMessage) {
  define("Q");
  Outcome got;
  std::thread getter([&] { got = qmctl({"get", kQm, "Q", "--wait", "20000", "--raw"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", "late"}).code, 0);
  getter.join();
  EXPECT_EQ(got.code, 0) << got.err;
  EXPECT_EQ(got.out, "late");

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(qmctl({"get", kQm, "Q", "--wait", "200"}).code, 3);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
}

TEST_F(QmctlTest, DumpIsCutAtMaxBytes) {
  define("Q");
  ASSERT_EQ(qmctl({"put", kQm, "Q", "--data", std::string(100, 'z')}).code, 0);
  Outcome run = qmctl({"browse", kQm, "Q", "--max-bytes", "32"});
  EXPECT_THAT(run.out, HasSubstr("... 68 more bytes not shown"));
  run = qmctl({"browse", kQm, "Q", "--max-bytes", "32", "--json"});
  const nlohmann::json m = jsonLines(run.out).at(0);
  EXPECT_EQ(m["data_truncated"], true);
  EXPECT_EQ(m["data_text"], std::string(32, 'z'));
  EXPECT_EQ(m["length"], 100);
}

}  // namespace
}  // namespace qmctl_test
