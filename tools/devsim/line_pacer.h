// One direction of an emulated serial line: bytes go over it one after another, each taking ten
// bit times (start bit, 8 data bits, stop bit). Times are nanoseconds of the monotonic clock.
#pragma once

#include <cstdint>

namespace devsim {

using Nanos = std::int64_t;

inline constexpr std::uint32_t kBitsPerByte = 10;

// Nanoseconds that one byte takes on the line at `baud` bit/s.
Nanos ByteTime(std::uint32_t baud);

class LinePacer {
 public:
  // Puts `bytes` on the line at `now`, behind whatever is still on it; returns the time at which
  // the last of them has arrived. A byte that finds the line idle starts a new burst: byte i of a
  // burst arrives at its start + (i + 1) byte times, counted from the start to avoid drift.
  Nanos Carry(Nanos now, std::uint64_t bytes, std::uint32_t baud);

  // Arrival time of the byte `before` bytes ahead of the last one carried (0: the last one).
  Nanos ArrivalBefore(std::uint64_t before) const;

  // When the line is free again: the arrival of the last byte carried.
  Nanos FreeAt() const { return ArrivalBefore(0); }

  // How many more bytes can have arrived by `horizon`, seen at `now`.
  std::uint64_t BytesBy(Nanos now, Nanos horizon, std::uint32_t baud) const;

 private:
  Nanos ArrivalOf(std::uint64_t byteCount) const;

  Nanos burstStart_ = 0;
  std::uint64_t burstBytes_ = 0;
  std::uint32_t baud_ = 0;
};

}  // namespace devsim
