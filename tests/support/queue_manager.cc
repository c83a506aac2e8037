#include "tests/support/queue_manager.h"

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "common/records.h"
#include "platform/host.h"
#include "tests/support/test_data.h"

namespace testsupport {
namespace {

void require(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

void requireMq(MQLONG compCode, MQLONG reason, const std::string& call) {
  require(compCode != MQCC_FAILED, call + " failed with reason " + std::to_string(reason));
}

void requireOk(const mqi::Status& status, const std::string& what) {
  require(status.ok(), what + ": " + status.message());
}

}  // namespace

void setName(MQCHAR* field, const std::string& name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name.data(), std::min<size_t>(name.size(), MQ_Q_NAME_LENGTH));
}

// ---- store ------------------------------------------------------------------------------

TestStore::TestStore(std::string location, std::unique_ptr<TestFolder> folder)
    : location_(std::move(location)), folder_(std::move(folder)) {
  setenv("QM_STORE", location_.c_str(), 1);
}

TestStore TestStore::fromEnvironment(const std::string& prefix) {
  const char* chosen = std::getenv("QM_TEST_STORE");
  if (chosen != nullptr && *chosen != '\0') return TestStore(chosen, nullptr);
  auto folder = std::make_unique<TestFolder>(prefix);
  require(folder->ok(), "cannot make a store folder");
  std::string location = folder->path();
  return TestStore(location, std::move(folder));
}

TestStore TestStore::inFolder(const std::string& folder) {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return TestStore(folder, nullptr);
}

std::string TestStore::uniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "." + std::to_string(platform::currentProcessId()) + "." + std::to_string(++counter);
}

// ---- messages ---------------------------------------------------------------------------

uint32_t segmentOf(const MQMD& md) {
  uint32_t segment = 0;
  return parseSegmentCorrelId(md.CorrelId, &segment) ? segment : 0;
}

std::string msgIdOf(const MQMD& md) {
  return std::string(reinterpret_cast<const char*>(md.MsgId), sizeof md.MsgId);
}

StatusRecord statusOf(const Message& message) {
  const std::string& data = message.data;
  StatusRecord status;
  status.structId = data.substr(0, 4);
  status.msgId = msgIdOf(message.md);
  // The state and comments follow the ids: one id in a load status, four in a delivery status.
  size_t stateAt = status.structId == "KVLS" ? 23 : status.structId == "KVDS" ? 51 : 0;
  if (stateAt == 0 || data.size() < stateAt + 2) return status;
  status.srcId = static_cast<uint32_t>(std::strtoul(data.substr(13, 9).c_str(), nullptr, 10));
  status.state = data[stateAt];
  status.comments = data.substr(stateAt + 2);
  return status;
}

// ---- queue manager ----------------------------------------------------------------------

TestQueueManager::TestQueueManager(const std::string& name,
                                   const std::vector<std::string>& queues,
                                   const mqi::QueueManagerOptions& options)
    : name_(name) {
  requireOk(mqi::createQueueManager(name, options), "create queue manager " + name);
  requireOk(mqi::startQueueManager(name), "start queue manager " + name);
  for (const std::string& queue : queues) {
    requireOk(mqi::defineQueue(name, queue, {}), "define " + queue);
  }
  reconnect();
}

TestQueueManager::~TestQueueManager() {
  MQLONG compCode = 0, reason = 0;
  if (hconn_ != MQHC_UNUSABLE_HCONN) MQDISC(&hconn_, &compCode, &reason);
  mqi::stopQueueManager(name_, false);
  mqi::deleteQueueManager(name_);
}

void TestQueueManager::reconnect() {
  MQLONG compCode = 0, reason = 0;
  if (hconn_ != MQHC_UNUSABLE_HCONN) MQDISC(&hconn_, &compCode, &reason);
  hconn_ = MQHC_UNUSABLE_HCONN;
  MQCONN(name_.c_str(), &hconn_, &compCode, &reason);
  requireMq(compCode, reason, "MQCONN " + name_);
}

mqi::QueueInfo TestQueueManager::describe(const std::string& queue) const {
  mqi::Result<mqi::QueueInfo> info = mqi::describeQueue(name_, queue);
  return info.ok() ? info.value : mqi::QueueInfo{};
}

int32_t TestQueueManager::depth(const std::string& queue) const {
  mqi::Result<mqi::QueueInfo> info = mqi::describeQueue(name_, queue);
  requireOk(info.status, "describe " + queue);
  return info.value.currentDepth;
}

int32_t TestQueueManager::committed(const std::string& queue) {
  MQHOBJ hobj = open(queue, MQOO_BROWSE);
  int32_t count = 0;
  for (;;) {
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG;
    MQLONG length = 0, compCode = 0, reason = 0;
    MQGET(hconn_, hobj, &md, &gmo, 0, nullptr, &length, &compCode, &reason);
    if (compCode == MQCC_FAILED) break;
    ++count;
  }
  close(hobj);
  return count;
}

bool TestQueueManager::waitForCommitted(const std::string& queue, int32_t count, int timeoutMs) {
  return pollUntil([&] { return committed(queue) >= count; }, timeoutMs, 20);
}

