// The fixture of the MQI conformance suite and the small helpers its tests share.
//
// Only the fixture touches queue manager administration (mqi/admin.h): it makes a throwaway
// queue manager per test, started, with the local queues Q1 and Q2, and deletes it at the end.
// Everything a test checks goes through the MQI calls, so the suite runs unchanged on every
// store. Where the store lives is decided in one place: QM_TEST_STORE when it is set (the
// store is left in place and queue manager names are made unique to the process), otherwise a
// fresh temporary folder per test, removed at its end.
#ifndef QT_TESTS_CONFORMANCE_FIXTURE_H
#define QT_TESTS_CONFORMANCE_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "tests/support/queue_manager.h"

namespace conformance {

// ---- store and queue managers ----------------------------------------------------------------

class ConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Creates one more queue manager in the same store, started unless told; returns its name.
  std::string addQueueManager(const std::string& tag, const mqi::QueueManagerOptions& options = {},
                              bool start = true);
  void defineQueue(const std::string& queue, const mqi::QueueAttributes& attributes = {});
  void defineQueueOn(const std::string& qmgr, const std::string& queue,
                     const mqi::QueueAttributes& attributes = {});
  void setMaxUncommittedMsgs(int32_t value);
  // The messages of `queue` put in units of work not yet committed, as the operator sees them.
  int32_t uncommittedCount(const std::string& queue);
  void stopQueueManager(bool quiesce);
  void startQueueManager();

  std::string qmgr_;  // the test's queue manager: started, CCSID 819, queues Q1 and Q2

 private:
  std::unique_ptr<testsupport::TestStore> store_;
  std::vector<std::string> created_;
};

// ---- MQI helpers -------------------------------------------------------------------------------

struct Outcome {
  MQLONG cc = -1;
  MQLONG rc = -1;
};

// Blank-padded name field from text, and text from a blank-padded field.
void setField(MQCHAR* field, size_t size, const std::string& text);
std::string fieldText(const MQCHAR* field, size_t size);
std::string padded(const std::string& text, size_t size);
template <size_t N>
void setField(MQCHAR (&field)[N], const std::string& text) {
  setField(field, N, text);
}
template <size_t N>
std::string fieldText(const MQCHAR (&field)[N]) {
  return fieldText(field, N);
}
std::string idText(const MQBYTE* id);  // 24 bytes as a string
void setId(MQBYTE* id, const std::string& text);  // text padded with NULs to 24 bytes

// A connection of the calling thread; disconnects when it goes out of scope.
class Connection {
 public:
  explicit Connection(const std::string& qmgr);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool ok() const { return connected_.cc != MQCC_FAILED; }
  Outcome connectOutcome() const { return connected_; }
  MQHCONN hconn() const { return hconn_; }
  // MQOPEN of a queue; the outcome goes to *outcome when given, else it must be OK.
  MQHOBJ open(const std::string& queue, MQLONG options, Outcome* outcome = nullptr,
              const std::string& objectQMgr = "");
  MQHOBJ openQueueManager(MQLONG options, Outcome* outcome = nullptr);
  Outcome close(MQHOBJ& hobj);
  Outcome commit();
  Outcome backout();
  Outcome disconnect();

 private:
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
  Outcome connected_;
};

// A put of text as an MQSTR message. The descriptor, when given, is used and updated as MQPUT
// leaves it; otherwise a default one is used.
Outcome putText(MQHCONN hconn, MQHOBJ hobj, const std::string& text, MQLONG pmoOptions,
                MQMD* md = nullptr);

struct Got {
  Outcome outcome;
  MQMD md;
  std::string data;       // the bytes placed in the buffer
  MQLONG dataLength = -1;  // as MQGET reports it
};
// An MQGET with a version-1 MQGMO. With no descriptor given the ids are null (first message);
// otherwise *match selects and receives the returned descriptor.
Got getMessage(MQHCONN hconn, MQHOBJ hobj, MQLONG gmoOptions, MQLONG bufferLength = 65536,
               MQLONG waitMs = 0, MQMD* match = nullptr);

// Opens, puts one text message outside syncpoint and closes.
void putOne(MQHCONN hconn, const std::string& queue, const std::string& text,
            MQLONG priority = MQPRI_PRIORITY_AS_Q_DEF);
// Gets every message of a queue outside syncpoint, in queue order.
std::vector<std::string> drain(MQHCONN hconn, const std::string& queue);

using Clock = std::chrono::steady_clock;
long long millisSince(Clock::time_point start);

}  // namespace conformance

#endif  // QT_TESTS_CONFORMANCE_FIXTURE_H
