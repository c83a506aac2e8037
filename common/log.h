// The agents' running log: timestamps, the MQ call report, system error texts and the cached
// current directory.
//
// Every log line is the 19-character logTimestamp() followed by a message text that begins
// with a blank and ends with "\n". Progress goes to standard output; errors go to standard
// error first and then, in the same words, to standard output. Single-threaded: the caches
// below are unsynchronised static state of the agent's one thread.
#ifndef QT_COMMON_LOG_H
#define QT_COMMON_LOG_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <streambuf>
#include <string>
#include <vector>

#include "mqi/mqi.h"

// Local time as "%Y/%m/%d %H:%M:%S", "%d%m%Y %H:%M:%S" and "%d%m%Y.log". Each returns its own
// static 25-byte buffer, formatted at most once per second: calls in the same second return
// byte-identical text.
const char* logTimestamp();
const char* reportTimestamp();
const char* logFileName();

// The working directory (no trailing separator), asked of the system once and cached. On
// failure it writes SystemErrorText to standard error and standard output, keeps the cache
// empty so that the next call asks again, and returns "".
const char* currentDirectory();
// The settings file for a command-line name: an absolute name as it is, any other joined to
// the current directory. Writes at most size-1 characters and a NUL; false when the whole name
// did not fit.
bool settingsFilePath(const char* name, char* out, size_t size);
// When the settings file cannot be read (missing, a folder, not readable) writes the error line
// " Settings file 'PATH' cannot be read (TEXT); the defaults apply." to standard error and
// then standard output, and returns false. The agents go on with the defaults.
bool reportUnreadableSettings(const char* path);

// Written to a stream: logTimestamp, one blank, then the system's text for the last error
// code of the platform layer (which ends in a line feed; nothing when there is no text).
struct SystemErrorTextT {};
inline constexpr SystemErrorTextT SystemErrorText{};
std::ostream& operator<<(std::ostream& out, SystemErrorTextT);

// Called right after every MQ call. Completion code 2 writes " MQI Call Failed.", the call's
// name and " CompCode = c Reason = r" as three log lines to standard error and then to
// standard output (flushed); any other code writes nothing. Returns compCode.
MQLONG reportMqCall(const char* callName, MQLONG compCode, MQLONG reason);

// The agents' exit codes: 0 only for the normal end (the input queue inhibited for get);
// anything that ends an agent after a fault is non-zero, so that a supervisor restarts it.
enum ExitCode : int {
  kExitNormal = 0,
  kExitHardError = 1,  // an MQ failure outside the transient lists, a failed commit
  kExitSettings = 2,   // settings or command line that cannot be used
  kExitBadHeader = 3,  // a delivery header whose creation mode is neither NEWVERS nor REPLACE
};

// Flushes the log (with any repeat summary still held back) and ends the process.
[[noreturn]] void EndProcess(ExitCode code = kExitHardError);

// Makes standard error unit-buffered and tied to standard output, as the log expects, and puts
// a RepeatCollapsingBuffer with kRepeatPeriodMs in front of each. The agents call it first
// thing in main.
void initLogStreams();

// How long a repeated line stays collapsed: it is written again at most once per period.
constexpr int64_t kRepeatPeriodMs = 60000;

// A stream buffer that keeps a repeated line, or a repeated block of lines, from flooding the
// log. A line that begins with a timestamp and carries the same message text as the last line
// written is held back and counted; so is a block of up to kLongestBlock such lines that comes
// again, line for line, within kFastRepeatMs of its previous start (a loop without a pause:
// an MQ call that fails at once, over and over). Once the run ends, each line of the block is
// written once more as the timestamp of the last repeat followed by "<message text> repeated N
// times in S s" (N with commas between groups of three digits, S the whole seconds since the
// block was written, at least 1). A run ends with the next line that does not continue it
// (the lines of an unfinished repeat are then written as they came), and when the buffer
// finishes; a repeat that ends a period or more after the block was written is written in full
// and starts a new count. Lines without a timestamp are never held back. Only whole lines reach
// the target.
class RepeatCollapsingBuffer : public std::streambuf {
 public:
  using Clock = std::function<int64_t()>;  // milliseconds, never going back
  static constexpr size_t kLongestBlock = 8;
  static constexpr int64_t kFastRepeatMs = 20;

  RepeatCollapsingBuffer(std::streambuf* target, int64_t periodMs, Clock clock = {});
  ~RepeatCollapsingBuffer() override;
  // Writes the held-back counts and lines and any unfinished line to the target.
  void finish();
  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  struct Seen {
    std::string text;  // a line or its message text, with its line feed
    int64_t at;
  };
  void endLine();
  // The length of the block of recent lines that `text` starts again, or 0.
  size_t repeatingBlock(const std::string& text, int64_t now) const;
  void startRun(size_t length);
  void holdRepeatedLine(int64_t now);
  void endRun();
  void writeHeld();
  // Writes a whole line and keeps its message text among the recent lines.
  void writeRemembered(const std::string& line, int64_t at);
  void writeSummary();
  void write(const std::string& text);

  std::streambuf* target_;
  int64_t periodMs_;
  Clock clock_;
  std::string line_;                // the line being written, up to its line feed
  std::deque<Seen> recent_;         // the last lines written, up to kLongestBlock
  std::vector<std::string> block_;  // the block being repeated; empty: no run
  size_t matched_ = 0;              // lines of the current repeat seen so far
  std::vector<Seen> held_;          // those lines as they came
  std::string lastStamp_;           // timestamp of the last line held back
  uint64_t repeats_ = 0;            // whole repeats counted since the block was written
  int64_t writtenAt_ = 0;           // when the block was written
  int64_t repeatedAt_ = 0;          // when the last counted repeat ended
};

// "2345" as "2,345".
std::string groupedDigits(uint64_t value);

#endif  // QT_COMMON_LOG_H
