// Runs the real qmctl binary against a throwaway store: a temporary folder named by QM_STORE,
// holding one started queue manager, removed again after the test.
#ifndef QT_TESTS_QMCTL_HARNESS_H
#define QT_TESTS_QMCTL_HARNESS_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqi/admin.h"
#include "mqi/mqi.h"
#include "platform/test_folder.h"

namespace qmctl_test {

struct Outcome {
  int code = -1;
  std::string out;
  std::string err;
};

inline std::string shellQuote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string readAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// JSON Lines: one object per line.
inline std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

class QmctlTest : public ::testing::Test {
 protected:
  static constexpr const char* kQm = "QMT";

  void SetUp() override {
    ASSERT_TRUE(folder_.ok());
    store_ = dir_ / "store";
    std::filesystem::create_directory(store_);
    setenv("QM_STORE", store_.c_str(), 1);
    ASSERT_TRUE(mqi::createQueueManager(kQm, {}).ok());
    ASSERT_TRUE(mqi::startQueueManager(kQm).ok());
  }

  void TearDown() override {
    mqi::stopQueueManager(kQm, false);
  }

  // qmctl ARGS... with `input` on standard input; each call gets files of its own so that
  // calls may run at the same time from several threads.
  Outcome qmctl(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string id = std::to_string(runs_++);
    const auto in = dir_ / ("in" + id), out = dir_ / ("out" + id), err = dir_ / ("err" + id);
    std::ofstream(in, std::ios::binary) << input;
    std::string command = shellQuote(QMCTL_PATH);
    for (const auto& arg : args) command += " " + shellQuote(arg);
    command += " <" + shellQuote(in) + " >" + shellQuote(out) + " 2>" + shellQuote(err);
    const int status = std::system(command.c_str());
    Outcome run;
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = readAll(out);
    run.err = readAll(err);
    return run;
  }

  void define(const std::string& queue) {
    ASSERT_TRUE(mqi::defineQueue(kQm, queue, {}).ok()) << queue;
  }

  int32_t depth(const std::string& queue) {
    auto info = mqi::describeQueue(kQm, queue);
    EXPECT_TRUE(info.ok()) << info.status.message();
    return info.value.currentDepth;
  }

  TestFolder folder_{"qmctl-test"};
  std::filesystem::path dir_ = folder_.path();
  std::filesystem::path store_;
  std::atomic<int> runs_{0};
};

// An MQ connection of the test itself, for checking what qmctl put and for playing an agent.
class TestConnection {
 public:
  explicit TestConnection(const char* qmgr) {
    MQCHAR48 name = {};
    std::memcpy(name, qmgr, std::min(sizeof name, std::strlen(qmgr)));
    MQLONG cc, rc;
    MQCONN(name, &hconn_, &cc, &rc);
    EXPECT_EQ(cc, MQCC_OK) << rc;
  }
  ~TestConnection() {
    MQLONG cc, rc;
    MQDISC(&hconn_, &cc, &rc);
  }
  MQHCONN handle() const { return hconn_; }

  // MQGET with a v1 GMO (matching on md's MsgId and CorrelId), outside syncpoint.
  MQLONG get(const std::string& queue, MQMD& md, std::string& data, MQLONG waitMs = 0) {
    MQOD od = {MQOD_DEFAULT};
    std::memcpy(od.ObjectName, queue.data(), std::min(sizeof od.ObjectName, queue.size()));
    MQHOBJ hobj;
    MQLONG cc, rc;
    MQOPEN(hconn_, &od, MQOO_INPUT_SHARED, &hobj, &cc, &rc);
    if (cc == MQCC_FAILED) return rc;
    MQGMO gmo = {MQGMO_DEFAULT};
    gmo.Options = MQGMO_NO_SYNCPOINT | (waitMs != 0 ? MQGMO_WAIT : 0);
    gmo.WaitInterval = waitMs;
    data.assign(8192, '\0');
    MQLONG length = 0;
    MQGET(hconn_, hobj, &md, &gmo, static_cast<MQLONG>(data.size()), data.data(), &length, &cc,
          &rc);
    data.resize(cc == MQCC_FAILED ? 0 : static_cast<size_t>(length));
    MQLONG closeCc, closeRc;
    MQCLOSE(hconn_, &hobj, MQCO_NONE, &closeCc, &closeRc);
    return cc == MQCC_FAILED ? rc : MQRC_NONE;
  }

  MQLONG put(const std::string& queue, MQMD& md, const std::string& data) {
    MQOD od = {MQOD_DEFAULT};
    std::memcpy(od.ObjectName, queue.data(), std::min(sizeof od.ObjectName, queue.size()));
    MQPMO pmo = {MQPMO_DEFAULT};
    pmo.Options = MQPMO_NO_SYNCPOINT;
    MQLONG cc, rc;
    MQPUT1(hconn_, &od, &md, &pmo, static_cast<MQLONG>(data.size()),
           const_cast<char*>(data.data()), &cc, &rc);
    return cc == MQCC_FAILED ? rc : MQRC_NONE;
  }

 private:
  MQHCONN hconn_ = MQHC_UNUSABLE_HCONN;
};

}  // namespace qmctl_test

#endif  // QT_TESTS_QMCTL_HARNESS_H
