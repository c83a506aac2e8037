// The road harness: folders, child processes and the test's own MQ client. Linux only, like
// the rest of the end-to-end tests; child processes are started with posix_spawn.
#include "tests/road/road_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "common/records.h"
#include "mqi/admin.h"

extern char** environ;

namespace road {
namespace {

void require(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error(what);
}

void copyName(MQCHAR48 field, const std::string& name) {
  std::memset(field, 0, MQ_Q_NAME_LENGTH);
  std::memcpy(field, name.data(), std::min<size_t>(name.size(), MQ_Q_NAME_LENGTH));
}

}  // namespace

TempDir::TempDir(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "_XXXXXX";
  require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  require(out.good(), "write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

void makeDirectories(const std::string& path) { std::filesystem::create_directories(path); }

std::string patternBytes(size_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

bool pollUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Program::Program(const std::string& path, const std::vector<std::string>& args,
                 const std::string& logFile) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  require(rc == 0, "spawn " + path);
}

Program::~Program() {
  if (running()) kill9();
}

namespace {
int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }
}  // namespace

bool Program::running() {
  if (reaped_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    reaped_ = true;
    exitCode_ = exitCodeOf(status);
  }
  return !reaped_;
}

bool Program::waitExit(int timeoutMs, int* exitCode) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  *exitCode = exitCode_;
  return true;
}

void Program::kill9() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
  exitCode_ = exitCodeOf(status);
}

QueueManager::QueueManager(const std::string& store, const std::string& name,
                           const std::vector<std::string>& queues)
    : name_(name) {
  setenv("QM_STORE", store.c_str(), 1);
  mqi::Status s = mqi::createQueueManager(name, {});
  require(s.ok(), "create queue manager: " + s.message());
  s = mqi::startQueueManager(name);
  require(s.ok(), "start queue manager: " + s.message());
  for (const std::string& q : queues) {
    s = mqi::defineQueue(name, q, {});
    require(s.ok(), "define " + q + ": " + s.message());
  }
  MQLONG cc = 0, reason = 0;
  MQCONN(name.c_str(), &conn_, &cc, &reason);
  require(cc != MQCC_FAILED, "MQCONN reason " + std::to_string(reason));
}

QueueManager::~QueueManager() {
  MQLONG cc = 0, reason = 0;
  MQDISC(&conn_, &cc, &reason);
  mqi::stopQueueManager(name_, false);
  mqi::deleteQueueManager(name_);
}

int32_t QueueManager::depth(const std::string& queue) const {
  return mqi::describeQueue(name_, queue).value.currentDepth;
}

void QueueManager::inhibitGet(const std::string& queue) const {
  mqi::QueueAttributes inhibit;
  inhibit.inhibitGet = MQQA_GET_INHIBITED;
  require(mqi::alterQueue(name_, queue, inhibit).ok(), "inhibit " + queue);
}

MQHOBJ QueueManager::open(const std::string& queue, MQLONG options) {
  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, queue);
  MQHOBJ h = MQHO_UNUSABLE_HOBJ;
  MQLONG cc = 0, reason = 0;
  MQOPEN(conn_, &od, options, &h, &cc, &reason);
  require(cc != MQCC_FAILED, "MQOPEN " + queue + " reason " + std::to_string(reason));
  return h;
}

void QueueManager::putJob(const std::string& jobQueue, const std::string& srcPath,
                          const std::string& receiverQueue, const std::string& replyQueue,
                          uint32_t srcId, char isLog) {
  SRCINFO job;
  initSRCINFO(job);
  job.StructId.assign("KVSI");
  job.Version.assign(1);
  job.Src_id.assign(srcId);
  job.Src_type.assign("FILE");
  job.Src_path.assign(srcPath.c_str());
  const char log[2] = {isLog, 0};
  job.Is_log.assign(log);
  job.Options.assign(("-rcvrqname " + receiverQueue).c_str());
  MQOD od = {MQOD_DEFAULT};
  copyName(od.ObjectName, jobQueue);
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, 8);
  setSegmentCorrelId(md.CorrelId, 0);
  copyName(md.ReplyToQ, replyQueue);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG cc = 0, reason = 0;
  MQPUT1(conn_, &od, &md, &pmo, sizeof job, &job, &cc, &reason);
  require(cc != MQCC_FAILED, "put job, reason " + std::to_string(reason));
}

std::string QueueManager::putGroup(const std::string& queue, const std::string& srcPath,
                                   const std::string& content, uint32_t skip) {
  MQHOBJ h = open(queue, MQOO_OUTPUT);
  MQMD md = {MQMD_DEFAULT};
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  MQLONG cc = 0, reason = 0;
  uint32_t segments = 0;
  for (size_t at = 0; at < content.size(); at += 24575) {
    ++segments;
    setSegmentCorrelId(md.CorrelId, segments);
    if (segments == skip) continue;
    std::string piece = content.substr(at, 24575);
    MQPUT(conn_, h, &md, &pmo, static_cast<MQLONG>(piece.size()), piece.data(), &cc, &reason);
    require(cc != MQCC_FAILED, "put segment, reason " + std::to_string(reason));
  }
  SRCDESC header;
  initSRCDESC(header);
  header.MaxSeq.assign(segments);
  header.Src_path.assign(srcPath.c_str());
  std::memcpy(md.Format, MQFMT_STRING, 8);
  setSegmentCorrelId(md.CorrelId, 0);
  MQPUT(conn_, h, &md, &pmo, sizeof header, &header, &cc, &reason);
  require(cc != MQCC_FAILED, "put header, reason " + std::to_string(reason));
  MQCMIT(conn_, &cc, &reason);
  MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
  return std::string(reinterpret_cast<char*>(md.MsgId), 24);
}

