// A queue manager for a test, and the MQ client of the parties outside the system: the job
// sender, the sender of delivery groups, the status reader. Failed MQ calls throw
// std::runtime_error, which a test reports as its failure.
//
// Waiting on a queue waits for committed messages (a browse sees those alone): CurrentQDepth
// also counts a program's uncommitted puts, so a test waiting on it could stop the program
// between a put and a commit that then fails.
#ifndef QT_TESTS_SUPPORT_QUEUE_MANAGER_H
#define QT_TESTS_SUPPORT_QUEUE_MANAGER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"

namespace testsupport {

// Where a test's queue managers live; the chosen location becomes QM_STORE.
class TestStore {
 public:
  // The store QM_TEST_STORE names when it is set (left in place, shared with other runs);
  // otherwise a throwaway folder in /tmp named with `prefix`.
  static TestStore fromEnvironment(const std::string& prefix);
  // An embedded store in `folder` (made when missing), whatever QM_TEST_STORE says.
  static TestStore inFolder(const std::string& folder);

  const std::string& location() const { return location_; }
  // A queue manager name that no other test of any run shares: prefix.pid.counter.
  static std::string uniqueName(const std::string& prefix);

 private:
  TestStore(std::string location, std::unique_ptr<TestFolder> folder);
  std::string location_;
  std::unique_ptr<TestFolder> folder_;
};

// Copies a queue name into a 48-character MQ name field (NUL-filled).
void setName(MQCHAR* field, const std::string& name);

// A message as a get returned it or as a put left its descriptor.
struct Message {
  MQMD md;
  std::string data;
};
// The segment number in a message's CorrelId (0 for a header or anything else).
uint32_t segmentOf(const MQMD& md);
std::string msgIdOf(const MQMD& md);

// A status record read back from a reply queue: the load status (KVLS) or the delivery status
// (KVDS); other records keep srcId 0 and state ' '.
struct StatusRecord {
  std::string structId;
  uint32_t srcId = 0;
  char state = ' ';
  std::string comments;
  std::string msgId;
};
StatusRecord statusOf(const Message& message);

// A file group as its sender puts it: segments 1..n, then the header, in one unit of work and
// with one MsgId.
struct Group {
  std::vector<std::string> segments;
  std::string header;
  std::string replyQueue;                 // ReplyToQ of the header ("": none)
  const char* segmentFormat = MQFMT_NONE;
  const char* headerFormat = MQFMT_STRING;
  MQLONG headerCcsid = MQCCSI_Q_MGR;
  uint32_t leftOut = 0;                   // a segment number that is not put (0: none)
  // When set, every message carries this descriptor's context (identity and origin fields,
  // persistence), put with MQPMO_SET_ALL_CONTEXT as a loading agent puts it.
  const MQMD* context = nullptr;
};

class TestQueueManager {
 public:
  // Creates and starts `name` in the current QM_STORE, defines `queues` and connects.
  TestQueueManager(const std::string& name, const std::vector<std::string>& queues,
                   const mqi::QueueManagerOptions& options = {});
  // Disconnects, stops and deletes the queue manager.
  ~TestQueueManager();
  TestQueueManager(const TestQueueManager&) = delete;
  TestQueueManager& operator=(const TestQueueManager&) = delete;

  const std::string& name() const { return name_; }
  MQHCONN hconn() const { return hconn_; }
  // A new connection in place of one that died with a stop of the queue manager.
  void reconnect();

  mqi::QueueInfo describe(const std::string& queue) const;
  // CurrentQDepth: uncommitted puts count.
  int32_t depth(const std::string& queue) const;
  // Committed messages on the queue, counted by browsing.
  int32_t committed(const std::string& queue);
  bool waitForCommitted(const std::string& queue, int32_t count, int timeoutMs);
  void setGetInhibited(const std::string& queue, bool inhibited) const;

  // Puts one message outside syncpoint with the given descriptor (updated as the put left it).
  void put(const std::string& queue, const std::string& data, MQMD& md);
  // Puts one SRCINFO job, CorrelId segment 0, with the reply queue in its descriptor.
  void putJob(const std::string& queue, const std::string& srcPath, const std::string& options,
              const std::string& replyQueue, uint32_t srcId, char isLog = 'Y');
  // Puts a group; returns the messages as put (the header last).
  std::vector<Message> putGroup(const std::string& queue, const Group& group);

  // Gets the next message outside syncpoint, waiting up to waitMs; false when none came.
  bool get(const std::string& queue, Message* message, int waitMs);
  // Gets every message of the queue outside syncpoint, in queue order.
  std::vector<Message> drain(const std::string& queue);
  // Gets status records until `count` came or waitMs passed (at least one try without waiting).
  std::vector<StatusRecord> getStatuses(const std::string& queue, size_t count, int waitMs);

 private:
  MQHOBJ open(const std::string& queue, MQLONG options);
  void close(MQHOBJ& hobj);

  std::string name_;
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
};

}  // namespace testsupport

#endif  // QT_TESTS_SUPPORT_QUEUE_MANAGER_H
