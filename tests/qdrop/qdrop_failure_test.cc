// qdrop when things go wrong: deferral, the exits, and the reconnection paths.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "common/log.h"
#include "mqi/admin.h"
#include "platform/test_file_size_limit.h"
#include "tests/qdrop/qdrop_fixture.h"

namespace qdroptest {
namespace {

namespace fs = std::filesystem;

// Every message of the group arrived on the deferred queue with its data, identifiers and
// identity and origin context unchanged.
void ExpectDeferredIntact(const PutGroup& group, const std::vector<Message>& deferred) {
  ASSERT_EQ(deferred.size(), group.messages.size());
  // The move takes the header first, then segments 1..n; the group was put header last.
  std::vector<const Message*> expected = {&group.messages.back()};
  for (size_t i = 0; i + 1 < group.messages.size(); ++i) expected.push_back(&group.messages[i]);
  for (size_t i = 0; i < deferred.size(); ++i) {
    const MQMD& got = deferred[i].md;
    const MQMD& put = expected[i]->md;
    SCOPED_TRACE(i);
    EXPECT_EQ(deferred[i].data, expected[i]->data);
    EXPECT_EQ(Hex(got.MsgId, 24), Hex(group.msgId, 24));
    EXPECT_EQ(Hex(got.CorrelId, 24), Hex(put.CorrelId, 24));
    EXPECT_EQ(std::string(got.Format, 8), std::string(put.Format, 8));
    EXPECT_EQ(std::string(got.ReplyToQ, 48), std::string(put.ReplyToQ, 48));
    EXPECT_EQ(std::string(got.UserIdentifier, 12), std::string(put.UserIdentifier, 12));
    EXPECT_EQ(Hex(got.AccountingToken, 32), Hex(put.AccountingToken, 32));
    EXPECT_EQ(std::string(got.PutApplName, 28), std::string(put.PutApplName, 28));
    EXPECT_EQ(std::string(got.PutDate, 8), std::string(put.PutDate, 8));
    EXPECT_EQ(std::string(got.PutTime, 8), std::string(put.PutTime, 8));
    EXPECT_EQ(got.PutApplType, put.PutApplType);
  }
}

std::string WaitingStatus(const std::string& comment) {
  return "KVDS000000001000000012 000000345         000006789 W " + comment;
}

// Files being written carry a private name until they are whole: none may be left over.
void ExpectNoPrivateNames(const std::string& folder) {
  for (const auto& entry : fs::directory_iterator(folder)) {
    EXPECT_NE(entry.path().filename().string().rfind(".qdrop-", 0), 0u) << entry.path();
  }
}

TEST_F(QdropTest, AWriteFailureRemovesTheFileAndDefersEveryMessage) {
  // The disk fills up at the second write.
  // Segments longer than the agent's 24,576-byte buffer: they are moved whole.
  std::string content = patternBytes(2 * 30000 + 10, 7);
  PutGroup group = PutDelivery(Header("new(" + Path("full.bin") + ")", "REPLACE", 3),
                               splitSegments(content, 30000));
  Finished run =
      RunUntilReplies(1, {"QT_PLATFORM_FAILPOINTS=writeFile@2=" + std::to_string(ENOSPC)});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(Path("full.bin"))));
  ExpectNoPrivateNames(folder);
  EXPECT_EQ(Depth(kDeliveryQueue), 0);
  ExpectDeferredIntact(group, Drain(kDeferQueue));
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  std::string errorText = std::strerror(ENOSPC);
  EXPECT_EQ(replies[0].data, WaitingStatus(Path("full.bin") + ":" + errorText + "\n"));
  EXPECT_EQ(Hex(replies[0].md.MsgId, 24), Hex(group.msgId, 24));
  EXPECT_TRUE(hasLine(run.err, " " + errorText)) << run.err;
  EXPECT_TRUE(hasLine(run.out, " " + errorText));
}

