// The growing pause of the connection loops.
#include "common/retry_pause.h"

int32_t NextPause(RetryPause& pause, int32_t settingsWaitMs) {
  if (settingsWaitMs > 0) return settingsWaitMs;
  int32_t wait = kFirstPauseMs;
  for (int i = 0; i < pause.failures && wait < kLongestPauseMs; ++i) wait *= 2;
  ++pause.failures;
  return wait < kLongestPauseMs ? wait : kLongestPauseMs;
}

void RestartPause(RetryPause& pause) {
  pause.failures = 0;
}
