#include "backuptimer.h"

unsigned firstBackupTimerInterval(const std::tm& local) {
  const unsigned sinceMidnight = static_cast<unsigned>(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
  // tm_sec may be 60 on a leap second; the timer then fires a second later.
  const unsigned untilMidnight = sinceMidnight >= 86400u ? 0u : 86400u - sinceMidnight;
  return (untilMidnight + 1u) * 1000u;
}

unsigned firstBackupTimerIntervalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return firstBackupTimerInterval(local);
}
