// A temporary queue manager, source and log folders, and a qfeed process run against them.
#ifndef QT_TESTS_QFEED_QFEED_FIXTURE_H
#define QT_TESTS_QFEED_QFEED_FIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "mqi/mqi.h"
#include "platform/test_folder.h"
#include "tests/support/program.h"
#include "tests/support/queue_manager.h"
#include "tests/support/test_data.h"

using testsupport::Message;
using testsupport::readFile;

class QfeedTest : public ::testing::Test {
 public:
  static constexpr const char* kQmgr = "QF";

  void SetUp() override;
  void TearDown() override;

  // Writes qfeed.ini with the given LogPath and extra lines in [Options] and
  // [MQSeries Objects] sections.
  void writeIni(const std::string& logPath, const std::string& srcQueue = "JOBS",
                int mqWaitTime = 100, int folderWaitTime = 60000,
                const std::string& loadedQueue = "");
  // Starts qfeed in the test folder with stdout and stderr captured to out.txt and err.txt.
  void startAgent(const std::string& failpoints = "");
  // Waits for qfeed to end: its exit code, or -1 (and a failure) when it still runs after
  // timeoutMs.
  int waitAgent(int timeoutMs);
  // What the ended qfeed used.
  const struct rusage& agentUsage() const { return agent_->usage(); }
  // Waits until the captured standard output (or error) holds text.
  bool waitForText(const std::string& text, int timeoutMs, bool inStderr = false);
  int countText(const std::string& text, bool inStderr = false);
  // Waits until path no longer exists: a loaded file is deleted just after its commit, so
  // its status record may arrive before the delete.
  bool waitGone(const std::string& path, int timeoutMs = 20000);
  // The captured log with the 19-character timestamps removed from each line.
  std::vector<std::string> logLines(bool inStderr = false);
  bool hasLine(const std::string& line, bool inStderr = false);

  // A folder under the source root, created on demand, and a file in it.
  std::string sourceFolder(const std::string& name);
  std::string writeSource(const std::string& folder, const std::string& name,
                          const std::string& content);

  // MQ calls of the test's own connection.
  void putJob(const std::string& srcPath, const std::string& options, char isLog, uint32_t srcId,
              const char* replyQ = "REPLY");
  void putPing(const std::string& bytes, const char* replyQ);
  // Gets the next message of queue (no syncpoint), waiting up to waitMs; false on 2033.
  bool getMessage(const char* queue, Message* message, int waitMs);
  // Committed messages on the queue.
  int depth(const char* queue) { return qm_->committed(queue); }
  void inhibitGet(const char* queue) { qm_->setGetInhibited(queue, true); }
  // A new connection of the test after the queue manager was stopped and started again.
  void reconnect() { qm_->reconnect(); }

  TestFolder root_{"qfeede2e"};
  std::string sourceRoot_;
  std::string logRoot_;

 private:
  std::string captured(bool inStderr) const;

  std::unique_ptr<testsupport::TestQueueManager> qm_;
  std::unique_ptr<testsupport::Program> agent_;
};

// Expected records, spelled out field by field.
std::string expectedSrcdesc(uint32_t maxSeq, uint32_t srcId, const std::string& path);
std::string expectedLoadStatus(uint32_t srcId, char state, const std::string& comment);
std::string nineDigits(uint32_t value);
std::string segmentCorrelId(uint32_t segment);

#endif  // QT_TESTS_QFEED_QFEED_FIXTURE_H