// Past its first MiB a file is written by a thread of the agent: a write that fails there
// (here, past a limit of 2 MiB on file sizes that qdrop inherits) fails the delivery the same
// way, at a later write or at the flush.
TEST_F(QdropTest, AWriteOfALargeFileThatFailsLaterIsReportedTheSameWay) {
  std::string content = patternBytes(3 << 20, 11);
  std::vector<std::string> segments = splitSegments(content, 24575);
  PutGroup group = PutDelivery(
      Header("new(" + Path("large.bin") + ")", "REPLACE", static_cast<uint32_t>(segments.size())),
      segments);
  Finished run;
  {
    platform::FileSizeLimit limit(rlim_t{2} << 20);
    ASSERT_TRUE(limit.ok());
    run = RunUntilReplies(1);
  }
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_FALSE(fs::exists(Path("large.bin")));
  ExpectNoPrivateNames(folder);
  ExpectDeferredIntact(group, Drain(kDeferQueue));
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data, WaitingStatus(Path("large.bin") + ":" + std::strerror(EFBIG) + "\n"));
}

// A FIFO, a device and a drive path from a Windows template fail before anything is opened;
// the good file behind them, its template written with '\\', is delivered.
TEST_F(QdropTest, NonRegularTargetsAndDrivePathsAreDeferredWithoutHanging) {
  ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/null", Path("device").c_str()), 0);
  PutDelivery(Header("new(" + Path("pipe") + ")", "REPLACE", 1), {"never read"});
  PutDelivery(Header("new(" + Path("device") + ")", "REPLACE", 1), {"never written"});
  PutDelivery(Header("new(C:\\tmp\\t9\\)f", "NEWVERS", 1), {"no drives here"});
  PutDelivery(Header("new(" + folder + "\\sub\\good.txt)", "NEWVERS", 1), {"good"});
  Finished run = RunUntilReplies(4);
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 4u) << run.out;
  EXPECT_EQ(replies[0].data, WaitingStatus(Path("pipe") + ":" + std::strerror(EPERM) + "\n"));
  EXPECT_EQ(replies[1].data, WaitingStatus(Path("device") + ":" + std::strerror(EPERM) + "\n"));
  EXPECT_EQ(replies[2].data,
            WaitingStatus("C:/tmp/t9/:" + std::string(std::strerror(ENOENT)) + "\n"));
  EXPECT_NE(replies[3].data.find(" D File '" + Path("sub/good.txt") + "'"), std::string::npos)
      << replies[3].data;
  EXPECT_EQ(readFile(Path("sub/good.txt")), "good");
  EXPECT_TRUE(fs::is_fifo(Path("pipe")));
  EXPECT_EQ(Drain(kDeferQueue).size(), 6u);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find_first_of(":\\"), std::string::npos) << entry.path();
  }
}

TEST_F(QdropTest, ADirectoryFailureDefersWithoutWritingAnything) {
  std::ofstream(Path("plain")) << "a file, not a folder";
  std::string path = Path("plain/sub/target.txt");
  PutGroup group = PutDelivery(Header("new(" + path + ")", "NEWVERS", 2), {"one", "two"});
  Finished run = RunUntilReplies(1);
  EXPECT_EQ(readFile(Path("plain")), "a file, not a folder");
  ExpectDeferredIntact(group, Drain(kDeferQueue));
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].data, WaitingStatus(path + ":" + std::strerror(ENOTDIR) + "\n"));
  EXPECT_TRUE(hasLine(run.err, std::string(" ") + std::strerror(ENOTDIR)));
}

TEST_F(QdropTest, AnOpenFailureDefersWithTheMoveLine) {
  std::ofstream(Path("plain")) << "x";
  std::string path = Path("plain/target.txt");  // the folder passes, the open fails
  PutGroup group = PutDelivery(Header("new(" + path + ")", "REPLACE", 1), {"data"});
  // A later header without "-garbage" uses the deferred queue named before.
  PutGroup second = PutDelivery(Header("new(" + path + ")", "REPLACE", 0, "-other"), {});
  Finished run = RunUntilReplies(2);
  EXPECT_EQ(countLines(run.out, " Move file  '" + path + "' to deferred queue."), 2);
  std::vector<Message> deferred = Drain(kDeferQueue);
  ASSERT_EQ(deferred.size(), 3u);
  ExpectDeferredIntact(group, {deferred[0], deferred[1]});
  ExpectDeferredIntact(second, {deferred[2]});
}

