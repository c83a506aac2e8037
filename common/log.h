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
#include <functional>
#include <iosfwd>
#include <streambuf>
#include <string>

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

// A stream buffer that keeps a run of one repeated log line from flooding the log. A line that
// begins with a timestamp and carries the same message text as the last line written is held
// back and counted. The count is written as one line, the timestamp of the last repeat
// followed by "<message text> repeated N times in S s" (N with commas between groups of three
// digits, S the whole seconds since the line was written, at least 1), before the next line
// that differs, before the first repeat that comes a period or more after the line was written
// (that repeat is then written and starts a new run), and when the buffer finishes. Lines
// without a timestamp are never held back. Only whole lines reach the target.
class RepeatCollapsingBuffer : public std::streambuf {
 public:
  using Clock = std::function<int64_t()>;  // milliseconds, never going back
  RepeatCollapsingBuffer(std::streambuf* target, int64_t periodMs, Clock clock = {});
  ~RepeatCollapsingBuffer() override;
  // Writes the held-back count and any unfinished line to the target.
  void finish();
  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void endLine();
  void writeSummary();
  void write(const std::string& text);

  std::streambuf* target_;
  int64_t periodMs_;
  Clock clock_;
  std::string line_;        // the line being written, up to its line feed
  std::string lastText_;    // message text of the last line written; empty: none to repeat
  std::string lastStamp_;   // timestamp of the last repeat held back
  uint64_t repeats_ = 0;    // repeats held back since lastText_ was written
  int64_t writtenAt_ = 0;   // when lastText_ was written
  int64_t repeatedAt_ = 0;  // when the last repeat came
};

// "2345" as "2,345".
std::string groupedDigits(uint64_t value);

#endif  // QT_COMMON_LOG_H
