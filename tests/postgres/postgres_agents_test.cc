// The delivery agent on the PostgreSQL store, end to end: two qdrop processes that share one
// delivery queue (InputExclusiveON=N) deliver every file exactly once, also when the server
// stops and starts again under them. Run through with_server.sh, which provides the server.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "mqi/admin.h"
#include "mqi/mqi.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Fewer files under the address sanitizer, which makes every process about three times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kFiles = 100;
#else
constexpr int kFiles = 200;
#endif
constexpr int kSegment = 24576;
constexpr const char* kDelivery = "DLVR.Q";
constexpr const char* kReplies = "REPLY.Q";
constexpr const char* kDeferred = "DEFER.Q";

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? "" : v;
}

void setName(MQCHAR* field, const std::string& name) {
  std::memset(field, 0, 48);
  std::memcpy(field, name.data(), std::min<size_t>(48, name.size()));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The content of file `index`: sizes from empty to two segments, bytes no two files share.
std::string content(int index) {
  std::string data(static_cast<size_t>(index * 613 % 40000), '\0');
  uint32_t x = static_cast<uint32_t>(index) * 2654435761u + 7;
  for (char& c : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  return data;
}

std::string fileName(int index) { return "f" + std::to_string(index) + ".dat"; }

bool pollUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Lines of `text` that end with `tail` (after the timestamp of a log line).
int countLines(const std::string& text, const std::string& tail) {
  int count = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
      ++count;
  return count;
}

// One qdrop process, its standard output and error in `log`.
struct Agent {
  pid_t pid = -1;
  std::string log;
  int exitCode = -1;

  void start(const std::string& settings, const std::string& logFile) {
    log = logFile;
    std::string program = QDROP_PROGRAM;
    char* argv[] = {program.data(), const_cast<char*>(settings.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(rc, 0) << "cannot start " << program;
  }
  bool running() {
    if (pid < 0) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return true;
    exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid = -1;
    return false;
  }
  void kill9() {
    if (pid < 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }
  std::string output() const { return readFile(log); }
};

struct Status {
  int srcId = -1;
  char state = ' ';
  std::string comment;
  std::string msgId;
};

class SharedDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = env("QM_TEST_STORE");
    if (store_.empty()) GTEST_SKIP() << "QM_TEST_STORE not set: run through with_server.sh";
    setenv("QM_STORE", store_.c_str(), 1);
    char pattern[] = "/tmp/qt-pg-agents-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    static std::atomic<int> counter{0};
    qmgr_ = "PA." + std::to_string(getpid()) + "." + std::to_string(++counter);
    ASSERT_TRUE(mqi::createQueueManager(qmgr_, {}).ok());
    ASSERT_TRUE(mqi::startQueueManager(qmgr_).ok());
    for (const char* queue : {kDelivery, kReplies, kDeferred}) {
      mqi::Status made = mqi::defineQueue(qmgr_, queue, {});
      ASSERT_TRUE(made.ok()) << made.message();
    }
    settings_ = folder_ + "/qdrop.ini";
    std::ofstream(settings_) << "[MQSeries Objects]\nQMgrName=" << qmgr_ << "\nQName=" << kDelivery
                             << "\nWaitMQInterval=100\nInputExclusiveON=N\n"
                             << "[Options]\nDeferInterval=2000\n";
  }

  void TearDown() override {
    for (Agent& agent : agents_) agent.kill9();
    if (!qmgr_.empty()) {
      mqi::stopQueueManager(qmgr_, false);
      mqi::deleteQueueManager(qmgr_);
    }
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

  // Starts two agents and waits until both hold the delivery queue open.
  void startAgents() {
    for (int i = 0; i < 2; ++i) {
      agents_.emplace_back();
      agents_.back().start(settings_, folder_ + "/qdrop" + std::to_string(i) + ".log");
    }
    bool open = pollUntil([&] { return describe(kDelivery).openInputCount == 2; }, 30000);
    ASSERT_TRUE(open) << agents_[0].output() << agents_[1].output();
  }

  // Inhibits gets on the delivery queue, the normal way to stop the agents; true when both
  // ended with exit code 0.
  bool stopAgents() {
    mqi::QueueAttributes inhibit;
    inhibit.inhibitGet = MQQA_GET_INHIBITED;
    EXPECT_TRUE(mqi::alterQueue(qmgr_, kDelivery, inhibit).ok());
    bool ended = pollUntil([&] { return !agents_[0].running() && !agents_[1].running(); }, 30000);
    return ended && agents_[0].exitCode == 0 && agents_[1].exitCode == 0;
  }

  mqi::QueueInfo describe(const char* queue) {
    mqi::Result<mqi::QueueInfo> info = mqi::describeQueue(qmgr_, queue);
    return info.ok() ? info.value : mqi::QueueInfo{};
  }

  MQHCONN connect() {
    MQHCONN h = MQHC_UNUSABLE_HCONN;
    MQLONG cc, rc;
    MQCONN(qmgr_.c_str(), &h, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    return h;
  }

  // Puts files [from, to) as deliveries, one unit of work each: segments, then the header.
  void putFiles(int from, int to, const char* mode) {
    MQHCONN h = connect();
    MQOD od = {MQOD_DEFAULT};
    setName(od.ObjectName, kDelivery);
    MQHOBJ q = MQHO_UNUSABLE_HOBJ;
    MQLONG cc, rc;
    MQOPEN(h, &od, MQOO_OUTPUT, &q, &cc, &rc);
    ASSERT_EQ(rc, MQRC_NONE);
    for (int i = from; i < to; ++i) {
      std::string data = content(i);
      uint32_t segments = static_cast<uint32_t>((data.size() + kSegment - 1) / kSegment);
      MQMD md = {MQMD_DEFAULT};
      std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
      MQPMO pmo = {MQPMO_DEFAULT};
      pmo.Options = MQPMO_SYNCPOINT;
      auto put = [&](const void* bytes, size_t length) {
        MQPUT(h, q, &md, &pmo, static_cast<MQLONG>(length), const_cast<void*>(bytes), &cc, &rc);
        ASSERT_EQ(rc, MQRC_NONE);
      };
      for (uint32_t s = 1; s <= segments; ++s) {
        setSegmentCorrelId(md.CorrelId, s);
        size_t at = (s - 1) * size_t{kSegment};
        put(data.data() + at, std::min<size_t>(kSegment, data.size() - at));
      }
      TGTDESC header = makeHeader(i, segments, mode);
      setSegmentCorrelId(md.CorrelId, 0);
      setName(md.ReplyToQ, kReplies);
      put(&header, sizeof header);
      msgIds_[i] = std::string(reinterpret_cast<const char*>(md.MsgId), sizeof md.MsgId);
      MQCMIT(h, &cc, &rc);
      ASSERT_EQ(rc, MQRC_NONE);
    }
    MQCLOSE(h, &q, MQCO_NONE, &cc, &rc);
    MQDISC(&h, &cc, &rc);
  }

  TGTDESC makeHeader(int index, uint32_t segments, const char* mode) const {
    TGTDESC header;
    initTGTDESC(header);
    header.StructId.assign("KVDT");
    header.Version.assign(1);
    header.MaxSeq.assign(segments);
    header.Src_id.assign(static_cast<uint32_t>(index));
    header.Src_path.assign(("/source/" + fileName(index)).c_str());
    header.Obj_id.assign(1);
    header.Tgt_id.assign(2);
    header.Tgt_path.assign(("new(" + folder_ + "/out/)old").c_str());
    header.Tgt_crtmod.assign(mode);
    header.Options.assign("-garbage DEFER.Q");
    return header;
  }

  // Every status record on the reply queue, got outside syncpoint.
  std::vector<Status> statuses() {
    std::vector<Status> out;
    MQHCONN h = connect();
    MQOD od = {MQOD_DEFAULT};
    setName(od.ObjectName, kReplies);
    MQHOBJ q = MQHO_UNUSABLE_HOBJ;
    MQLONG cc, rc;
    MQOPEN(h, &od, MQOO_INPUT_SHARED, &q, &cc, &rc);
    EXPECT_EQ(rc, MQRC_NONE);
    std::vector<char> buffer(4096);
    for (;;) {
      MQMD md = {MQMD_DEFAULT};
      MQGMO gmo = {MQGMO_DEFAULT};
      gmo.Options = MQGMO_NO_SYNCPOINT;
      MQLONG length = 0;
      MQGET(h, q, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length, &cc, &rc);
      if (cc == MQCC_FAILED) break;
      std::string data(buffer.data(), static_cast<size_t>(length));
      Status s;
      if (data.size() >= 53 && data.compare(0, 4, "KVDS") == 0) {
        s.srcId = std::atoi(data.substr(13, 9).c_str());
        s.state = data[51];
        s.comment = data.substr(53);
      }
      s.msgId.assign(reinterpret_cast<const char*>(md.MsgId), sizeof md.MsgId);
      out.push_back(s);
    }
    EXPECT_EQ(rc, MQRC_NO_MSG_AVAILABLE);
    MQCLOSE(h, &q, MQCO_NONE, &cc, &rc);
    MQDISC(&h, &cc, &rc);
    return out;
  }

  // Files 0..kFiles-1 are in the target folder with their contents, nothing else is there,
  // and each has exactly one "D" status with its delivery's MsgId; no message is left over.
  void expectEachFileDeliveredOnce() {
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(folder_ + "/out"))
      present.insert(entry.path().filename().string());
    std::set<std::string> expected;
    for (int i = 0; i < kFiles; ++i) expected.insert(fileName(i));
    EXPECT_EQ(present, expected);
    for (int i = 0; i < kFiles; ++i)
      EXPECT_EQ(readFile(folder_ + "/out/" + fileName(i)), content(i)) << fileName(i);

    std::map<int, int> delivered;
    for (const Status& s : statuses()) {
      EXPECT_EQ(s.state, 'D') << s.comment;
      ++delivered[s.srcId];
      EXPECT_EQ(s.msgId, msgIds_[s.srcId]) << "status of file " << s.srcId;
    }
    EXPECT_EQ(static_cast<int>(delivered.size()), kFiles);
    for (const auto& [id, count] : delivered) EXPECT_EQ(count, 1) << "file " << id;
    EXPECT_EQ(describe(kDelivery).currentDepth, 0);
    EXPECT_EQ(describe(kDeferred).currentDepth, 0);
  }

  int delivered(const Agent& agent) {
    return countLines(agent.output(), "' has been delivered successfuly.");
  }

  int replies() { return describe(kReplies).currentDepth; }

  static void serverControl(const std::string& action) {
    std::string command = env("PG_TEST_AS_SERVER") + " " + env("PG_TEST_BIN") + "/pg_ctl -D " +
                          env("PG_TEST_DATA_DIR") + " -w -t 60 -m fast -l " +
                          env("PG_TEST_SOCKET_DIR") + "/server.log " + action + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  std::string store_;
  std::string folder_;
  std::string qmgr_;
  std::string settings_;
  std::vector<Agent> agents_;
  std::map<int, std::string> msgIds_;
};

// NEWVERS makes a second delivery of a file visible as a second version beside it.
TEST_F(SharedDelivery, TwoAgentsDeliverEveryFileExactlyOnce) {
  ASSERT_NO_FATAL_FAILURE(startAgents());
  ASSERT_NO_FATAL_FAILURE(putFiles(0, kFiles, "NEWVERS"));
  bool all = pollUntil([&] { return replies() >= kFiles; }, 45000);
  EXPECT_TRUE(all) << replies() << " of " << kFiles << " delivered";
  EXPECT_TRUE(stopAgents()) << agents_[0].output() << agents_[1].output();
  expectEachFileDeliveredOnce();
  // Both took part: while one writes a file, the other takes the next header.
  EXPECT_GT(delivered(agents_[0]), 0);
  EXPECT_GT(delivered(agents_[1]), 0);
  EXPECT_EQ(delivered(agents_[0]) + delivered(agents_[1]), kFiles);
}

// The server stops while the agents deliver: the call in progress fails, the agents wait and
// connect again until the server is back, and the files of the lost units of work come back
// to the queue and are delivered. REPLACE, because a file written just before its commit
// failed stays and is written again.
TEST_F(SharedDelivery, AgentsFinishTheirWorkAcrossAServerRestart) {
  ASSERT_NO_FATAL_FAILURE(startAgents());
  ASSERT_NO_FATAL_FAILURE(putFiles(0, kFiles / 2, "REPLACE"));
  ASSERT_TRUE(pollUntil([&] { return replies() >= 10; }, 30000));

  auto retries = [&](const Agent& a) {
    return countLines(a.output(), " MQ error has occured. Waiting 100 ms for next attempt.");
  };
  serverControl("stop");
  // Both agents found the server gone and are trying to connect again.
  bool waiting = pollUntil([&] { return retries(agents_[0]) > 0 && retries(agents_[1]) > 0; },
                           30000);
  serverControl("start");
  ASSERT_TRUE(waiting) << agents_[0].output() << agents_[1].output();
  ASSERT_TRUE(agents_[0].running() && agents_[1].running());

  ASSERT_NO_FATAL_FAILURE(putFiles(kFiles / 2, kFiles, "REPLACE"));
  bool all = pollUntil([&] { return replies() >= kFiles; }, 45000);
  EXPECT_TRUE(all) << replies() << " of " << kFiles << " delivered";
  EXPECT_TRUE(stopAgents()) << agents_[0].output() << agents_[1].output();
  expectEachFileDeliveredOnce();
  for (const Agent& agent : agents_) {
    std::string out = agent.output();
    EXPECT_GE(countLines(out, " Connect to Queue Manager '" + qmgr_ + "' successful."), 2) << out;
  }
}

}  // namespace
