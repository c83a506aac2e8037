// Payloads kept in payload files: their space comes back, a router's get and put share bytes,
// damage is reported without harm to other messages, and earlier layouts open.
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "mqi/embedded/file_remover.h"
#include "mqi/test_fixture.h"

namespace mqi::testing {
namespace {

namespace fs = std::filesystem;
constexpr size_t kBig = 100 * 1024;
constexpr MQLONG kBuffer = 200 * 1024;

std::string big(uint32_t seed) {
  std::string bytes(kBig, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

class PayloadFilesTest : public QmTest {
 protected:
  fs::path payloads() const { return fs::path(folder_.path()) / "QM1" / "payloads"; }
  std::vector<fs::path> payloadFiles() const {
    embedded::awaitFileRemovals();
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(payloads(), ec)) files.push_back(entry.path());
    return files;
  }
  StoreSpace space() {
    Result<StoreSpace> s = measureSpace("QM1");
    EXPECT_TRUE(s.ok()) << s.status.message();
    return s.value;
  }
  void commit() {
    MQLONG cc, rc;
    MQCMIT(hconn_, &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);
  }
  void disconnect() {
    MQLONG cc, rc;
    MQDISC(&hconn_, &cc, &rc);
  }
};

TEST_F(PayloadFilesTest, SpaceComesBackAndARouterPassesBytesOnWithoutWritingThem) {
  ASSERT_TRUE(defineQueue("QM1", "Q2", {}).ok());
  connect();
  MQHOBJ q1 = open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  MQHOBJ q2 = open("Q2", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(put(q1, big(i), MQPMO_SYNCPOINT), MQRC_NONE);
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 20);  // held in memory, counted
  commit();
  StoreSpace loaded = space();
  EXPECT_GE(loaded.payloadFiles, 1);
  EXPECT_EQ(loaded.liveBytes, int64_t{20} * kBig);

  std::string data;
  for (uint32_t i = 0; i < 20; ++i) {
    ASSERT_EQ(get(q1, data, MQGMO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    ASSERT_EQ(data, big(i));
    ASSERT_EQ(put(q2, data, MQPMO_SYNCPOINT), MQRC_NONE);
  }
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0);  // claimed by this unit of work
  commit();
  StoreSpace routed = space();
  EXPECT_EQ(routed.payloadBytes, loaded.payloadBytes);
  EXPECT_EQ(routed.liveBytes, loaded.liveBytes);

  // Bytes changed between the get and the put (same length), the first or the last of them,
  // are written anew; a message larger than what a get keeps a copy of is still shared.
  std::string huge = big(40) + big(41) + big(42);
  ASSERT_EQ(put(q1, huge, MQPMO_SYNCPOINT), MQRC_NONE);
  commit();
  StoreSpace withHuge = space();
  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(get(q2, data, MQGMO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    ASSERT_EQ(data, big(i));
    (i == 0 ? data.front() : data.back()) ^= 1;
    ASSERT_EQ(put(q1, data, MQPMO_SYNCPOINT), MQRC_NONE);
  }
  ASSERT_EQ(get(q1, data, MQGMO_SYNCPOINT, nullptr, 4 * kBuffer), MQRC_NONE);
  ASSERT_EQ(data, huge);
  ASSERT_EQ(put(q2, data, MQPMO_SYNCPOINT), MQRC_NONE);
  commit();
  EXPECT_EQ(space().payloadBytes, withHuge.payloadBytes + int64_t{2} * kBig);
  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(get(q1, data, MQGMO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    std::string changed = big(i);
    (i == 0 ? changed.front() : changed.back()) ^= 1;
    EXPECT_EQ(data, changed);
  }

  for (uint32_t i = 2; i < 20; ++i) {
    ASSERT_EQ(get(q2, data, MQGMO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    ASSERT_EQ(data, big(i));
  }
  ASSERT_EQ(get(q2, data, MQGMO_SYNCPOINT, nullptr, 4 * kBuffer), MQRC_NONE);
  EXPECT_EQ(data, huge);
  commit();
  EXPECT_EQ(space().liveBytes, 0);
  disconnect();  // lets go of the file it was writing (less than the size that seals one)
  EXPECT_TRUE(payloadFiles().empty());

  // A process killed before its thread deleted the dead files leaves them unlisted: whoever
  // backs out its connection deletes them, and so does any administrative call.
  std::ofstream(payloads() / "999.pay") << "dead bytes";
  EXPECT_TRUE(describeQueueManager("QM1").ok());
  EXPECT_TRUE(payloadFiles().empty());
}

TEST_F(PayloadFilesTest, DamagedFilesAreReportedAndOtherMessagesKept) {
  ASSERT_TRUE(defineQueue("QM1", "Q2", {}).ok());
  connect();
  ASSERT_EQ(put(open("Q1", MQOO_OUTPUT), big(1)), MQRC_NONE);
  disconnect();  // seals the file: the next put starts another
  std::vector<fs::path> first = payloadFiles();
  ASSERT_EQ(first.size(), 1u);
  connect();
  MQHOBJ q2 = open("Q2", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  ASSERT_EQ(put(q2, big(2)), MQRC_NONE);
  fs::remove(first[0]);
  for (const fs::path& file : payloadFiles()) {  // a torn tail: bytes no row points at
    std::ofstream(file, std::ios::app) << "torn tail of a write that never committed";
  }
  std::string data;
  EXPECT_EQ(get(open("Q1", MQOO_INPUT_SHARED), data, MQGMO_SYNCPOINT, nullptr, kBuffer),
            MQRC_OBJECT_DAMAGED);
  ASSERT_EQ(get(q2, data, MQGMO_NO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
  EXPECT_EQ(data, big(2));
  EXPECT_TRUE(describeQueueManager("QM1").ok());
  EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 1);
}

// Payloads that cannot be made durable fail the commit, whose unit of work backs out whole:
// a small one syncs them before its rows, a large one while it writes its rows.
TEST_F(PayloadFilesTest, ACommitWhosePayloadsCannotBeSyncedBacksOut) {
  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  for (uint32_t count : {1u, 70u}) {
    for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(put(q, big(i), MQPMO_SYNCPOINT), MQRC_NONE);
    setenv("QT_PLATFORM_FAILPOINTS", "syncData=5", 1);
    MQLONG cc, rc;
    MQCMIT(hconn_, &cc, &rc);
    unsetenv("QT_PLATFORM_FAILPOINTS");
    EXPECT_EQ(rc, MQRC_BACKED_OUT) << count;
    EXPECT_EQ(describeQueue("QM1", "Q1").value.currentDepth, 0) << count;
    ASSERT_EQ(put(q, big(count), MQPMO_SYNCPOINT), MQRC_NONE);
    commit();
    std::string data;
    ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    EXPECT_TRUE(data == big(count)) << count;
  }
}

TEST_F(PayloadFilesTest, CompactionMovesWhatIsLeftOfMostlyDeadFiles) {
  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  for (uint32_t i = 0; i < 20; ++i) ASSERT_EQ(put(q, big(i), MQPMO_SYNCPOINT), MQRC_NONE);
  commit();
  std::string data;
  for (uint32_t i = 0; i < 18; ++i)
    ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
  StoreSpace before = space();
  Result<CompactReport> report = compactQueueManager("QM1");
  ASSERT_TRUE(report.ok()) << report.status.message();
  EXPECT_EQ(report.value.filesCompacted, 1);
  EXPECT_EQ(report.value.bytesCopied, int64_t{2} * kBig);
  StoreSpace after = space();
  EXPECT_EQ(after.liveBytes, before.liveBytes);
  EXPECT_EQ(after.payloadBytes, int64_t{2} * kBig);
  for (uint32_t i = 18; i < 20; ++i) {
    ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
    EXPECT_EQ(data, big(i));
  }
  EXPECT_TRUE(payloadFiles().empty());
}

TEST_F(PayloadFilesTest, EarlierLayoutIsUpgradedInPlaceAndNewerOneRefused) {
  connect();
  ASSERT_EQ(put(open("Q1", MQOO_OUTPUT), "kept in the database"), MQRC_NONE);
  disconnect();
  std::string db = folder_.path() + "/QM1/qm.db";
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle,
                         "DROP INDEX messages_files; DROP TABLE payload_files;"
                         "ALTER TABLE messages DROP COLUMN file_id;"
                         "ALTER TABLE messages DROP COLUMN file_offset;"
                         "ALTER TABLE queues DROP COLUMN backout_threshold;"
                         "ALTER TABLE queues DROP COLUMN backout_queue;"
                         "ALTER TABLE qmgr DROP COLUMN dead_letter;"
                         "ALTER TABLE qmgr DROP COLUMN def_backout;"
                         "PRAGMA user_version=0;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(handle);

  connect();
  MQHOBJ q = open("Q1", MQOO_OUTPUT | MQOO_INPUT_SHARED);
  std::string data;
  ASSERT_EQ(get(q, data), MQRC_NONE);
  EXPECT_EQ(data, "kept in the database");
  ASSERT_EQ(put(q, big(3)), MQRC_NONE);
  ASSERT_EQ(get(q, data, MQGMO_NO_SYNCPOINT, nullptr, kBuffer), MQRC_NONE);
  EXPECT_EQ(data, big(3));
  disconnect();
  // The queues and the queue manager of the earlier layout have no poison settings; they can
  // be given them.
  Result<QueueInfo> q1 = describeQueue("QM1", "Q1");
  ASSERT_TRUE(q1.ok()) << q1.status.message();
  EXPECT_EQ(q1.value.backoutThreshold, 0);
  EXPECT_EQ(q1.value.backoutRequeueQName, "");
  QueueAttributes poison;
  poison.backoutThreshold = 2;
  poison.backoutRequeueQName = "Q2";
  ASSERT_TRUE(alterQueue("QM1", "Q1", poison).ok());
  EXPECT_EQ(describeQueue("QM1", "Q1").value.backoutRequeueQName, "Q2");
  QueueManagerChanges changes;
  changes.deadLetterQName = "Q1";
  ASSERT_TRUE(alterQueueManager("QM1", changes).ok());
  EXPECT_EQ(describeQueueManager("QM1").value.deadLetterQName, "Q1");

  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle, "PRAGMA user_version=99;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
  Result<StoreSpace> refused = measureSpace("QM1");
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.status.message().find("newer version"), std::string::npos);
}

}  // namespace
}  // namespace mqi::testing