TEST_F(QdropTest, TargetsOutsideTheRootsAreDeferred) {
  fs::create_directories(Path("out/in"));
  fs::create_directories(Path("elsewhere"));
  fs::create_symlink(Path("elsewhere"), Path("out/linked"));
  std::ofstream(Path("elsewhere/protected.txt")) << "read-only, outside";
  fs::permissions(Path("elsewhere/protected.txt"), fs::perms::owner_read);
  fs::create_symlink(Path("elsewhere/protected.txt"), Path("out/in/replace.txt"));
  std::ofstream(Path("out/in/.qdrop-0123.part")) << "left by a killed delivery";
  std::ofstream(Path("elsewhere/.qdrop-0123.part")) << "not ours to remove";
  WriteSettings("TargetRoots=" + Path("out") + "\n");
  const std::vector<std::string> refused = {Path("out/../escaped.txt"), Path("elsewhere/a.txt"),
                                            "relative.txt", Path("out/linked/b.txt")};
  for (const std::string& path : refused) {
    PutDelivery(Header("new(" + path + ")", "NEWVERS", 1), {"data"});
  }
  PutDelivery(Header("new(" + Path("out/in/replace.txt") + ")", "REPLACE", 1), {"inside"});
  Finished run = RunUntilReplies(refused.size() + 1);
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), refused.size() + 1);
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(replies[i].data, WaitingStatus(refused[i] + ":" + std::strerror(EACCES) + "\n"));
    EXPECT_EQ(countLines(run.out, " Move file  '" + refused[i] + "' to deferred queue."), 1);
  }
  EXPECT_EQ(Drain(kDeferQueue).size(), 2 * refused.size());
  EXPECT_FALSE(fs::exists(Path("escaped.txt")));
  EXPECT_FALSE(fs::exists(Path("elsewhere/a.txt")));
  EXPECT_FALSE(fs::exists(Path("elsewhere/b.txt")));
  // REPLACE through a link inside the root replaces the link, never the file it points at.
  EXPECT_EQ(readFile(Path("out/in/replace.txt")), "inside");
  EXPECT_FALSE(fs::is_symlink(Path("out/in/replace.txt")));
  EXPECT_EQ(readFile(Path("elsewhere/protected.txt")), "read-only, outside");
  ExpectNoPrivateNames(Path("out/in"));  // removed at start-up
  EXPECT_TRUE(fs::exists(Path("elsewhere/.qdrop-0123.part")));
}

TEST_F(QdropTest, WithoutADeferredQueueTheAgentEndsAndTheFileStays) {
  std::ofstream(Path("plain")) << "x";
  PutDelivery(Header("new(" + Path("plain/t.txt") + ")", "REPLACE", 1, "-x"), {"data"});
  Program* agent = Start();
  Finished run = Wait(agent);
  EXPECT_EQ(run.exitCode, kExitHardError);
  EXPECT_TRUE(hasLine(run.err, " Defer file"));
  EXPECT_EQ(Depth(kDeliveryQueue), 2);
  EXPECT_EQ(Depth(kReplyQueue), 0);
}

TEST_F(QdropTest, AnInvalidCreationModeEndsTheAgentWithNothingCommitted) {
  PutDelivery(Header("new(" + folder + "/new/dir/x.txt)", "replace", 1), {"data"});
  Program* agent = Start();
  Finished run = Wait(agent);
  EXPECT_EQ(run.exitCode, kExitBadHeader);
  for (const std::string* stream : {&run.err, &run.out}) {
    EXPECT_TRUE(hasLine(*stream, " Parameter CreateFileMode = replace invalid."));
    EXPECT_TRUE(hasLine(*stream, " Valid values for this parameter:  NEWVERS,REPLACE. exit."));
  }
  EXPECT_TRUE(fs::is_directory(folder + "/new/dir"));  // made just before, they stay
  EXPECT_FALSE(fs::exists(folder + "/new/dir/x.txt"));
  EXPECT_TRUE(WaitFor([&] { return Depth(kDeliveryQueue) == 2; }, 10000));
}

