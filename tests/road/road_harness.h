// The road of a file in a throwaway folder, shared by the end-to-end test and the benchmark of
// the road: a queue manager with the queues of the road, the settings files of qfeed, qroute
// and qdrop, and the three programs run as child processes.
#ifndef QT_TESTS_ROAD_ROAD_HARNESS_H
#define QT_TESTS_ROAD_ROAD_HARNESS_H

#include <cstdint>
#include <memory>
#include <string>

#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

namespace road {

using testsupport::patternBytes;
using testsupport::pollUntil;
using testsupport::Program;
using testsupport::readFile;
using testsupport::TestQueueManager;

struct ProgramPaths {
  std::string qfeed, qroute, qdrop;
};

// Folders under root(): src (the source folder of the route), target (where it delivers),
// unrouted (a source folder that no route takes), logs (the programs' consoles), qm (the store,
// unless another is given).
class Road {
 public:
  static constexpr const char* kJobs = "QFEED.JOBS";
  static constexpr const char* kReceiver = "QROUTE.IN";
  static constexpr const char* kDelivery = "QDROP.IN";
  static constexpr const char* kDead = "QROUTE.DEAD";
  static constexpr const char* kDefer = "QDROP.DEFER";
  static constexpr const char* kLoadStatus = "LOAD.STATUS";
  static constexpr const char* kDeliveryStatus = "DLVR.STATUS";

  // `store`: where the queue manager ROAD is made, a folder or a PostgreSQL URI ("": an
  // embedded store in the folder qm).
  explicit Road(const ProgramPaths& programs, const std::string& tgtCrtmod = "NEWVERS",
                const std::string& store = "");
  ~Road();
  const std::string& root() const { return folder_.path(); }
  const TestFolder& folder() const { return folder_; }
  std::string src() const { return folder_ / "src"; }
  std::string target() const { return folder_ / "target"; }
  std::string unrouted() const { return folder_ / "unrouted"; }
  TestQueueManager& qm() { return *qm_; }

  // A job for qfeed on the job queue: load `srcPath` to the router, status to kLoadStatus.
  void putJob(const std::string& srcPath, uint32_t srcId, char isLog = 'Y');
  // A file group on the receiver queue as qfeed puts it (segments, then a data header),
  // optionally leaving segment `leftOut` out; returns its MsgId.
  std::string putGroup(const std::string& srcPath, const std::string& content,
                       uint32_t leftOut = 0);

  void startFeed();
  void startRouter();
  void startDrop();
  void startAll() { startFeed(); startRouter(); startDrop(); }
  void killRouter();
  // Inhibits get on the three input queues and waits for the programs' normal exit; true
  // when each of those that run ended with exit code 0.
  bool stopAll(int timeoutMs = 20000);
  // The programs as last started (null before a start), for their process ids.
  const Program* feed() const { return feed_.get(); }
  const Program* router() const { return router_.get(); }
  const Program* drop() const { return drop_.get(); }

 private:
  std::unique_ptr<Program> start(const std::string& path, const std::string& name);

  ProgramPaths programs_;
  TestFolder folder_{"road"};
  std::unique_ptr<TestQueueManager> qm_;
  std::unique_ptr<Program> feed_, router_, drop_;
};

}  // namespace road

#endif  // QT_TESTS_ROAD_ROAD_HARNESS_H
