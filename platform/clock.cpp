#include "platform/clock.h"

#include <time.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {

std::atomic<std::uint32_t> g_scale{1};

std::function<void(Millis)>& SleepObserver() {
  static std::function<void(Millis)> observer;
  return observer;
}

std::int64_t MonotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

Millis ClockNow() {
  // Whole milliseconds first, so that a large test scale cannot overflow after long uptimes.
  const std::int64_t nanos = MonotonicNanos();
  const std::int64_t scale = g_scale.load(std::memory_order_relaxed);
  return nanos / 1'000'000 * scale + nanos % 1'000'000 * scale / 1'000'000;
}

void ClockSleep(Millis ms) {
  if (SleepObserver()) SleepObserver()(ms);
  if (ms <= 0) return;
  const std::int64_t nanos = ms * 1'000'000 / g_scale.load(std::memory_order_relaxed);
  timespec remaining{static_cast<time_t>(nanos / 1'000'000'000),
                     static_cast<long>(nanos % 1'000'000'000)};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

int RealTimeoutMs(Millis ms) {
  if (ms < 0) return -1;
  const std::uint32_t scale = g_scale.load(std::memory_order_relaxed);
  const Millis real = (ms + scale - 1) / scale;
  return real > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(real);
}

void SetClockScale(std::uint32_t scale) {
  g_scale.store(scale == 0 ? 1 : scale, std::memory_order_relaxed);
}

void SetSleepObserver(std::function<void(Millis)> observer) {
  SleepObserver() = std::move(observer);
}

}  // namespace platform