TEST_F(QdropTest, AMissingSegmentRemovesThePartialFileAndEnds) {
  // The header announces three segments; only the first is there. The file it would replace
  // stays whole, and nothing of the new one is left.
  std::ofstream(Path("partial.bin")) << "the good old file";
  PutDelivery(Header("new(" + folder + "/partial.bin)", "REPLACE", 3), {patternBytes(100, 1)});
  Program* agent = Start();
  Finished run = Wait(agent);
  EXPECT_EQ(run.exitCode, kExitHardError);
  EXPECT_EQ(readFile(Path("partial.bin")), "the good old file");
  ExpectNoPrivateNames(folder);
  EXPECT_TRUE(hasLine(run.out, " Delivery file (Get segment)"));
  EXPECT_TRUE(hasLine(run.out, " CompCode = 2 Reason = 2033"));
  EXPECT_TRUE(hasLine(run.out, " HOLD file"));
  EXPECT_EQ(Depth(kDeferQueue), 0);
  EXPECT_TRUE(WaitFor([&] { return Depth(kDeliveryQueue) == 2; }, 10000));
}

// A group that ends the agent at every start is set aside once it has been backed out as often
// as the queue's threshold says, header and segments together, stray segments included; so is
// the group of a rejected header, at once; a header that claims too few segments is deferred
// whole; the good file behind them arrives.
TEST_F(QdropTest, GroupsThatStopTheAgentAreSetAsideAndTheFileBehindIsDelivered) {
  ASSERT_TRUE(mqi::defineQueue(kQMgr, "DEAD.Q", {}).ok());
  mqi::QueueManagerChanges dead;
  dead.deadLetterQName = "DEAD.Q";
  ASSERT_TRUE(mqi::alterQueueManager(kQMgr, dead).ok());
  mqi::QueueAttributes threshold;
  threshold.backoutThreshold = 2;
  ASSERT_TRUE(mqi::alterQueue(kQMgr, kDeliveryQueue, threshold).ok());

  // A header too short to read: its segment goes aside with it at once.
  PutGroup shortHeader = PutDelivery(Header("x", "REPLACE", 1), {"s1"}, 0, MQFMT_STRING, 100);
  PutGroup lowerCase =
      PutDelivery(Header("new(" + Path("a.txt") + ")", "replace", 1), {"a1", "a2 stray"});
  PutDelivery(Header("new(" + Path("b.txt") + ")", "REPLACE", 1), {"b1", "b2"});
  PutDelivery(Header("new(" + Path("c.txt") + ")", "REPLACE", 2), {"c1", "c2"});
  for (int start = 0; start < 2; ++start) {
    Finished ended = Wait(Start());
    ASSERT_TRUE(hasLine(ended.out, " Parameter CreateFileMode = replace invalid.")) << start;
  }
  Finished run = RunUntilReplies(2);
  EXPECT_NE(run.err.find(" Backed out 2 times: 3 messages of MsgId "), std::string::npos)
      << run.err;
  std::vector<Message> aside = Drain("DEAD.Q");
  ASSERT_EQ(aside.size(), 5u);
  for (size_t i = 0; i < aside.size(); ++i) {
    const PutGroup& group = i < 2 ? shortHeader : lowerCase;
    EXPECT_EQ(Hex(aside[i].md.MsgId, 24), Hex(group.msgId, 24)) << i;
    EXPECT_EQ(aside[i].md.Feedback, i < 2 ? MQRC_FORMAT_ERROR : MQRC_BACKOUT_THRESHOLD_REACHED);
  }
  EXPECT_EQ(Drain(kDeferQueue).size(), 3u);  // b's header and both segments
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_NE(replies[0].data.find(" W " + Path("b.txt") + ":The file has more data segments"),
            std::string::npos)
      << replies[0].data;
  EXPECT_NE(replies[1].data.find(" D File '" + Path("c.txt")), std::string::npos)
      << replies[1].data;
  EXPECT_EQ(readFile(Path("c.txt")), "c1c2");
  EXPECT_FALSE(fs::exists(Path("b.txt")));
  EXPECT_EQ(Depth(kDeliveryQueue), 0);
}

