// End-to-end fixture for qdrop: an embedded queue manager in a throwaway folder, delivery
// groups put with the MQI, and the real qdrop program run as a child process.
#ifndef QT_TESTS_QDROP_FIXTURE_H
#define QT_TESTS_QDROP_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/records.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

namespace qdroptest {

using testsupport::countLines;
using testsupport::hasLine;
using testsupport::Message;
using testsupport::patternBytes;
using testsupport::Program;
using testsupport::readFile;
using testsupport::setName;
using testsupport::splitSegments;

// One delivery group as it was put: the descriptors hold the context the queue manager stored.
struct PutGroup {
  MQBYTE24 msgId;
  std::vector<Message> messages;  // segments 1..n, then the header
};

struct Finished {
  int exitCode = -1;   // -1: killed at the deadline
  std::string out;     // standard output
  std::string err;     // standard error
};

class QdropTest : public ::testing::Test {
 protected:
  static constexpr const char* kQMgr = "QDROP.QM";
  static constexpr const char* kDeliveryQueue = "DLVR.Q";
  static constexpr const char* kReplyQueue = "REPLY.Q";
  static constexpr const char* kDeferQueue = "DEFER.Q";
  static constexpr int32_t kCcsid = 819;

  void SetUp() override;
  void TearDown() override;

  // Settings file "qdrop.ini" in the test folder; extra lines are appended to [Options].
  void WriteSettings(const std::string& options = "");
  // A header with valid numeric fields (Src_id 12, Tgt_id 345, Obj_id 6789).
  TGTDESC Header(const std::string& pathTemplate, const char* mode, uint32_t maxSeq,
                 const std::string& options = "-garbage DEFER.Q") const;
  // Puts segments 1..n and then the header in one unit of work, all with one MsgId, the
  // header with ReplyToQ REPLY.Q.
  PutGroup PutDelivery(const TGTDESC& header, const std::vector<std::string>& segments,
                       int32_t headerCcsid = 0, const char* headerFormat = MQFMT_STRING,
                       size_t headerLength = sizeof(TGTDESC));
  void PutMessage(const std::string& data, MQMD& md);

  // Starts qdrop with the settings file as its argument; extraEnv entries are NAME=VALUE.
  Program* Start(const std::vector<std::string>& extraEnv = {}, bool withArgument = true);
  // Waits until the condition holds (polled), at most timeoutMs; returns whether it held.
  bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 30000);
  // Waits for the process to end by itself, at most timeoutMs (then kills it).
  Finished Wait(Program* agent, int timeoutMs = 30000);
  // Sets the delivery queue get-inhibited, which ends qdrop normally, and waits for the end.
  Finished Stop(Program* agent);
  // Runs qdrop until `count` messages are committed on the reply queue, then stops it.
  Finished RunUntilReplies(int count, const std::vector<std::string>& extraEnv = {});

  // Committed messages on the queue.
  int32_t Depth(const char* queue) { return qm_->committed(queue); }
  // Gets every message of a queue (destructively, outside syncpoint).
  std::vector<Message> Drain(const char* queue) { return qm_->drain(queue); }
  testsupport::TestQueueManager& qm() { return *qm_; }

  std::string Path(const std::string& name) const { return folder_ / name; }

  TestFolder folder_{"qdrop-e2e"};
  const std::string& folder = folder_.path();
  std::string settingsFile;

 private:
  std::unique_ptr<testsupport::TestQueueManager> qm_;
  std::vector<std::unique_ptr<Program>> agents_;
};

std::string Hex(const MQBYTE* bytes, size_t size);

}  // namespace qdroptest

#endif  // QT_TESTS_QDROP_FIXTURE_H
