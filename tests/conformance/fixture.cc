#include "tests/conformance/fixture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace conformance {

// ---- store and queue managers ----------------------------------------------------------------

void ConformanceTest::SetUp() {
  store_ = std::make_unique<testsupport::TestStore>(
      testsupport::TestStore::fromEnvironment("qt-conformance"));
  qmgr_ = addQueueManager("A");
  defineQueue("Q1");
  defineQueue("Q2");
}

void ConformanceTest::TearDown() {
  for (const auto& name : created_) {
    mqi::stopQueueManager(name, false);
    mqi::Status deleted = mqi::deleteQueueManager(name);
    EXPECT_TRUE(deleted.ok()) << "delete " << name << ": " << deleted.message();
  }
  store_.reset();
}

std::string ConformanceTest::addQueueManager(const std::string& tag,
                                             const mqi::QueueManagerOptions& options,
                                             bool start) {
  std::string name = testsupport::TestStore::uniqueName("CT" + tag);
  mqi::Status created = mqi::createQueueManager(name, options);
  EXPECT_TRUE(created.ok()) << "create " << name << ": " << created.message();
  if (created.ok()) created_.push_back(name);
  if (!start) return name;
  mqi::Status started = mqi::startQueueManager(name);
  EXPECT_TRUE(started.ok()) << "start " << name << ": " << started.message();
  return name;
}

void ConformanceTest::defineQueue(const std::string& queue,
                                  const mqi::QueueAttributes& attributes) {
  defineQueueOn(qmgr_, queue, attributes);
}

void ConformanceTest::defineQueueOn(const std::string& qmgr, const std::string& queue,
                                    const mqi::QueueAttributes& attributes) {
  mqi::Status defined = mqi::defineQueue(qmgr, queue, attributes);
  ASSERT_TRUE(defined.ok()) << "define " << queue << ": " << defined.message();
}

void ConformanceTest::setMaxUncommittedMsgs(int32_t value) {
  mqi::Status set = mqi::setMaxUncommittedMsgs(qmgr_, value);
  ASSERT_TRUE(set.ok()) << set.message();
}

int32_t ConformanceTest::uncommittedCount(const std::string& queue) {
  const mqi::Result<mqi::QueueInfo> info = mqi::describeQueue(qmgr_, queue);
  EXPECT_TRUE(info.ok()) << info.status.message();
  return info.ok() ? info.value.uncommittedCount : -1;
}

void ConformanceTest::stopQueueManager(bool quiesce) {
  mqi::Status stopped = mqi::stopQueueManager(qmgr_, quiesce);
  EXPECT_TRUE(stopped.ok()) << "stop: " << stopped.message();
}

void ConformanceTest::startQueueManager() {
  mqi::Status started = mqi::startQueueManager(qmgr_);
  ASSERT_TRUE(started.ok()) << "start: " << started.message();
}

// ---- MQI helpers -------------------------------------------------------------------------------

void setField(MQCHAR* field, size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string fieldText(const MQCHAR* field, size_t size) {
  std::string text(field, size);
  size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

std::string padded(const std::string& text, size_t size) {
  std::string out = text;
  out.resize(size, ' ');
  return out;
}

std::string idText(const MQBYTE* id) { return std::string(reinterpret_cast<const char*>(id), 24); }

void setId(MQBYTE* id, const std::string& text) {
  std::memset(id, 0, 24);
  std::memcpy(id, text.data(), std::min<size_t>(24, text.size()));
}

Connection::Connection(const std::string& qmgr) {
  MQCHAR48 name;
  setField(name, qmgr);
  MQCONN(name, &hconn_, &connected_.cc, &connected_.rc);
}

Connection::~Connection() {
  if (hconn_ != MQHC_UNUSABLE_HCONN && ok()) disconnect();
}

MQHOBJ Connection::open(const std::string& queue, MQLONG options, Outcome* outcome,
                        const std::string& objectQMgr) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, queue);
  setField(od.ObjectQMgrName, objectQMgr);
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  Outcome result;
  MQOPEN(hconn_, &od, options, &hobj, &result.cc, &result.rc);
  if (outcome != nullptr) {
    *outcome = result;
  } else {
    EXPECT_EQ(result.cc, MQCC_OK) << "MQOPEN " << queue << " reason " << result.rc;
  }
  return hobj;
}

