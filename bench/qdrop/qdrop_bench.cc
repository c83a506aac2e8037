// qdrop benchmark (not a test): one large file, and many small ones.
//
//   qdrop_bench [folder] [segments] [small files]
//
// 1. A raw MQI get of one delivery group the way qdrop reads it (header by CorrelId, segments by
//    MsgId and CorrelId, one unit of work), without writing: the queue's own speed.
// 2. qdrop delivering a group of the same size: MiB/s, ratio to (1), and its peak RSS; then a
//    group of a sixteenth of the size, to show that the RSS does not follow the file size.
// 3. Small files of 1 KiB: files per second, with and without the flush of the target files
//    (fsync made a no-op for the target folder by a preloaded shim), hence the flush's share.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"

namespace {

constexpr const char* kQMgr = "BENCH.QM";
constexpr int kSegment = 24576;
std::string folder;

void check(MQLONG compCode, MQLONG reason, const char* what) {
  if (compCode == MQCC_FAILED) {
    std::fprintf(stderr, "%s failed: %d\n", what, reason);
    std::exit(1);
  }
}

void setName(MQCHAR* field, const char* name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name, std::strlen(name));
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Connection {
  MQHCONN hconn = MQHC_UNUSABLE_HCONN;
  Connection() {
    MQLONG cc, rc;
    MQCONN(kQMgr, &hconn, &cc, &rc);
    check(cc, rc, "MQCONN");
  }
  ~Connection() {
    MQLONG cc, rc;
    MQDISC(&hconn, &cc, &rc);
  }
  MQHOBJ open(const char* queue, MQLONG options) {
    MQOD od = {MQOD_DEFAULT};
    setName(od.ObjectName, queue);
    MQHOBJ hobj;
    MQLONG cc, rc;
    MQOPEN(hconn, &od, options, &hobj, &cc, &rc);
    check(cc, rc, "MQOPEN");
    return hobj;
  }
  void commit() {
    MQLONG cc, rc;
    MQCMIT(hconn, &cc, &rc);
    check(cc, rc, "MQCMIT");
  }
};

// Puts `files` groups of `segments` segments of `size` bytes each; commits every 1000 puts.
void putGroups(int files, int segments, int size, const std::string& targetFolder) {
  Connection mq;
  MQHOBJ hobj = mq.open("DLVR.Q", MQOO_OUTPUT);
  std::vector<char> data(static_cast<size_t>(size), 'd');
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  int uncommitted = 0;
  MQLONG cc, rc;
  for (int file = 0; file < files; ++file) {
    MQMD md = {MQMD_DEFAULT};
    std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
    for (int s = 1; s <= segments; ++s) {
      setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(s));
      MQPUT(mq.hconn, hobj, &md, &pmo, size, data.data(), &cc, &rc);
      check(cc, rc, "MQPUT segment");
      if (++uncommitted >= 1000) {
        mq.commit();
        uncommitted = 0;
      }
    }
    TGTDESC header;
    initTGTDESC(header);
    header.StructId.assign("KVDT");
    header.Version.assign(1);
    header.MaxSeq.assign(static_cast<uint32_t>(segments));
    std::string path = "new(" + targetFolder + "/)new(file" + std::to_string(file) + ".bin)";
    header.Tgt_path.assign(path.c_str());
    header.Tgt_crtmod.assign("REPLACE");
    header.Options.assign("-garbage DEFER.Q");
    setSegmentCorrelId(md.CorrelId, 0);
    setName(md.ReplyToQ, "REPLY.Q");
    MQPUT(mq.hconn, hobj, &md, &pmo, sizeof header, &header, &cc, &rc);
    check(cc, rc, "MQPUT header");
    ++uncommitted;
  }
  mq.commit();
}

// Gets one group as qdrop does, without writing it anywhere.
double rawGet() {
  Connection mq;
  MQHOBJ hobj = mq.open("DLVR.Q", MQOO_INPUT_EXCLUSIVE | MQOO_FAIL_IF_QUIESCING);
  std::vector<char> buffer(kSegment);
  auto start = std::chrono::steady_clock::now();
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, 0);
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG | MQGMO_CONVERT;
  gmo.WaitInterval = 1000;
  TGTDESC header;
  MQLONG length, cc, rc;
  MQGET(mq.hconn, hobj, &md, &gmo, sizeof header, &header, &length, &cc, &rc);
  check(cc, rc, "MQGET header");
  uint32_t maxSeq = header.MaxSeq.value();
  gmo.Options = MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING;
  for (uint32_t s = 1; s <= maxSeq; ++s) {
    setSegmentCorrelId(md.CorrelId, s);
    MQGET(mq.hconn, hobj, &md, &gmo, kSegment, buffer.data(), &length, &cc, &rc);
    check(cc, rc, "MQGET segment");
  }
  mq.commit();
  return secondsSince(start);
}

