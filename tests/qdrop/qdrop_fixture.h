// End-to-end fixture for qdrop: an embedded queue manager in a throwaway folder, delivery
// groups put with the MQI, and the real qdrop program run as a child process.
#ifndef QT_TESTS_QDROP_FIXTURE_H
#define QT_TESTS_QDROP_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/records.h"
#include "mqi/mqi.h"

namespace qdroptest {

// A message as a get returned it.
struct Message {
  MQMD md;
  std::string data;
};

// One delivery group as it was put: the descriptors hold the context the queue manager stored.
struct PutGroup {
  MQBYTE24 msgId;
  std::vector<Message> messages;  // segments 1..n, then the header
};

struct Finished {
  int exitCode = -1;   // -1: killed or still running at the deadline
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
  // Puts segments 1..n and then the header (n = segments.size() unless maxSeq is given) in
  // one unit of work, all with one MsgId, the header with ReplyToQ REPLY.Q.
  PutGroup PutDelivery(const TGTDESC& header, const std::vector<std::string>& segments,
                       int32_t headerCcsid = 0, const char* headerFormat = MQFMT_STRING,
                       size_t headerLength = sizeof(TGTDESC));
  void PutMessage(const std::string& data, MQMD& md);

  // Starts qdrop with the settings file as its argument; extraEnv entries are NAME=VALUE.
  pid_t Start(const std::vector<std::string>& extraEnv = {}, bool withArgument = true);
  // Waits until the condition holds (polled), at most timeoutMs; returns whether it held.
  bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 30000);
  // Waits for the process to end by itself, at most timeoutMs (then kills it).
  Finished Wait(pid_t pid, int timeoutMs = 30000);
  // Sets the delivery queue get-inhibited, which ends qdrop normally, and waits for the end.
  Finished Stop(pid_t pid);
  // Runs qdrop until `count` messages are on the reply queue, then stops it.
  Finished RunUntilReplies(int count, const std::vector<std::string>& extraEnv = {});

  int32_t Depth(const char* queue);
  // Gets every message of a queue (destructively, outside syncpoint).
  std::vector<Message> Drain(const char* queue);
  void SetGetInhibited(bool inhibited);

  std::string Path(const std::string& name) const { return folder + "/" + name; }
  static std::string ReadFile(const std::string& path);
  static std::string Pattern(size_t size, unsigned seed);
  static std::vector<std::string> Split(const std::string& data, size_t segmentSize = 24576);

  std::string folder;
  std::string settingsFile;
  MQHCONN hconn = MQHC_UNUSABLE_HCONN;
};

// Counts the lines of `text` that end with `tail` (the timestamp before it is not compared).
// Copies a name into a 48-character MQ name field (NUL-filled).
inline void SetName(MQCHAR* field, const char* name) {
  for (size_t i = 0; i < 48; ++i) field[i] = '\0';
  for (size_t i = 0; i < 48 && name[i] != '\0'; ++i) field[i] = name[i];
}
int CountLines(const std::string& text, const std::string& tail);
bool HasLine(const std::string& text, const std::string& tail);
std::string Hex(const MQBYTE* bytes, size_t size);

}  // namespace qdroptest

#endif  // QT_TESTS_QDROP_FIXTURE_H
