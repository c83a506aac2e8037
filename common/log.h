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
#include <iosfwd>

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

// Written to a stream: logTimestamp, one blank, then the system's text for the last error
// code of the platform layer (which ends in a line feed; nothing when there is no text).
struct SystemErrorTextT {};
inline constexpr SystemErrorTextT SystemErrorText{};
std::ostream& operator<<(std::ostream& out, SystemErrorTextT);

// Called right after every MQ call. Completion code 2 writes " MQI Call Failed.", the call's
// name and " CompCode = c Reason = r" as three log lines to standard error and then to
// standard output (flushed); any other code writes nothing. Returns compCode.
MQLONG reportMqCall(const char* callName, MQLONG compCode, MQLONG reason);

// Flushes the log and ends the process with exit code 0.
[[noreturn]] void EndProcess();

// Makes standard error unit-buffered and tied to standard output, as the log expects. The
// agents call it first thing in main.
void initLogStreams();

#endif  // QT_COMMON_LOG_H
