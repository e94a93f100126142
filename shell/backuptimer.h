// When the daily backup timer first fires.
#pragma once

#include <ctime>

// Milliseconds from the local time `local` to one second after the next
// local midnight: 2000 at 23:59:59, 86,401,000 at 00:00:00. Counted on the
// wall clock, so a daylight-saving change earlier today does not shift it.
unsigned firstBackupTimerInterval(const std::tm& local);

// The same for the current local time.
unsigned firstBackupTimerIntervalNow();

// The timer's interval after its first tick: one day.
inline constexpr unsigned backupTimerDayInterval = 86400u * 1000u;