MQHOBJ Connection::openQueueManager(MQLONG options, Outcome* outcome) {
  MQOD od = {MQOD_DEFAULT};
  od.ObjectType = MQOT_Q_MGR;
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  Outcome result;
  MQOPEN(hconn_, &od, options, &hobj, &result.cc, &result.rc);
  if (outcome != nullptr) {
    *outcome = result;
  } else {
    EXPECT_EQ(result.cc, MQCC_OK) << "MQOPEN of the queue manager, reason " << result.rc;
  }
  return hobj;
}

Outcome Connection::close(MQHOBJ& hobj) {
  Outcome result;
  MQCLOSE(hconn_, &hobj, MQCO_NONE, &result.cc, &result.rc);
  return result;
}

Outcome Connection::commit() {
  Outcome result;
  MQCMIT(hconn_, &result.cc, &result.rc);
  return result;
}

Outcome Connection::backout() {
  Outcome result;
  MQBACK(hconn_, &result.cc, &result.rc);
  return result;
}

Outcome Connection::disconnect() {
  Outcome result;
  MQDISC(&hconn_, &result.cc, &result.rc);
  hconn_ = MQHC_UNUSABLE_HCONN;
  return result;
}

Outcome putText(MQHCONN hconn, MQHOBJ hobj, const std::string& text, MQLONG pmoOptions,
                MQMD* md) {
  MQMD own = {MQMD_DEFAULT};
  MQMD* desc = md != nullptr ? md : &own;
  if (md == nullptr) std::memcpy(own.Format, MQFMT_STRING, sizeof own.Format);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = pmoOptions;
  Outcome result;
  MQPUT(hconn, hobj, desc, &pmo, static_cast<MQLONG>(text.size()),
        const_cast<char*>(text.data()), &result.cc, &result.rc);
  return result;
}

Got getMessage(MQHCONN hconn, MQHOBJ hobj, MQLONG gmoOptions, MQLONG bufferLength, MQLONG waitMs,
               MQMD* match) {
  Got got;
  got.md = match != nullptr ? *match : MQMD{MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = gmoOptions;
  gmo.WaitInterval = waitMs;
  std::vector<char> buffer(static_cast<size_t>(std::max<MQLONG>(bufferLength, 1)));
  MQGET(hconn, hobj, &got.md, &gmo, bufferLength, bufferLength > 0 ? buffer.data() : nullptr,
        &got.dataLength, &got.outcome.cc, &got.outcome.rc);
  if (got.outcome.cc != MQCC_FAILED && got.dataLength >= 0) {
    got.data.assign(buffer.data(), static_cast<size_t>(std::min(got.dataLength, bufferLength)));
  }
  if (match != nullptr) *match = got.md;
  return got;
}

void putOne(MQHCONN hconn, const std::string& queue, const std::string& text, MQLONG priority) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, queue);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, sizeof md.Format);
  md.Priority = priority;
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  Outcome result;
  MQPUT1(hconn, &od, &md, &pmo, static_cast<MQLONG>(text.size()), const_cast<char*>(text.data()),
         &result.cc, &result.rc);
  EXPECT_EQ(result.cc, MQCC_OK) << "MQPUT1 to " << queue << " reason " << result.rc;
}

std::vector<std::string> drain(MQHCONN hconn, const std::string& queue) {
  MQOD od = {MQOD_DEFAULT};
  setField(od.ObjectName, queue);
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  Outcome result;
  MQOPEN(hconn, &od, MQOO_INPUT_SHARED, &hobj, &result.cc, &result.rc);
  EXPECT_EQ(result.cc, MQCC_OK) << "MQOPEN " << queue << " reason " << result.rc;
  std::vector<std::string> texts;
  for (int i = 0; i < 10000 && result.cc == MQCC_OK; ++i) {
    Got got = getMessage(hconn, hobj, MQGMO_NO_SYNCPOINT);
    if (got.outcome.cc != MQCC_OK) {
      EXPECT_EQ(got.outcome.rc, MQRC_NO_MSG_AVAILABLE);
      break;
    }
    texts.push_back(got.data);
  }
  MQCLOSE(hconn, &hobj, MQCO_NONE, &result.cc, &result.rc);
  return texts;
}

long long millisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace conformance
