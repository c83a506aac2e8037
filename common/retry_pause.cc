// The growing pause of the connection loops.
#include "common/retry_pause.h"

#include <algorithm>
#include <iostream>

#include "platform/platform.h"

namespace {
constexpr uint32_t kShortestPauseMs = 10;
constexpr uint32_t kLongestFirstPauseMs = 1000;
constexpr uint32_t kLongestPauseFactor = 64;
}  // namespace

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

void PauseBeforeRetry(BackoutPause& pause, int32_t settingsWaitMs) {
  const uint32_t first =
      std::clamp(SettingsWait(settingsWaitMs), kShortestPauseMs, kLongestFirstPauseMs);
  if (pause.NextMs < first) pause.NextMs = first;
  std::cout.flush();
  platform::sleepMilliseconds(pause.NextMs);
  if (pause.NextMs <= first * (kLongestPauseFactor / 2)) pause.NextMs *= 2;
}