// Every kind of group that ends the agent, one after the other at the head of the queue: with
// a threshold of 1 each ends one start and is set aside by the next, and the good file behind
// them all is delivered.
TEST_F(QdropTest, EachGroupThatEndsTheAgentIsSetAsideInTurn) {
  ASSERT_TRUE(mqi::defineQueue(kQMgr, "DEAD.Q", {}).ok());
  mqi::QueueManagerChanges dead;
  dead.deadLetterQName = "DEAD.Q";
  ASSERT_TRUE(mqi::alterQueueManager(kQMgr, dead).ok());
  mqi::QueueAttributes threshold;
  threshold.backoutThreshold = 1;
  ASSERT_TRUE(mqi::alterQueue(kQMgr, kDeliveryQueue, threshold).ok());
  std::ofstream(Path("plain")) << "a file, not a folder";

  std::vector<std::string> bad;
  auto putBad = [&](const TGTDESC& header, const std::vector<std::string>& segments,
                    int32_t ccsid = 0) {
    bad.push_back(Hex(PutDelivery(header, segments, ccsid).msgId, 24));
  };
  putBad(Header("new(" + Path("missing.txt") + ")", "REPLACE", 3), {"only one"});
  TGTDESC letters = Header("new(" + Path("abc.txt") + ")", "REPLACE", 1);
  std::memcpy(letters.MaxSeq.bytes, "abc      ", 9);
  putBad(letters, {"x"});
  putBad(Header("new(" + Path("huge.txt") + ")", "REPLACE", 999999999), {"x"});
  putBad(Header("new(" + Path("garbage.txt") + ")", "OVERWRITE", 1), {"x"});
  putBad(Header("new(" + Path("ebcdic.txt") + ")", "REPLACE", 1), {"x"}, 500);
  putBad(Header("new(" + Path("plain/a.txt") + ")", "REPLACE", 1, "-x"), {"x"});
  putBad(Header("new(" + Path("plain/b.txt") + ")", "REPLACE", 1, "-garbage NO.SUCH.Q"), {"x"});
  PutDelivery(Header("new(" + Path("good.txt") + ")", "REPLACE", 1), {"good"});

  Program* agent = nullptr;
  int ended = 0;
  for (; ended < 12; ++ended) {
    agent = Start();
    if (!agent->waitExit(5000)) break;  // runs on: nothing left that ends it
  }
  EXPECT_TRUE(qm().waitForCommitted(kReplyQueue, 1, 10000));
  Finished run = Stop(agent);
  EXPECT_LE(ended, 7) << run.out;  // at most one start each
  EXPECT_EQ(readFile(Path("good.txt")), "good");
  std::set<std::string> aside;
  for (const Message& m : Drain("DEAD.Q")) aside.insert(Hex(m.md.MsgId, 24));
  EXPECT_EQ(aside, std::set<std::string>(bad.begin(), bad.end()));
  EXPECT_EQ(Depth(kDeliveryQueue), 0);
  EXPECT_EQ(Depth(kDeferQueue), 0);
}

TEST_F(QdropTest, WaitsForAStoppedQueueManagerAndReconnects) {
  ASSERT_TRUE(mqi::stopQueueManager(kQMgr, false).ok());
  Program* agent = Start();
  ASSERT_TRUE(WaitFor([&] {
    return countLines(readFile(Path("qdrop.err")),
                      " MQ error has occured. Waiting 100 ms for next attempt.") >= 2;
  }));
  ASSERT_TRUE(mqi::startQueueManager(kQMgr).ok());
  qm().reconnect();
  PutDelivery(Header("new(" + folder + "/first.txt)", "REPLACE", 1), {"first"});
  ASSERT_TRUE(WaitFor([&] { return Depth(kReplyQueue) >= 1; })) << readFile(Path("qdrop.out"));

  // Stopped while the agent waits for a header: it connects again once the queue manager is
  // back.
  ASSERT_TRUE(mqi::stopQueueManager(kQMgr, false).ok());
  ASSERT_TRUE(WaitFor([&] {
    return hasLine(readFile(Path("qdrop.err")), " Get Header from Load queue");
  })) << readFile(Path("qdrop.out"));
  ASSERT_TRUE(mqi::startQueueManager(kQMgr).ok());
  qm().reconnect();
  PutDelivery(Header("new(" + folder + "/second.txt)", "REPLACE", 1), {"second"});
  bool delivered = WaitFor([&] { return Depth(kReplyQueue) >= 2; });
  Finished run = Stop(agent);
  ASSERT_TRUE(delivered) << run.out;
  EXPECT_EQ(readFile(Path("second.txt")), "second");
  EXPECT_EQ(countLines(run.out, " Connect to Queue Manager 'QDROP.QM' successful."), 2);
  EXPECT_TRUE(hasLine(run.out, " MQI Call Failed."));
}