void TestQueueManager::setGetInhibited(const std::string& queue, bool inhibited) const {
  mqi::QueueAttributes attributes;
  attributes.inhibitGet = inhibited ? MQQA_GET_INHIBITED : MQQA_GET_ALLOWED;
  requireOk(mqi::alterQueue(name_, queue, attributes), "alter " + queue);
}

MQHOBJ TestQueueManager::open(const std::string& queue, MQLONG options) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, queue);
  MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
  MQLONG compCode = 0, reason = 0;
  MQOPEN(hconn_, &od, options, &hobj, &compCode, &reason);
  requireMq(compCode, reason, "MQOPEN " + queue);
  return hobj;
}

void TestQueueManager::close(MQHOBJ& hobj) {
  MQLONG compCode = 0, reason = 0;
  MQCLOSE(hconn_, &hobj, MQCO_NONE, &compCode, &reason);
}

void TestQueueManager::put(const std::string& queue, const std::string& data, MQMD& md) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, queue);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG compCode = 0, reason = 0;
  MQPUT1(hconn_, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
         const_cast<char*>(data.data()), &compCode, &reason);
  requireMq(compCode, reason, "MQPUT1 to " + queue);
}

void TestQueueManager::putJob(const std::string& queue, const std::string& srcPath,
                              const std::string& options, const std::string& replyQueue,
                              uint32_t srcId, char isLog) {
  SRCINFO job;
  initSRCINFO(job);
  job.StructId.assign("KVSI");
  job.Version.assign(1);
  job.Src_id.assign(srcId);
  job.Src_type.assign("FILE");
  job.Src_path.assign(srcPath.c_str());
  const char flag[2] = {isLog, '\0'};
  job.Is_log.assign(flag);
  job.Options.assign(options.c_str());
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  setName(md.ReplyToQ, replyQueue);
  put(queue, std::string(reinterpret_cast<const char*>(&job), sizeof job), md);
}

// One descriptor for every put: the first put makes the MsgId, the others keep it.
std::vector<Message> TestQueueManager::putGroup(const std::string& queue, const Group& group) {
  std::vector<Message> sent;
  MQHOBJ hobj = open(queue, MQOO_OUTPUT | (group.context ? MQOO_SET_ALL_CONTEXT : 0));
  MQMD md = group.context ? *group.context : MQMD{MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT | (group.context ? MQPMO_SET_ALL_CONTEXT : 0);
  auto putOne = [&](const std::string& data) {
    MQLONG compCode = 0, reason = 0;
    MQPUT(hconn_, hobj, &md, &pmo, static_cast<MQLONG>(data.size()),
          const_cast<char*>(data.data()), &compCode, &reason);
    requireMq(compCode, reason, "MQPUT to " + queue);
    sent.push_back(Message{md, data});
  };
  std::memcpy(md.Format, group.segmentFormat, MQ_FORMAT_LENGTH);
  for (size_t i = 0; i < group.segments.size(); ++i) {
    setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(i + 1));
    if (i + 1 != group.leftOut) putOne(group.segments[i]);
  }
  setSegmentCorrelId(md.CorrelId, 0);
  md.CodedCharSetId = group.headerCcsid;
  std::memcpy(md.Format, group.headerFormat, MQ_FORMAT_LENGTH);
  if (!group.replyQueue.empty()) setName(md.ReplyToQ, group.replyQueue);
  putOne(group.header);
  MQLONG compCode = 0, reason = 0;
  MQCMIT(hconn_, &compCode, &reason);
  requireMq(compCode, reason, "MQCMIT");
  close(hobj);
  return sent;
}

bool TestQueueManager::get(const std::string& queue, Message* message, int waitMs) {
  MQHOBJ hobj = open(queue, MQOO_INPUT_SHARED);
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_NO_SYNCPOINT | (waitMs > 0 ? MQGMO_WAIT : 0);
  gmo.WaitInterval = waitMs;
  std::vector<char> buffer(1 << 20);
  MQLONG length = 0, compCode = 0, reason = 0;
  MQGET(hconn_, hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length,
        &compCode, &reason);
  close(hobj);
  if (compCode == MQCC_FAILED && reason == MQRC_NO_MSG_AVAILABLE) return false;
  requireMq(compCode, reason, "MQGET from " + queue);
  *message = Message{md, std::string(buffer.data(), static_cast<size_t>(length))};
  return true;
}

std::vector<Message> TestQueueManager::drain(const std::string& queue) {
  std::vector<Message> messages;
  for (Message message; get(queue, &message, 0);) messages.push_back(message);
  return messages;
}

std::vector<StatusRecord> TestQueueManager::getStatuses(const std::string& queue, size_t count,
                                                        int waitMs) {
  std::vector<StatusRecord> statuses;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  while (statuses.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    Message message;
    if (!get(queue, &message, static_cast<int>(std::max<int64_t>(left.count(), 0)))) break;
    statuses.push_back(statusOf(message));
  }
  return statuses;
}

}  // namespace testsupport