std::vector<QueueManager::Status> QueueManager::getStatuses(const std::string& queue,
                                                            size_t count, int waitMs) {
  MQHOBJ h = open(queue, MQOO_INPUT_SHARED);
  std::vector<Status> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::vector<char> buffer(2048);
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_WAIT | MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
    gmo.WaitInterval = static_cast<MQLONG>(left.count());
    MQLONG length = 0, cc = 0, reason = 0;
    MQGET(conn_, h, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc,
          &reason);
    if (cc == MQCC_FAILED) break;
    std::string data(buffer.data(), std::min<size_t>(length, buffer.size()));
    Status s;
    s.structId = data.substr(0, 4);
    s.msgId.assign(reinterpret_cast<char*>(md.MsgId), 24);
    if (s.structId == "KVLS" && data.size() >= 25) {
      s.srcId = static_cast<uint32_t>(std::stoul(data.substr(13, 9)));
      s.state = data[23];
      s.comments = data.substr(25);
    } else if (s.structId == "KVDS" && data.size() >= 53) {
      s.srcId = static_cast<uint32_t>(std::stoul(data.substr(13, 9)));
      s.state = data[51];
      s.comments = data.substr(53);
    }
    out.push_back(s);
  }
  MQLONG cc = 0, reason = 0;
  MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
  return out;
}

std::vector<QueueManager::Message> QueueManager::drain(const std::string& queue) {
  MQHOBJ h = open(queue, MQOO_INPUT_SHARED);
  std::vector<Message> out;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    Message m;
    m.md = MQMD{MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_NO_SYNCPOINT | MQGMO_ACCEPT_TRUNCATED_MSG;
    MQLONG length = 0, cc = 0, reason = 0;
    MQGET(conn_, h, &m.md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length,
          &cc, &reason);
    if (cc == MQCC_FAILED) break;
    m.data.assign(buffer.data(), std::min<size_t>(length, buffer.size()));
    parseSegmentCorrelId(m.md.CorrelId, &m.segment);
    out.push_back(m);
  }
  MQLONG cc = 0, reason = 0;
  MQCLOSE(conn_, &h, MQCO_NONE, &cc, &reason);
  return out;
}

}  // namespace road

namespace road {

Road::Road(const ProgramPaths& programs, const std::string& tgtCrtmod) : programs_(programs) {
  for (const char* sub : {"/src", "/target", "/unrouted", "/logs", "/qm", "/reports"}) {
    makeDirectories(root() + sub);
  }
  qm_ = std::make_unique<QueueManager>(root() + "/qm", "ROAD",
                                       std::vector<std::string>{kJobs, kReceiver, kDelivery,
                                                                kDead, kDefer, kLoadStatus,
                                                                kDeliveryStatus});
  writeFile(root() + "/qfeed.ini",
            "[MQSeries Objects]\nQMgrName=ROAD\nSrcQueue=" + std::string(kJobs) +
                "\n[Source Definition]\nLogPath=\n[Options]\nFolderWaitTime=0\nMQWaitTime=200\n");
  writeFile(root() + "/qroute.ini",
            "[MQSeries Objects]\nQMgrName=ROAD\nRcvrQueue=" + std::string(kReceiver) +
                "\nDlvrQueue=" + kDelivery + "\nDeadQueue=" + kDead + "\nReplyToQ=" +
                kDeliveryStatus + "\nWaitMQInterval=200\n[Route 1]\nSrcFolder=" + src() +
                "\nSrcMask=*\nObj_id=1\nTgt_id=2\nIs_log=Y\nTgt_path=new(" + target() +
                "/)old\nTgt_crtmod=" + tgtCrtmod + "\nOptions=-garbage " + kDefer + "\n");
  writeFile(root() + "/qdrop.ini", "[MQSeries Objects]\nQMgrName=ROAD\nQName=" +
                                       std::string(kDelivery) +
                                       "\nWaitMQInterval=200\n[Options]\nDeferInterval=2000\n");
}

Road::~Road() {
  feed_.reset();
  router_.reset();
  drop_.reset();
  qm_.reset();
}

void Road::startFeed() {
  feed_ = std::make_unique<Program>(programs_.qfeed, std::vector<std::string>{root() + "/qfeed.ini"},
                                    root() + "/logs/qfeed.log");
}

void Road::startRouter() {
  router_ = std::make_unique<Program>(programs_.qroute,
                                      std::vector<std::string>{root() + "/qroute.ini"},
                                      root() + "/logs/qroute.log");
}

void Road::startDrop() {
  drop_ = std::make_unique<Program>(programs_.qdrop, std::vector<std::string>{root() + "/qdrop.ini"},
                                    root() + "/logs/qdrop.log");
}

void Road::killRouter() {
  if (router_) router_->kill9();
}

bool Road::stopAll(int timeoutMs) {
  bool ok = true;
  const std::pair<Program*, const char*> programs[] = {
      {feed_.get(), kJobs}, {router_.get(), kReceiver}, {drop_.get(), kDelivery}};
  for (const auto& [program, queue] : programs) {
    if (program != nullptr && program->running()) qm_->inhibitGet(queue);
  }
  for (const auto& [program, queue] : programs) {
    if (program == nullptr) continue;
    int code = -1;
    if (!program->waitExit(timeoutMs, &code) || code != 0) ok = false;
  }
  return ok;
}

}  // namespace road