TEST_F(QdropTest, FailpointsDriveTheRetryPaths) {
  // The queue open is retried on 2017; the first data get breaks the connection, the file is
  // removed and delivered again after the reconnection; the first commit fails and is backed
  // out, so the file is delivered a third time.
  PutDelivery(Header("new(" + folder + "/retried.bin)", "NEWVERS", 2),
              splitSegments(patternBytes(30000, 5), 24576));
  Finished run =
      RunUntilReplies(1, {"QM_FAILPOINTS=MQOPEN@3=2:2017,MQGET@2=2:2009,MQCMIT@1=2:2009"});
  EXPECT_TRUE(
      hasLine(run.err, " MQ error has occured. Waiting 100 ms for next attempt to proceed folder."))
      << run.out;
  EXPECT_TRUE(hasLine(run.out, " CompCode = 2 Reason = 2017"));
  EXPECT_TRUE(hasLine(run.out, " Delivery file (Get segment)"));
  EXPECT_TRUE(hasLine(run.out, " File delivered"));
  std::string notDelivered =
      " File '" + folder + "/retried.bin' has not been delivered: commit failed.";
  EXPECT_TRUE(hasLine(run.err, notDelivered)) << run.out;
  // The first write survived its failed commit; the redelivery recognised it and wrote no
  // second version.
  EXPECT_EQ(readFile(Path("retried.bin")), patternBytes(30000, 5));
  EXPECT_FALSE(fs::exists(Path("retried_0.bin")));
  ExpectNoPrivateNames(folder);
  EXPECT_EQ(Drain(kReplyQueue).size(), 1u);
  EXPECT_EQ(Depth(kDeliveryQueue), 0);

  // The same failed commit on a file system without extended attributes, with a template whose
  // name changes at every expansion: the folder's journal recognises the file by its MsgId.
  fs::create_directory(Path("stamped"));
  PutDelivery(Header("new(" + folder + "/stamped/at-)hhmmssttnew(.bin)", "NEWVERS", 1),
              {"stamped"});
  run =
      RunUntilReplies(1, {"QM_FAILPOINTS=MQCMIT@1=2:2009", "QT_PLATFORM_FAILPOINTS=setFileTag=95"});
  std::vector<std::string> published;
  for (const auto& entry : fs::directory_iterator(Path("stamped"))) {
    if (entry.path().filename() != ".qdrop-journal") published.push_back(entry.path());
  }
  ASSERT_EQ(published.size(), 1u) << run.out;
  EXPECT_EQ(readFile(published[0]), "stamped");
  EXPECT_EQ(
      testsupport::countText(run.out, "Path of file to be processed: '" + folder + "/stamped/at-"),
      2);
  std::vector<Message> replies = Drain(kReplyQueue);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_NE(replies[0].data.find("File '" + published[0] + "' has been delivered"),
            std::string::npos);
}

TEST_F(QdropTest, AHardConnectErrorEndsTheAgent) {
  std::ofstream(settingsFile) << "[MQSeries Objects]\nQMgrName=NO.SUCH.QM\nQName=DLVR.Q\n";
  Program* agent = Start();
  Finished run = Wait(agent);
  EXPECT_EQ(run.exitCode, kExitHardError);
  EXPECT_TRUE(hasLine(run.err, " Connect to Queue Manager"));
  EXPECT_TRUE(hasLine(run.err, " Hard MQ error has occured. Exit."));
  EXPECT_TRUE(hasLine(run.out, " Hard MQ error has occured. Exit."));
}

TEST_F(QdropTest, ASecondExclusiveAgentEndsOnTheOpen) {
  Program* first = Start();
  ASSERT_TRUE(WaitFor([&] {
    return hasLine(readFile(Path("qdrop.out")), " Connect to Queue Manager 'QDROP.QM' successful.");
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  fs::rename(Path("qdrop.out"), Path("first.out"));
  Program* second = Start();
  Finished run = Wait(second);
  EXPECT_EQ(run.exitCode, kExitHardError);
  EXPECT_TRUE(hasLine(run.out, " Open Delivery Queue"));
  EXPECT_TRUE(hasLine(run.out, " CompCode = 2 Reason = 2042"));
  EXPECT_TRUE(hasLine(run.out, " Hard MQ error has occured. Exit."));
  Stop(first);
}

}  // namespace
}  // namespace qdroptest
