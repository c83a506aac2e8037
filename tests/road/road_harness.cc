#include "tests/road/road_harness.h"

#include <stdlib.h>

#include <stdexcept>
#include <vector>

#include "common/records.h"

namespace road {

Road::Road(const ProgramPaths& programs, const std::string& tgtCrtmod, const std::string& store)
    : programs_(programs) {
  if (!folder_.ok()) throw std::runtime_error("cannot make the road's folder");
  for (const char* sub : {"src", "target", "unrouted", "logs", "reports"}) folder_.makeFolder(sub);
  if (store.empty()) testsupport::TestStore::inFolder(folder_ / "qm");
  else setenv("QM_STORE", store.c_str(), 1);
  qm_ = std::make_unique<TestQueueManager>(
      "ROAD", std::vector<std::string>{kJobs, kReceiver, kDelivery, kDead, kDefer, kLoadStatus,
                                       kDeliveryStatus});
  folder_.write("qfeed.ini",
                "[MQSeries Objects]\nQMgrName=ROAD\nSrcQueue=" + std::string(kJobs) +
                    "\n[Source Definition]\nLogPath=\n[Options]\nFolderWaitTime=0\n"
                    "MQWaitTime=200\n");
  folder_.write("qroute.ini",
                "[MQSeries Objects]\nQMgrName=ROAD\nRcvrQueue=" + std::string(kReceiver) +
                    "\nDlvrQueue=" + kDelivery + "\nDeadQueue=" + kDead + "\nReplyToQ=" +
                    kDeliveryStatus + "\nWaitMQInterval=200\n[Route 1]\nSrcFolder=" + src() +
                    "\nSrcMask=*\nObj_id=1\nTgt_id=2\nIs_log=Y\nTgt_path=new(" + target() +
                    "/)old\nTgt_crtmod=" + tgtCrtmod + "\nOptions=-garbage " + kDefer + "\n");
  folder_.write("qdrop.ini", "[MQSeries Objects]\nQMgrName=ROAD\nQName=" +
                                 std::string(kDelivery) +
                                 "\nWaitMQInterval=200\n[Options]\nDeferInterval=2000\n");
}

Road::~Road() {
  feed_.reset();
  router_.reset();
  drop_.reset();
  qm_.reset();
}

void Road::putJob(const std::string& srcPath, uint32_t srcId, char isLog) {
  qm_->putJob(kJobs, srcPath, "-rcvrqname " + std::string(kReceiver), kLoadStatus, srcId, isLog);
}

std::string Road::putGroup(const std::string& srcPath, const std::string& content,
                           uint32_t leftOut) {
  testsupport::Group group;
  group.segments = testsupport::splitSegments(content, 24575);
  SRCDESC header;
  initSRCDESC(header);
  header.MaxSeq.assign(static_cast<uint32_t>(group.segments.size()));
  header.Src_path.assign(srcPath.c_str());
  group.header.assign(reinterpret_cast<const char*>(&header), sizeof header);
  group.leftOut = leftOut;
  return testsupport::msgIdOf(qm_->putGroup(kReceiver, group).back().md);
}

std::unique_ptr<Program> Road::start(const std::string& path, const std::string& name) {
  testsupport::ProgramStart start;
  start.args = {folder_ / (name + ".ini")};
  start.out = start.err = folder_ / ("logs/" + name + ".log");
  start.append = true;
  return std::make_unique<Program>(path, start);
}

void Road::startFeed() { feed_ = start(programs_.qfeed, "qfeed"); }
void Road::startRouter() { router_ = start(programs_.qroute, "qroute"); }
void Road::startDrop() { drop_ = start(programs_.qdrop, "qdrop"); }

void Road::killRouter() {
  if (router_) router_->kill9();
}

bool Road::stopAll(int timeoutMs) {
  bool ok = true;
  const std::pair<Program*, const char*> programs[] = {
      {feed_.get(), kJobs}, {router_.get(), kReceiver}, {drop_.get(), kDelivery}};
  for (const auto& [program, queue] : programs) {
    if (program != nullptr && program->running()) qm_->setGetInhibited(queue, true);
  }
  for (const auto& [program, queue] : programs) {
    if (program != nullptr && program->waitExit(timeoutMs) != 0) ok = false;
  }
  return ok;
}

}  // namespace road
