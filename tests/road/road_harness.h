// The pieces that the end-to-end test and the benchmark of the road share: throwaway folders
// and queue managers, the real programs run as child processes, and a small MQ client that
// plays the parties outside the system (the job sender and the status reader).
#ifndef QT_TESTS_ROAD_ROAD_HARNESS_H
#define QT_TESTS_ROAD_ROAD_HARNESS_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mqi/mqi.h"

namespace road {

// A folder made with mkdtemp and removed with everything in it.
class TempDir {
 public:
  explicit TempDir(const char* prefix = "road");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void makeDirectories(const std::string& path);
// Bytes of a cheap deterministic pattern that no two seeds share.
std::string patternBytes(size_t size, uint32_t seed);
// Calls done() every few milliseconds until it holds or timeoutMs pass.
bool pollUntil(const std::function<bool()>& done, int timeoutMs);

// A program run as a child process, its standard output and error appended to logFile. The
// destructor kills it (SIGKILL) if it still runs.
class Program {
 public:
  Program(const std::string& path, const std::vector<std::string>& args,
          const std::string& logFile);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  pid_t pid() const { return pid_; }
  bool running();
  // Waits up to timeoutMs for the end; true with the exit code when it ended.
  bool waitExit(int timeoutMs, int* exitCode);
  void kill9();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exitCode_ = -1;
};

// Queue manager administration and an MQ connection of the test process.
class QueueManager {
 public:
  // Points QM_STORE at `store`, creates and starts the queue manager and defines the queues.
  QueueManager(const std::string& store, const std::string& name,
               const std::vector<std::string>& queues);
  ~QueueManager();
  const std::string& name() const { return name_; }
  int32_t depth(const std::string& queue) const;
  void inhibitGet(const std::string& queue) const;

  // Puts one SRCINFO job with CorrelId segment 0 and the reply queue in its descriptor.
  void putJob(const std::string& jobQueue, const std::string& srcPath,
              const std::string& receiverQueue, const std::string& replyQueue, uint32_t srcId,
              char isLog = 'Y');
  // Puts a file group as the load agent does (segments, then a data header), optionally
  // leaving segment `skip` out; returns its MsgId.
  std::string putGroup(const std::string& queue, const std::string& srcPath,
                       const std::string& content, uint32_t skip = 0);

  struct Status {
    std::string structId;  // KVLS or KVDS
    uint32_t srcId = 0;
    char state = ' ';
    std::string comments;
    std::string msgId;
  };
  // Gets status records from a reply queue until `count` arrived or waitMs passed.
  std::vector<Status> getStatuses(const std::string& queue, size_t count, int waitMs);

  struct Message {
    MQMD md;
    std::string data;
    uint32_t segment = 0;
  };
  std::vector<Message> drain(const std::string& queue);

 private:
  MQHOBJ open(const std::string& queue, MQLONG options);
  std::string name_;
  MQHCONN conn_ = MQHC_UNUSABLE_HCONN;
};

// The whole road in a throwaway folder: a queue manager with the queues of the road, the
// settings files of qfeed, qroute and qdrop, and the three programs. Folders under root():
// src (the source folder of the route), target (where it delivers), unrouted (a source folder
// that no route takes), logs (the programs' consoles), qm (the store).
struct ProgramPaths {
  std::string qfeed, qroute, qdrop;
};

class Road {
 public:
  static constexpr const char* kJobs = "QFEED.JOBS";
  static constexpr const char* kReceiver = "QROUTE.IN";
  static constexpr const char* kDelivery = "QDROP.IN";
  static constexpr const char* kDead = "QROUTE.DEAD";
  static constexpr const char* kDefer = "QDROP.DEFER";
  static constexpr const char* kLoadStatus = "LOAD.STATUS";
  static constexpr const char* kDeliveryStatus = "DLVR.STATUS";

  explicit Road(const ProgramPaths& programs, const std::string& tgtCrtmod = "NEWVERS");
  ~Road();
  const std::string& root() const { return dir_.path(); }
  std::string src() const { return root() + "/src"; }
  std::string target() const { return root() + "/target"; }
  std::string unrouted() const { return root() + "/unrouted"; }
  QueueManager& qm() { return *qm_; }

  void startFeed();
  void startRouter();
  void startDrop();
  void startAll() { startFeed(); startRouter(); startDrop(); }
  Program* router() { return router_.get(); }
  void killRouter();
  // Inhibits get on the three input queues and waits for the programs' normal exit; true
  // when each of those that run ended with exit code 0.
  bool stopAll(int timeoutMs = 20000);

 private:
  ProgramPaths programs_;
  TempDir dir_;
  std::unique_ptr<QueueManager> qm_;
  std::unique_ptr<Program> feed_, router_, drop_;
};

}  // namespace road

#endif  // QT_TESTS_ROAD_ROAD_HARNESS_H
