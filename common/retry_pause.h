// The pause of an agent's connection loop before its next attempt after a failure: the
// settings' wait when it is above 0; with a wait of 0 or less (a value of 0, "abc" or a
// negative number in the settings file), a pause that starts at kFirstPauseMs and doubles with
// each failed attempt in a row up to kLongestPauseMs, so that the loop never spins.
#ifndef QT_COMMON_RETRY_PAUSE_H
#define QT_COMMON_RETRY_PAUSE_H

#include <cstdint>

constexpr int32_t kFirstPauseMs = 100;
constexpr int32_t kLongestPauseMs = 30000;

// Failed attempts in a row of one connection loop.
struct RetryPause {
  int failures = 0;
};

// The wait before the next attempt when the coming one fails; counts it as failed until
// RestartPause says otherwise.
int32_t NextPause(RetryPause& pause, int32_t settingsWaitMs);
// An attempt succeeded: the next failure starts again from the first pause.
void RestartPause(RetryPause& pause);

// A wait from the settings as a sleep: a negative value (a typing error) waits nothing rather
// than about 49 days.
inline uint32_t SettingsWait(int32_t settingsWaitMs) {
  return settingsWaitMs > 0 ? static_cast<uint32_t>(settingsWaitMs) : 0;
}

// The pause before a job or a file's group that was backed out is worked again: the first is
// the agent's settings' wait but at least 10 ms and at most 1 s, each one after it twice the
// last, up to 64 times the first. Reset once the job or group goes through.
struct BackoutPause {
  uint32_t NextMs = 0;
};
// Flushes the log and sleeps the next pause.
void PauseBeforeRetry(BackoutPause& pause, int32_t settingsWaitMs);
inline void ResetRetryPause(BackoutPause& pause) {
  pause.NextMs = 0;
}

#endif  // QT_COMMON_RETRY_PAUSE_H