struct Delivery {
  double seconds = 0;
  double peakRssMiB = 0;
};

// Runs qdrop until `replies` statuses arrived; its output goes to a file. The time is taken
// when the depth shows them; the stop waits until they are committed.
Delivery runQdrop(testsupport::TestQueueManager& qm, int replies, const std::string& preload,
                  const std::string& noSyncUnder) {
  mqi::clearQueue(kQMgr, "REPLY.Q");
  std::string settings = folder + "/qdrop.ini";
  std::ofstream(settings) << "[MQSeries Objects]\nQMgrName=" << kQMgr
                          << "\nQName=DLVR.Q\nWaitMQInterval=100\n";
  testsupport::ProgramStart start;
  start.args = {settings};
  if (!preload.empty()) {
    start.setEnv = {"LD_PRELOAD=" + preload, "QDROP_BENCH_NOSYNC_UNDER=" + noSyncUnder};
  }
  start.out = folder + "/qdrop.out";
  start.err = folder + "/qdrop.err";
  std::fflush(stdout);
  auto begin = std::chrono::steady_clock::now();
  testsupport::Program qdrop(QDROP_PROGRAM, start);
  while (qm.depth("REPLY.Q") < replies) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Delivery delivery;
  delivery.seconds = secondsSince(begin);
  qm.waitForCommitted("REPLY.Q", replies, 60000);
  qm.setGetInhibited("DLVR.Q", true);
  qdrop.waitExit(3600 * 1000);
  qm.setGetInhibited("DLVR.Q", false);
  delivery.peakRssMiB = qdrop.usage().ru_maxrss / 1024.0;
  return delivery;
}

void largeFile(testsupport::TestQueueManager& qm, int segments) {
  double mib = static_cast<double>(segments) * kSegment / (1024.0 * 1024.0);
  std::string target = folder + "/large";
  std::filesystem::create_directories(target);
  std::printf("one file of %d segments (%.1f MiB)\n", segments, mib);
  putGroups(1, segments, kSegment, target);
  double raw = rawGet();
  std::printf("  raw MQI get of the group   %8.1f MiB/s  (%.2f s)\n", mib / raw, raw);
  putGroups(1, segments, kSegment, target);
  Delivery full = runQdrop(qm, 1, "", "");
  putGroups(1, segments, kSegment, target);
  double rawAfter = rawGet();
  std::printf("  raw MQI get, once more     %8.1f MiB/s  (%.2f s)\n", mib / rawAfter, rawAfter);
  if (rawAfter < raw) raw = rawAfter;
  std::printf("  qdrop delivery             %8.1f MiB/s  (%.2f s)  = %.0f%% of the faster raw get\n",
              mib / full.seconds, full.seconds, 100.0 * raw / full.seconds);
  std::printf("  qdrop peak RSS             %8.1f MiB\n", full.peakRssMiB);
  std::filesystem::remove_all(target);
  std::filesystem::create_directories(target);
  putGroups(1, segments / 16, kSegment, target);
  Delivery small = runQdrop(qm, 1, "", "");
  std::printf("  qdrop peak RSS, %5.1f MiB file %6.1f MiB\n", mib / 16, small.peakRssMiB);
  std::filesystem::remove_all(target);
}

void smallFiles(testsupport::TestQueueManager& qm, int files) {
  std::string target = folder + "/small";
  std::filesystem::create_directories(target);
  std::printf("%d files of 1 KiB\n", files);
  putGroups(files, 1, 1024, target);
  Delivery flushed = runQdrop(qm, files, "", "");
  std::printf("  with flush to disk         %8.1f files/s  (%.2f s)\n", files / flushed.seconds,
              flushed.seconds);
  putGroups(files, 1, 1024, target);
  Delivery unflushed = runQdrop(qm, files, NOSYNC_SHIM, target);
  std::printf("  flush of the targets off   %8.1f files/s  (%.2f s)\n",
              files / unflushed.seconds, unflushed.seconds);
  std::printf("  share of the flush         %8.0f%%\n",
              100.0 * (flushed.seconds - unflushed.seconds) / flushed.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  TestFolder scratch("qdrop-bench");
  folder = argc > 1 && argv[1][0] != '\0' ? argv[1] : scratch.path();
  std::filesystem::create_directories(folder);
  int segments = argc > 2 ? std::atoi(argv[2]) : 43691;
  int files = argc > 3 ? std::atoi(argv[3]) : 1000;
  testsupport::TestStore::inFolder(folder + "/store");
  testsupport::TestQueueManager qm(kQMgr, {"DLVR.Q", "REPLY.Q", "DEFER.Q"});
  largeFile(qm, segments);
  smallFiles(qm, files);
  return 0;
}
