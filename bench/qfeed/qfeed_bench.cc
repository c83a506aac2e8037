// qfeed benchmarks, printed as one line each:
//   1. MQI put of N MiB as 24,575-byte persistent messages in one unit of work (the
//      baseline), then qfeed loading one file of N MiB end to end (job put to commit), with
//      qfeed's peak RSS;
//   2. 1,000 files of 1 KiB, one job each: files per second, and the same MQ work done by
//      this program alone, which gives the share of qfeed's time spent outside the queue
//      manager;
//   3. the XML check alone on a well-formed file of M MiB.
// Sizes: QFEED_BENCH_MIB (default 1024), QFEED_BENCH_XML_MIB (default 100); QFEED_BENCH_ONLY
// (xml, small or large) runs one part alone.
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "xml_check/xml_checker.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kQmgr = "QB";
constexpr size_t kSegment = 24575;
std::string root;

// User and system time of this process: the machine may be shared, so wall time alone can
// mislead.
double cpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void setName(char* field, const char* name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name, std::strlen(name));
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench: %s failed\n", what);
    std::exit(1);
  }
}

// A queue manager of its own for each part, in a store folder of its own under the root.
std::unique_ptr<testsupport::TestQueueManager> freshQueueManager(const std::string& store) {
  testsupport::TestStore::inFolder(root + "/" + store);
  return std::make_unique<testsupport::TestQueueManager>(
      kQmgr, std::vector<std::string>{"JOBS", "RECV", "REPLY"});
}

void dropQueueManager(std::unique_ptr<testsupport::TestQueueManager>& qm,
                      const std::string& store) {
  qm.reset();
  std::error_code ignored;
  std::filesystem::remove_all(root + "/" + store, ignored);
}

MQHOBJ openQueue(MQHCONN hConn, const char* name, MQLONG options) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, name);
  MQHOBJ hObj = -1;
  MQLONG cc, rc;
  MQOPEN(hConn, &od, options, &hObj, &cc, &rc);
  check(cc != MQCC_FAILED, "MQOPEN");
  return hObj;
}

void putNoSyncpoint(MQHCONN hConn, const char* queue, const void* data, size_t size,
                    uint32_t segment) {
  MQOD od = {MQOD_DEFAULT};
  setName(od.ObjectName, queue);
  MQMD md = {MQMD_DEFAULT};
  setSegmentCorrelId(md.CorrelId, segment);
  setName(md.ReplyToQ, "REPLY");
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG cc, rc;
  MQPUT1(hConn, &od, &md, &pmo, static_cast<MQLONG>(size), const_cast<void*>(data), &cc, &rc);
  check(cc != MQCC_FAILED, "MQPUT1");
}

void putJob(MQHCONN hConn, const std::string& path) {
  SRCINFO job;
  initSRCINFO(job);
  job.StructId.assign("KVSI");
  job.Src_path.assign(path.c_str());
  job.Is_log.assign("Y");
  job.Options.assign("-rcvrqname RECV");
  putNoSyncpoint(hConn, "JOBS", &job, sizeof job, 0);
}

bool getReply(MQHCONN hConn, MQHOBJ hReply, int waitMs) {
  MQMD md = {MQMD_DEFAULT};
  MQGMO gmo = {MQGMO_DEFAULT};
  gmo.Options = MQGMO_WAIT + MQGMO_NO_SYNCPOINT + MQGMO_ACCEPT_TRUNCATED_MSG;
  gmo.WaitInterval = waitMs;
  char buffer[2048];
  MQLONG length, cc, rc;
  MQGET(hConn, hReply, &md, &gmo, sizeof buffer, buffer, &length, &cc, &rc);
  return cc != MQCC_FAILED;
}

double baselinePut(size_t mib) {
  MQHCONN hConn = -1;
  MQLONG cc, rc;
  MQCONN(kQmgr, &hConn, &cc, &rc);
  MQHOBJ hRecv = openQueue(hConn, "RECV", MQOO_OUTPUT);
  static char buffer[kSegment];
  std::memset(buffer, 'b', sizeof buffer);
  const size_t total = mib << 20;
  MQMD md = {MQMD_DEFAULT};
  md.Persistence = MQPER_PERSISTENT;
  const auto start = Clock::now();
  for (size_t done = 0, n = 1; done < total; done += kSegment, ++n) {
    setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(n));
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    const size_t size = total - done < kSegment ? total - done : kSegment;
    MQPUT(hConn, hRecv, &md, &pmo, static_cast<MQLONG>(size), buffer, &cc, &rc);
    check(cc != MQCC_FAILED, "baseline MQPUT");
  }
  MQCMIT(hConn, &cc, &rc);
  const double elapsed = seconds(start);
  MQCLOSE(hConn, &hRecv, MQCO_NONE, &cc, &rc);
  MQDISC(&hConn, &cc, &rc);
  return static_cast<double>(mib) / elapsed;
}

