#include "tests/qdrop/qdrop_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "mqi/admin.h"

namespace qdroptest {

namespace fs = std::filesystem;

void QdropTest::SetUp() {
  char pattern[] = "/tmp/qdrop-e2e-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  folder = pattern;
  std::string store = folder + "/store";
  fs::create_directory(store);
  setenv("QM_STORE", store.c_str(), 1);
  mqi::QueueManagerOptions options;
  options.codedCharSetId = kCcsid;
  ASSERT_TRUE(mqi::createQueueManager(kQMgr, options).ok());
  ASSERT_TRUE(mqi::startQueueManager(kQMgr).ok());
  for (const char* queue : {kDeliveryQueue, kReplyQueue, kDeferQueue}) {
    mqi::Status status = mqi::defineQueue(kQMgr, queue, mqi::QueueAttributes{});
    ASSERT_TRUE(status.ok()) << status.message();
  }
  MQLONG compCode;
  MQLONG reason;
  MQCONN(kQMgr, &hconn, &compCode, &reason);
  ASSERT_EQ(compCode, MQCC_OK) << reason;
  WriteSettings();
}

void QdropTest::TearDown() {
  MQLONG compCode;
  MQLONG reason;
  if (hconn != MQHC_UNUSABLE_HCONN) MQDISC(&hconn, &compCode, &reason);
  mqi::stopQueueManager(kQMgr, false);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

void QdropTest::WriteSettings(const std::string& options) {
  settingsFile = Path("qdrop.ini");
  std::ofstream(settingsFile) << "[MQSeries Objects]\nQMgrName=" << kQMgr
                              << "\nQName=" << kDeliveryQueue
                              << "\nWaitMQInterval=100\n[Options]\nDeferInterval=300\n"
                              << options;
}

TGTDESC QdropTest::Header(const std::string& pathTemplate, const char* mode, uint32_t maxSeq,
                          const std::string& options) const {
  TGTDESC header;
  initTGTDESC(header);
  header.StructId.assign("KVDT");
  header.Version.assign(1);
  header.MaxSeq.assign(maxSeq);
  header.Src_id.assign(12);
  header.Src_path.assign("C:\\source\\report.xml");
  header.Obj_id.assign(6789);
  header.Tgt_id.assign(345);
  header.Tgt_path.assign(pathTemplate.c_str());
  header.Tgt_crtmod.assign(mode);
  header.Options.assign(options.c_str());
  return header;
}

void QdropTest::PutMessage(const std::string& data, MQMD& md) {
  MQOD od = {MQOD_DEFAULT};
  SetName(od.ObjectName, kDeliveryQueue);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_NO_SYNCPOINT;
  MQLONG compCode;
  MQLONG reason;
  MQPUT1(hconn, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
         const_cast<char*>(data.data()), &compCode, &reason);
  ASSERT_NE(compCode, MQCC_FAILED) << reason;
}

PutGroup QdropTest::PutDelivery(const TGTDESC& header, const std::vector<std::string>& segments,
                                int32_t headerCcsid, const char* headerFormat,
                                size_t headerLength) {
  PutGroup group;
  MQOD od = {MQOD_DEFAULT};
  SetName(od.ObjectName, kDeliveryQueue);
  MQHOBJ hobj;
  MQLONG compCode;
  MQLONG reason;
  MQOPEN(hconn, &od, MQOO_OUTPUT, &hobj, &compCode, &reason);
  EXPECT_EQ(compCode, MQCC_OK) << reason;
  MQMD md = {MQMD_DEFAULT};
  std::memcpy(md.Format, MQFMT_STRING, MQ_FORMAT_LENGTH);
  MQPMO pmo = {MQPMO_DEFAULT};
  pmo.Options = MQPMO_SYNCPOINT;
  auto put = [&](const std::string& data) {
    MQPUT(hconn, hobj, &md, &pmo, static_cast<MQLONG>(data.size()),
          const_cast<char*>(data.data()), &compCode, &reason);
    EXPECT_EQ(compCode, MQCC_OK) << reason;
    group.messages.push_back(Message{md, data});
  };
  for (size_t i = 0; i < segments.size(); ++i) {
    setSegmentCorrelId(md.CorrelId, static_cast<uint32_t>(i + 1));
    put(segments[i]);
  }
  setSegmentCorrelId(md.CorrelId, 0);
  md.CodedCharSetId = headerCcsid;
  std::memcpy(md.Format, headerFormat, MQ_FORMAT_LENGTH);
  std::memset(md.ReplyToQ, 0, sizeof md.ReplyToQ);
  SetName(md.ReplyToQ, kReplyQueue);
  put(std::string(reinterpret_cast<const char*>(&header), headerLength));
  std::memcpy(group.msgId, md.MsgId, sizeof group.msgId);
  MQCMIT(hconn, &compCode, &reason);
  EXPECT_EQ(compCode, MQCC_OK) << reason;
  MQCLOSE(hconn, &hobj, MQCO_NONE, &compCode, &reason);
  return group;
}

pid_t QdropTest::Start(const std::vector<std::string>& extraEnv, bool withArgument) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "QM_FAILPOINTS=", 14) != 0) environment.push_back(*entry);
  }
  for (const std::string& entry : extraEnv) environment.push_back(entry);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = QDROP_PROGRAM;
  std::vector<char*> argv = {program.data()};
  if (withArgument) argv.push_back(settingsFile.data());
  argv.push_back(nullptr);
  std::string out = Path("qdrop.out");
  std::string err = Path("qdrop.err");

  pid_t pid = fork();
  if (pid == 0) {
    int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (outFd < 0 || errFd < 0 || chdir(folder.c_str()) != 0) _exit(127);
    dup2(outFd, 1);
    dup2(errFd, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

bool QdropTest::WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

Finished QdropTest::Wait(pid_t pid, int timeoutMs) {
  Finished finished;
  int status = 0;
  bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    finished.exitCode = WEXITSTATUS(status);
  }
  finished.out = ReadFile(Path("qdrop.out"));
  finished.err = ReadFile(Path("qdrop.err"));
  if (getenv("QDROP_TEST_SHOW") != nullptr) std::cerr << finished.out;  // for debugging
  return finished;
}

Finished QdropTest::Stop(pid_t pid) {
  SetGetInhibited(true);
  Finished finished = Wait(pid, 20000);
  SetGetInhibited(false);
  return finished;
}

Finished QdropTest::RunUntilReplies(int count, const std::vector<std::string>& extraEnv) {
  pid_t pid = Start(extraEnv);
  bool replied = WaitFor([&] { return Depth(kReplyQueue) >= count; });
  Finished finished = Stop(pid);
  EXPECT_TRUE(replied) << finished.out << finished.err;
  return finished;
}

void QdropTest::SetGetInhibited(bool inhibited) {
  mqi::QueueAttributes attributes;
  attributes.inhibitGet = inhibited ? MQQA_GET_INHIBITED : MQQA_GET_ALLOWED;
  mqi::Status status = mqi::alterQueue(kQMgr, kDeliveryQueue, attributes);
  EXPECT_TRUE(status.ok()) << status.message();
}

// Committed messages only: CurrentQDepth also counts the agent's uncommitted puts, so a test
// waiting on it could stop the agent between a status put and a commit that then fails.
int32_t QdropTest::Depth(const char* queue) {
  MQOD od = {MQOD_DEFAULT};
  SetName(od.ObjectName, queue);
  MQHOBJ hobj;
  MQLONG compCode;
  MQLONG reason;
  MQOPEN(hconn, &od, MQOO_BROWSE, &hobj, &compCode, &reason);
  if (compCode == MQCC_FAILED) return -1;
  int32_t count = 0;
  for (;;) {
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG;
    MQLONG length = 0;
    MQGET(hconn, hobj, &md, &gmo, 0, nullptr, &length, &compCode, &reason);
    if (compCode == MQCC_FAILED) break;
    ++count;
  }
  MQCLOSE(hconn, &hobj, MQCO_NONE, &compCode, &reason);
  return count;
}

std::vector<Message> QdropTest::Drain(const char* queue) {
  std::vector<Message> messages;
  MQOD od = {MQOD_DEFAULT};
  SetName(od.ObjectName, queue);
  MQHOBJ hobj;
  MQLONG compCode;
  MQLONG reason;
  MQOPEN(hconn, &od, MQOO_INPUT_SHARED, &hobj, &compCode, &reason);
  EXPECT_EQ(compCode, MQCC_OK) << reason;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    MQMD md = {MQMD_DEFAULT};
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_NO_SYNCPOINT;
    MQLONG length = 0;
    MQGET(hconn, hobj, &md, &gmo, static_cast<MQLONG>(buffer.size()), buffer.data(), &length,
          &compCode, &reason);
    if (compCode == MQCC_FAILED) break;
    messages.push_back(Message{md, std::string(buffer.data(), static_cast<size_t>(length))});
  }
  EXPECT_EQ(reason, MQRC_NO_MSG_AVAILABLE);
  MQCLOSE(hconn, &hobj, MQCO_NONE, &compCode, &reason);
  return messages;
}

std::string QdropTest::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string QdropTest::Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  uint32_t state = seed * 2654435761u + 1;
  for (char& c : data) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  return data;
}

std::vector<std::string> QdropTest::Split(const std::string& data, size_t segmentSize) {
  std::vector<std::string> segments;
  for (size_t at = 0; at < data.size(); at += segmentSize) {
    segments.push_back(data.substr(at, segmentSize));
  }
  return segments;
}

int CountLines(const std::string& text, const std::string& tail) {
  int count = 0;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // A log line is the 19-character timestamp and the text; a few lines carry no timestamp.
    bool stamped = line.size() == 19 + tail.size() && line.compare(19, tail.size(), tail) == 0;
    if (stamped || line == tail) ++count;
  }
  return count;
}

bool HasLine(const std::string& text, const std::string& tail) {
  return CountLines(text, tail) > 0;
}

std::string Hex(const MQBYTE* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

}  // namespace qdroptest
