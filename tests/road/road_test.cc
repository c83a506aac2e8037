// The whole road of a file with the real programs: a job to qfeed, the group through qroute, the
// file written by qdrop, and the status records of both agents.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/road/road_harness.h"

namespace road {
namespace {

ProgramPaths programs() { return {QFEED_PATH, QROUTE_PATH, QDROP_PATH}; }

constexpr int kWaitMs = 45000;

// srcId -> states seen, for the records of one kind.
std::map<uint32_t, std::string> statesBySource(const std::vector<testsupport::StatusRecord>& records,
                                               const char* structId) {
  std::map<uint32_t, std::string> out;
  for (const auto& r : records) {
    if (r.structId == structId) out[r.srcId] += r.state;
  }
  return out;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(Road, FilesOfAssortedSizesArriveByteForByteWithOneStatusOfEachKind) {
  Road road(programs());
  const std::vector<size_t> sizes = {0,      1,      24575,  24576,          49150,
                                     49151,  100000, 777777, 3 * 1048576 + 17};
  std::vector<std::string> contents;
  for (size_t i = 0; i < sizes.size(); ++i) {
    contents.push_back(patternBytes(sizes[i], static_cast<uint32_t>(i + 1)));
    road.folder().write("src/file" + std::to_string(i) + ".bin", contents[i]);
  }
  road.startAll();
  for (size_t i = 0; i < sizes.size(); ++i) {
    road.putJob(road.src() + "/file" + std::to_string(i) + ".bin", static_cast<uint32_t>(i + 1));
  }
  auto loads = road.qm().getStatuses(Road::kLoadStatus, sizes.size(), kWaitMs);
  auto deliveries = road.qm().getStatuses(Road::kDeliveryStatus, sizes.size(), kWaitMs);
  ASSERT_TRUE(road.stopAll());

  std::map<uint32_t, std::string> loaded = statesBySource(loads, "KVLS");
  std::map<uint32_t, std::string> delivered = statesBySource(deliveries, "KVDS");
  for (size_t i = 0; i < sizes.size(); ++i) {
    const uint32_t id = static_cast<uint32_t>(i + 1);
    EXPECT_EQ(loaded[id], "X") << "file" << i;
    EXPECT_EQ(delivered[id], "D") << "file" << i;
    const std::string target = road.target() + "/file" + std::to_string(i) + ".bin";
    ASSERT_TRUE(std::filesystem::exists(target)) << target;
    EXPECT_TRUE(readFile(target) == contents[i]) << target << " differs from its source";
  }
  // Nothing twice: no new versions, no late status records, no leftovers on any queue.
  EXPECT_EQ(namesIn(road.target()).size(), sizes.size());
  EXPECT_TRUE(namesIn(road.src()).empty());
  EXPECT_TRUE(road.qm().getStatuses(Road::kDeliveryStatus, 1, 0).empty());
  for (const char* q : {Road::kReceiver, Road::kDelivery, Road::kDead, Road::kDefer}) {
    EXPECT_EQ(road.qm().depth(q), 0) << q;
  }
}

TEST(Road, RouterKilledInTheMiddleOfALargeGroupLosesAndDuplicatesNothing) {
  Road road(programs());
  const std::string content = patternBytes(24 * 1048576 + 5, 99);
  const int32_t maxSeq = static_cast<int32_t>((content.size() + 24574) / 24575);
  road.folder().write("src/big.bin", content);
  road.startFeed();
  road.putJob(road.src() + "/big.bin", 7);
  auto loads = road.qm().getStatuses(Road::kLoadStatus, 1, kWaitMs);
  ASSERT_EQ(loads.size(), 1u);
  ASSERT_EQ(road.qm().depth(Road::kReceiver), maxSeq + 1);

  road.startRouter();
  // Uncommitted puts count in the depth: kill once a good part of the group is on its way.
  bool midGroup = pollUntil(
      [&] {
        int32_t d = road.qm().depth(Road::kDelivery);
        return d >= maxSeq / 4 && d <= maxSeq;
      },
      kWaitMs);
  road.killRouter();
  ASSERT_TRUE(midGroup) << "the router was not seen in the middle of the group";
  // The killed unit of work is backed out: the whole group lies on the receiver queue again.
  ASSERT_TRUE(pollUntil(
      [&] {
        return road.qm().depth(Road::kReceiver) == maxSeq + 1 &&
               road.qm().depth(Road::kDelivery) == 0;
      },
      kWaitMs));

  road.startRouter();
  road.startDrop();
  auto deliveries = road.qm().getStatuses(Road::kDeliveryStatus, 1, kWaitMs);
  ASSERT_TRUE(road.stopAll());
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].state, 'D');
  EXPECT_EQ(deliveries[0].srcId, 7u);
  EXPECT_TRUE(readFile(road.target() + "/big.bin") == content);
  EXPECT_EQ(namesIn(road.target()).size(), 1u);  // NEWVERS: a second delivery would add big_0.bin
  EXPECT_TRUE(road.qm().getStatuses(Road::kDeliveryStatus, 1, 0).empty());
  for (const char* q : {Road::kReceiver, Road::kDelivery, Road::kDead}) {
    EXPECT_EQ(road.qm().depth(q), 0) << q;
  }
}

TEST(Road, UnmatchedAndIncompleteGroupsReachTheDeadLetterQueue) {
  Road road(programs());
  const std::string lost = patternBytes(30000, 5);
  road.folder().write("unrouted/lost.bin", lost);
  road.startAll();
  road.putJob(road.unrouted() + "/lost.bin", 1);
  const std::string partial = patternBytes(70000, 6);  // three segments, the second left out
  const std::string partialId = road.putGroup(road.src() + "/partial.bin", partial, 2);
  auto loads = road.qm().getStatuses(Road::kLoadStatus, 1, kWaitMs);
  ASSERT_EQ(loads.size(), 1u);
  ASSERT_TRUE(road.qm().waitForCommitted(Road::kDead, 6, kWaitMs));
  ASSERT_TRUE(road.stopAll());

  std::map<std::string, std::vector<testsupport::Message>> groups;
  for (auto& m : road.qm().drain(Road::kDead)) {
    groups[testsupport::msgIdOf(m.md)].push_back(m);
  }
  ASSERT_EQ(groups.size(), 2u);
  for (auto& [id, messages] : groups) {
    ASSERT_EQ(messages.size(), 3u);
    const bool isPartial = id == partialId;
    std::string joined;
    for (auto& m : messages) {
      if (testsupport::segmentOf(m.md) == 0) {
        EXPECT_EQ(m.data.substr(0, 4), "KVDT");  // the data header as it came
        EXPECT_EQ(m.md.Feedback, 65536 + (isPartial ? 3 : 2));
      } else {
        joined += m.data;
      }
    }
    if (isPartial) {
      EXPECT_TRUE(joined == partial.substr(0, 24575) + partial.substr(49150));
    } else {
      EXPECT_TRUE(joined == lost);
    }
  }
  EXPECT_TRUE(namesIn(road.target()).empty());
  EXPECT_TRUE(road.qm().getStatuses(Road::kDeliveryStatus, 1, 0).empty());
  std::string log = road.folder().read("logs/qroute.log");
  EXPECT_NE(log.find("lost.bin' moved to dead-letter queue QROUTE.DEAD: no route takes it."),
            std::string::npos);
  EXPECT_NE(log.find("partial.bin' moved to dead-letter queue QROUTE.DEAD: segment 2 of 3 is "
                     "missing."),
            std::string::npos);
}

// The queue manager's disk fills while the agents start on a job: they wait (none of them
// ends), and once space is back the file goes on and is delivered. The store lies on a small
// file system mounted in a mount namespace of the test's process; skipped where that is not
// allowed.
TEST(Road, AFullDiskUnderTheQueueManagerIsWaitedOut) {
  TestFolder small("road-small");
  ASSERT_TRUE(small.ok());
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", small.path().c_str(), "tmpfs", 0, "size=32m") != 0)
    GTEST_SKIP() << "cannot mount a small file system here";
  {
    Road road(programs(), "NEWVERS", small.path());
    const std::string content = patternBytes(100000, 7);
    road.folder().write("src/full.bin", content);
    road.putJob(road.src() + "/full.bin", 1);
    {
      std::ofstream filler(small / "filler", std::ios::binary);
      const std::string block(1 << 16, 'f');
      while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
      }
    }
    road.startAll();
    ASSERT_TRUE(pollUntil(
        [&] { return road.folder().read("logs/qfeed.log").find("2056") != std::string::npos; },
        kWaitMs));
    std::filesystem::remove(small / "filler");
    auto deliveries = road.qm().getStatuses(Road::kDeliveryStatus, 1, kWaitMs);
    ASSERT_TRUE(road.stopAll());
    for (const Program* program : {road.feed(), road.router(), road.drop()})
      EXPECT_EQ(program->exitCode(), 0);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0].state, 'D');
    EXPECT_TRUE(readFile(road.target() + "/full.bin") == content);
  }
  umount2(small.path().c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace road
