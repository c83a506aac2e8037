#include "common/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/poison.h"
#include "common/reconnect.h"
#include "common/retry_pause.h"
#include "platform/platform.h"
#include "platform/test_folder.h"

namespace {

// Redirects standard output and standard error into strings for the life of the object.
class CapturedStreams {
 public:
  CapturedStreams()
      : oldOut_(std::cout.rdbuf(out.rdbuf())), oldErr_(std::cerr.rdbuf(err.rdbuf())) {}
  ~CapturedStreams() {
    std::cout.rdbuf(oldOut_);
    std::cerr.rdbuf(oldErr_);
  }
  std::ostringstream out;
  std::ostringstream err;

 private:
  std::streambuf* oldOut_;
  std::streambuf* oldErr_;
};

// Runs `call` until it and the clock readings around it fall within one second.
template <typename Call>
auto withinOneSecond(Call call) {
  for (;;) {
    time_t before = time(nullptr);
    auto result = call();
    if (time(nullptr) == before) return result;
  }
}

TEST(TimestampTest, FormatsAndCachesPerSecond) {
  struct Case {
    const char* (*stamp)();
    const char* pattern;
  };
  const Case cases[] = {
      {logTimestamp, R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)"},
      {reportTimestamp, R"(\d{8} \d\d:\d\d:\d\d)"},
      {logFileName, R"(\d{8}\.log)"},
  };
  for (const Case& c : cases) {
    auto [first, second, text] = withinOneSecond([&] {
      const char* a = c.stamp();
      std::string copy(a);
      return std::tuple(a, c.stamp(), copy);
    });
    EXPECT_EQ(first, second);  // the one static buffer
    EXPECT_EQ(std::string(second), text);
    EXPECT_TRUE(std::regex_match(text, std::regex(c.pattern))) << text;
  }
  EXPECT_EQ(std::strlen(logTimestamp()), 19u);
}

TEST(TimestampTest, ANewSecondGivesANewText) {
  auto [earlier, second] =
      withinOneSecond([] { return std::pair(std::string(logTimestamp()), time(nullptr)); });
  while (time(nullptr) == second) platform::sleepMilliseconds(20);
  EXPECT_NE(std::string(logTimestamp()), earlier);
}

TEST(ReportMqCallTest, WritesThreeLinesToBothStreamsOnlyOnFailure) {
  CapturedStreams streams;
  EXPECT_EQ(reportMqCall("Open job Queue", MQCC_OK, 0), MQCC_OK);
  EXPECT_EQ(reportMqCall("Open job Queue", MQCC_WARNING, 2079), MQCC_WARNING);
  EXPECT_EQ(streams.out.str(), "");
  EXPECT_EQ(streams.err.str(), "");

  auto [result, stamp] = withinOneSecond([] {
    MQLONG code = reportMqCall("Open job Queue", MQCC_FAILED, 2085);
    return std::pair(code, std::string(logTimestamp()));
  });
  EXPECT_EQ(result, MQCC_FAILED);
  std::string expected = stamp + " MQI Call Failed.\n" + stamp + " Open job Queue\n" + stamp +
                         " CompCode = 2 Reason = 2085\n";
  EXPECT_EQ(streams.err.str(), expected);
  EXPECT_EQ(streams.out.str(), expected);
}

TEST(SystemErrorTextTest, TimestampBlankAndTheSystemText) {
  auto [written, stamp] = withinOneSecond([] {
    std::ostringstream out;
    platform::setLastError(ENOENT);
    out << SystemErrorText;
    platform::setLastError(987654);  // a code without text: timestamp and blank only
    out << SystemErrorText;
    return std::pair(out.str(), std::string(logTimestamp()));
  });
  EXPECT_EQ(written, stamp + " " + platform::errorText(ENOENT) + stamp + " ");
  EXPECT_NE(platform::errorText(ENOENT), "");
}

TEST(CurrentDirectoryTest, AskedOnceAndCached) {
  char expected[4096];
  ASSERT_TRUE(platform::getCurrentDirectory(expected, sizeof expected));
  const char* first = currentDirectory();
  EXPECT_STREQ(first, expected);
  EXPECT_EQ(currentDirectory(), first);
}

TEST(CurrentDirectoryTest, SettingsFileNamesAreJoinedToIt) {
  char out[4096];
  const char* absolute = platform::isAbsolutePath("/etc/qfeed.ini") ? "/etc/qfeed.ini"
                                                                     : "C:\\etc\\qfeed.ini";
  ASSERT_TRUE(settingsFilePath(absolute, out, sizeof out));
  EXPECT_STREQ(out, absolute);
  char cwd[4096];
  ASSERT_TRUE(platform::getCurrentDirectory(cwd, sizeof cwd));
  const std::string separator(1, platform::pathSeparator());
  ASSERT_TRUE(settingsFilePath("cfg/a.ini", out, sizeof out));
  EXPECT_EQ(std::string(out), std::string(cwd) + separator + "cfg/a.ini");
  // A UNC path is absolute on Windows only; elsewhere it is a name like any other.
  const std::string unc = "\\\\host\\share\\a.ini";
  ASSERT_TRUE(settingsFilePath(unc.c_str(), out, sizeof out));
  EXPECT_EQ(std::string(out),
            platform::isAbsolutePath(unc.c_str()) ? unc : std::string(cwd) + separator + unc);
  EXPECT_FALSE(settingsFilePath("a.ini", out, 4));
}

TEST(LogStreamsTest, ErrorStreamIsUnitBufferedAndTiedToOutput) {
  initLogStreams();
  EXPECT_TRUE(std::cerr.flags() & std::ios::unitbuf);
  EXPECT_EQ(std::cerr.tie(), &std::cout);
}

TEST(LogStreamsTest, UnreadableSettingsFilesAreNamedOnBothStreams) {
#ifdef _WIN32
  GTEST_SKIP() << "a FIFO and the C library's message texts are POSIX details";
#else
  TestFolder folder("settings");
  folder.write("a.ini", "[Options]\n");
  CapturedStreams streams;
  EXPECT_TRUE(reportUnreadableSettings((folder / "a.ini").c_str()));
  EXPECT_EQ(streams.out.str(), "");
  const std::string missing = folder / "missing.ini";
  EXPECT_FALSE(reportUnreadableSettings(missing.c_str()));
  EXPECT_FALSE(reportUnreadableSettings(folder.path().c_str()));
  const std::string fifo = folder / "fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(reportUnreadableSettings(fifo.c_str()));  // at once: nobody writes to it
  const std::vector<std::string> expected = {
      " Settings file '" + missing +
          "' cannot be read (No such file or directory); the defaults apply.",
      " Settings file '" + folder.path() +
          "' cannot be read (Is a directory); the defaults apply."};
  for (const std::ostringstream* stream : {&streams.err, &streams.out}) {
    std::istringstream lines(stream->str());
    for (const std::string& text : expected) {
      std::string line;
      ASSERT_TRUE(std::getline(lines, line));
      EXPECT_EQ(line.substr(19), text);
    }
  }
#endif
}

// A line that repeats is written once, then counted; the count comes before the next other
// line, with a repeat a period later, and at the end. Unstamped lines are never held back.
TEST(RepeatCollapsingBufferTest, RepeatsAreCountedAndSummedUp) {
  const std::string a = "2026/12/07 20:00:00 MQ error has occured.\n";
  const std::string a2 = "2026/12/07 20:00:02 MQ error has occured.\n";
  const std::string b = "2026/12/07 20:00:03 Connected.\n";
  std::ostringstream target;
  int64_t now = 0;
  {
    RepeatCollapsingBuffer filter(target.rdbuf(), 60000, [&] { return now; });
    std::ostream log(&filter);
    log << a;
    for (int i = 0; i < 2345; ++i, now += 1)
      log << a2.substr(0, 19) << " MQ error has"
          << " occured.\n";
    now = 1500;
    log << b << b;  // a new line ends the run; its own repeat is held back
    log << "unstamped\n"
        << "unstamped\n";
    log << b;
    now = 70000;
    log << b;  // a period after the line: written again
    log << b << "2026/12/07 20:01:10 half";
    EXPECT_EQ(target.str(),
              a + "2026/12/07 20:00:02 MQ error has occured. repeated 2,345 times in 3 s\n" + b +
                  "2026/12/07 20:00:03 Connected. repeated 1 times in 1 s\n" +
                  "unstamped\nunstamped\n" + b + b);
  }
  EXPECT_TRUE(target.str().ends_with(
      b + b + "2026/12/07 20:00:03 Connected. repeated 1 times in 1 s\n2026/12/07 20:01:10 half"))
      << target.str();
  EXPECT_EQ(groupedDigits(0), "0");
  EXPECT_EQ(groupedDigits(999), "999");
  EXPECT_EQ(groupedDigits(1000), "1,000");
  EXPECT_EQ(groupedDigits(1234567), "1,234,567");
}

// A block of lines that a loop without a pause writes again and again is summed up line by
// line; the same block written slowly, or a repeat cut short, stays as it came.
TEST(RepeatCollapsingBufferTest, FastRepeatedBlocksAreSummedUpLineByLine) {
  auto stamped = [](const char* text) { return "2026/12/07 20:00:00 " + std::string(text) + "\n"; };
  const std::string block =
      stamped("MQI Call Failed.") + stamped("Get segment") + stamped("CompCode = 2 Reason = 2033");
  std::ostringstream target;
  int64_t now = 0;
  RepeatCollapsingBuffer filter(target.rdbuf(), 60000, [&] { return now; });
  std::ostream log(&filter);
  for (int i = 0; i < 1001; ++i) log << block;
  log << stamped("Moved.");
  EXPECT_EQ(target.str(), block + stamped("MQI Call Failed. repeated 1,000 times in 1 s") +
                              stamped("Get segment repeated 1,000 times in 1 s") +
                              stamped("CompCode = 2 Reason = 2033 repeated 1,000 times in 1 s") +
                              stamped("Moved."));
  target.str("");
  for (int i = 0; i < 3; ++i, now += 100) log << block;  // a pause between: all written
  log << stamped("MQI Call Failed.") << stamped("Get segment") << stamped("Moved.");
  filter.finish();
  EXPECT_EQ(target.str(), block + block + block + stamped("MQI Call Failed.") +
                              stamped("Get segment") + stamped("Moved."));
  // A first round that differs: the count starts where the repeat really starts.
  target.str("");
  const std::string a = stamped("MQI Call Failed."), c = stamped("CompCode = 2 Reason = 2033");
  log << a << stamped("Get header") << c;
  for (int i = 0; i < 100; ++i) log << block;
  log << stamped("Moved.");
  filter.finish();
  EXPECT_EQ(target.str(), a + stamped("Get header") + c + a + stamped("Get segment") +
                              stamped("CompCode = 2 Reason = 2033 repeated 99 times in 1 s") +
                              stamped("MQI Call Failed. repeated 99 times in 1 s") +
                              stamped("Get segment repeated 99 times in 1 s") + c +
                              stamped("Moved."));
}

TEST(RetryPauseTest, AWaitOfZeroGrowsInsteadOfSpinning) {
  RetryPause pause;
  EXPECT_EQ(NextPause(pause, 5000), 5000);
  std::vector<int32_t> waits;
  for (int i = 0; i < 11; ++i) waits.push_back(NextPause(pause, 0));
  EXPECT_EQ(waits, (std::vector<int32_t>{100, 200, 400, 800, 1600, 3200, 6400, 12800, 25600, 30000,
                                         30000}));
  RestartPause(pause);
  EXPECT_EQ(NextPause(pause, -5), 100);
  EXPECT_EQ(SettingsWait(-5), 0u);  // a sleep, never about 49 days
  EXPECT_EQ(SettingsWait(250), 250u);
}

// A back-out the agent excused (a lost connection, a full disk or queue) never counts toward
// the threshold of the message it held; the back-outs of any other message still do.
TEST(PoisonTest, ExcusedBackoutsDoNotCountTowardTheThreshold) {
  PoisonPolicy policy = {2, "DLQ", true};
  MQMD held = {MQMD_DEFAULT};
  held.MsgId[0] = 1;
  held.BackoutCount = 2;
  EXPECT_TRUE(ReachedBackoutThreshold(policy, held));
  ExcuseBackout(held.MsgId);
  EXPECT_FALSE(ReachedBackoutThreshold(policy, held));
  held.BackoutCount = 3;
  EXPECT_TRUE(ReachedBackoutThreshold(policy, held));
  MQMD other = held;
  other.MsgId[0] = 2;
  ExcuseBackout(other.MsgId);
  EXPECT_TRUE(ReachedBackoutThreshold(policy, held));
}

// Each call kind keeps exactly its own set: a reason too many ends in a wait loop where the
// agent should stop, a reason too few ends the agent where it should wait.
TEST(TransientReasonTest, EachCallKindHasExactlyItsSet) {
  const std::vector<std::pair<MqCallKind, std::set<MQLONG>>> sets = {
      {MqCallKind::kConnection, {2009, 2056, 2059, 2102, 2161, 2162, 2202, 2203}},
      {MqCallKind::kQueueOpen, {2009, 2017, 2056, 2059, 2102, 2161, 2162, 2202, 2203}},
      {MqCallKind::kReceiverOpen, {2009, 2017, 2059, 2102, 2161, 2162, 2202, 2203}},
      {MqCallKind::kDeferGet, {2009, 2059, 2102, 2161, 2162, 2202, 2203}},
      {MqCallKind::kDeferPut, {2056, 2059, 2102, 2161, 2162, 2202, 2203}},
  };
  for (const auto& [kind, expected] : sets) {
    for (MQLONG reason = 2000; reason < 2600; ++reason) {
      EXPECT_EQ(isTransientReason(kind, reason), expected.count(reason) == 1)
          << "kind " << static_cast<int>(kind) << " reason " << reason;
    }
  }
}

}  // namespace