std::unique_ptr<testsupport::Program> startAgent() {
  std::ofstream(root + "/qfeed.ini")
      << "[MQSeries Objects]\nQMgrName=" << kQmgr << "\nSrcQueue=JOBS\n[Options]\nMQWaitTime=100\n";
  testsupport::ProgramStart start;
  start.name = "qfeed";
  start.args = {"qfeed.ini"};
  start.folder = root;
  start.out = start.err = "/dev/null";
  return std::make_unique<testsupport::Program>(QFEED_PATH, start);
}

// Inhibits get on the job queue, which ends qfeed normally; its peak RSS in KiB.
long stopAgent(MQHCONN hConn, testsupport::Program& agent) {
  MQHOBJ hJobs = openQueue(hConn, "JOBS", MQOO_SET);
  MQLONG selector = MQIA_INHIBIT_GET, value = MQQA_GET_INHIBITED, cc, rc;
  MQSET(hConn, hJobs, 1, &selector, 1, &value, 0, nullptr, &cc, &rc);
  MQCLOSE(hConn, &hJobs, MQCO_NONE, &cc, &rc);
  agent.waitExit(3600 * 1000);
  return agent.usage().ru_maxrss;
}

void benchLargeFile(size_t mib) {
  auto qm = freshQueueManager("store-base");
  const double baseline = baselinePut(mib);
  dropQueueManager(qm, "store-base");

  qm = freshQueueManager("store-load");
  const std::string path = root + "/big.dat";
  {
    std::ofstream out(path, std::ios::binary);
    std::string block(1 << 20, 'f');
    for (size_t i = 0; i < mib; ++i)
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  MQHCONN hConn = qm->hconn();
  MQLONG cc, rc;
  auto agent = startAgent();
  MQHOBJ hReply = openQueue(hConn, "REPLY", MQOO_INPUT_SHARED);
  const auto start = Clock::now();
  putJob(hConn, path);
  check(getReply(hConn, hReply, 600000), "status of the large file");
  const double loaded = static_cast<double>(mib) / seconds(start);
  MQCLOSE(hConn, &hReply, MQCO_NONE, &cc, &rc);
  const long rss = stopAgent(hConn, *agent);
  dropQueueManager(qm, "store-load");
  std::printf(
      "large file: %zu MiB, MQI put baseline %.1f MB/s, qfeed end to end %.1f MB/s "
      "(%.0f%%), qfeed peak RSS %.1f MiB\n",
      mib, baseline, loaded, 100.0 * loaded / baseline, static_cast<double>(rss) / 1024);
}

// The MQ work qfeed does for one small file, done here without files or logging.
double mqOnlySmallFiles(int files) {
  MQHCONN hConn = -1;
  MQLONG cc, rc;
  MQCONN(kQmgr, &hConn, &cc, &rc);
  for (int i = 0; i < files; ++i) putJob(hConn, "x");
  MQDISC(&hConn, &cc, &rc);
  static char data[1024];
  const auto start = Clock::now();
  for (int i = 0; i < files; ++i) {
    MQCONN(kQmgr, &hConn, &cc, &rc);
    MQHOBJ hJobs = openQueue(hConn, "JOBS", MQOO_INPUT_EXCLUSIVE);
    MQMD md = {MQMD_DEFAULT};
    setSegmentCorrelId(md.CorrelId, 0);
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_WAIT + MQGMO_SYNCPOINT + MQGMO_ACCEPT_TRUNCATED_MSG;
    gmo.WaitInterval = -1;
    SRCINFO job;
    MQLONG length;
    MQGET(hConn, hJobs, &md, &gmo, sizeof job, &job, &length, &cc, &rc);
    MQHOBJ hRecv = openQueue(hConn, "RECV", MQOO_OUTPUT);
    MQMD put = {MQMD_DEFAULT};
    put.Persistence = MQPER_PERSISTENT;
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_SYNCPOINT;
    setSegmentCorrelId(put.CorrelId, 1);
    MQPUT(hConn, hRecv, &put, &pmo, sizeof data, data, &cc, &rc);
    SRCDESC header;
    initSRCDESC(header);
    setSegmentCorrelId(put.CorrelId, 0);
    MQPUT(hConn, hRecv, &put, &pmo, sizeof header, &header, &cc, &rc);
    MQOD od = {MQOD_DEFAULT};
    setName(od.ObjectName, "REPLY");
    MQMD statusMd = {MQMD_DEFAULT};
    MQPUT1(hConn, &od, &statusMd, &pmo, 80, data, &cc, &rc);
    MQCMIT(hConn, &cc, &rc);
    MQCLOSE(hConn, &hRecv, MQCO_NONE, &cc, &rc);
    MQCLOSE(hConn, &hJobs, MQCO_NONE, &cc, &rc);
    MQDISC(&hConn, &cc, &rc);
  }
  return seconds(start);
}

void benchSmallFiles(int files) {
  auto qm = freshQueueManager("store-small");
  const std::string folder = root + "/small";
  mkdir(folder.c_str(), 0755);
  const std::string content(1024, 's');
  char name[64];
  for (int i = 0; i < files; ++i) {
    std::snprintf(name, sizeof name, "/f%04d.dat", i);
    std::ofstream(folder + name, std::ios::binary) << content;
  }
  MQHCONN hConn = qm->hconn();
  MQLONG cc, rc;
  auto agent = startAgent();
  MQHOBJ hReply = openQueue(hConn, "REPLY", MQOO_INPUT_SHARED);
  const auto start = Clock::now();
  for (int i = 0; i < files; ++i) {
    std::snprintf(name, sizeof name, "/f%04d.dat", i);
    putJob(hConn, folder + name);
  }
  for (int i = 0; i < files; ++i) check(getReply(hConn, hReply, 60000), "small file status");
  const double elapsed = seconds(start);
  MQCLOSE(hConn, &hReply, MQCO_NONE, &cc, &rc);
  stopAgent(hConn, *agent);
  dropQueueManager(qm, "store-small");

  qm = freshQueueManager("store-small");
  const double mqOnly = mqOnlySmallFiles(files);
  dropQueueManager(qm, "store-small");
  std::printf(
      "small files: %d files of 1 KiB in %.2f s = %.0f files/s; the same MQ work alone "
      "%.2f s, so %.0f%% of the time is outside the queue manager\n",
      files, elapsed, files / elapsed, mqOnly, 100.0 * (1.0 - mqOnly / elapsed));
}

void benchXmlCheck(size_t mib) {
  const std::string path = root + "/check.xml";
  size_t bytes = 0;
  {
    std::ofstream out(path, std::ios::binary);
    const std::string header = "<?xml version = '1.0' encoding = 'windows-1251'?>\r\n<ROWSET>\r\n";
    out << header;
    bytes += header.size();
    const std::string row =
        "  <ROW>\r\n    <PERSON><NAME>Somebody Somewhere</NAME><REGNUM>1234567890123</REGNUM>"
        "</PERSON>\r\n    <MSG><MSGNUM>42</MSGNUM><MSGDATE>12.03.2007</MSGDATE>"
        "<MSGTYPE>A</MSGTYPE><TEXT>Some text of the message that is not captured.</TEXT>"
        "</MSG>\r\n  </ROW>\r\n";
    while (bytes < (mib << 20)) {
      out << row;
      bytes += row.size();
    }
    out << "</ROWSET>\r\n";
  }
  std::ofstream report(root + "/report.log", std::ios::out | std::ios::trunc);
  const double cpuStart = cpuSeconds();
  const auto start = Clock::now();
  {
    XMLChecker checker(report);
    checker.OpenInput(path.c_str());
    checker.Run();
  }
  const double elapsed = seconds(start);
  const double cpu = cpuSeconds() - cpuStart;
  report.close();
  std::printf("XML check: %.1f MiB in %.2f s = %.1f MB/s (CPU time %.2f s = %.1f MB/s)\n",
              bytes / 1048576.0, elapsed, bytes / 1048576.0 / elapsed, cpu,
              bytes / 1048576.0 / cpu);
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TestFolder scratch("qfeedbench");
  check(scratch.ok(), "the bench folder");
  root = scratch.path();
  const char* mibText = std::getenv("QFEED_BENCH_MIB");
  const char* xmlText = std::getenv("QFEED_BENCH_XML_MIB");
  const char* onlyText = std::getenv("QFEED_BENCH_ONLY");  // xml, small or large
  const std::string only = onlyText != nullptr ? onlyText : "";
  if (only.empty() || only == "xml") {
    benchXmlCheck(xmlText != nullptr ? std::strtoul(xmlText, nullptr, 10) : 100);
  }
  if (only.empty() || only == "small") benchSmallFiles(1000);
  if (only.empty() || only == "large") {
    benchLargeFile(mibText != nullptr ? std::strtoul(mibText, nullptr, 10) : 1024);
  }
  return 0;
}
