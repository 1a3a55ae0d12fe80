// The one clock through which every pause and wait of the core runs: sleeps, event waits and
// serial time-outs. In the program it is the monotonic clock; unit tests compress it, so that a
// 5-second pause of the protocol takes 5 ms / scale of real time.
#pragma once

#include <cstdint>
#include <functional>

namespace platform {

using Millis = std::int64_t;

// Milliseconds of clock time since an arbitrary start; monotonic.
Millis ClockNow();
// Pauses the calling thread for `ms` of clock time.
void ClockSleep(Millis ms);
// The real milliseconds, rounded up, that a wait of `ms` clock milliseconds takes; -1 stays -1
// (for ever), for poll().
int RealTimeoutMs(Millis ms);

// 1 is the real clock; N makes the clock run N times faster than real time. Tests only.
void SetClockScale(std::uint32_t scale);
// Called with the duration of every ClockSleep, on the sleeping thread. Tests only.
void SetSleepObserver(std::function<void(Millis)> observer);

}  // namespace platform
