#include "tools/devsim/line_pacer.h"

#include <algorithm>

namespace devsim {
namespace {

constexpr Nanos kNanosPerSecond = 1'000'000'000;

}  // namespace

Nanos ByteTime(std::uint32_t baud) {
  return kBitsPerByte * kNanosPerSecond / baud;
}

Nanos LinePacer::ArrivalOf(std::uint64_t byteCount) const {
  if (baud_ == 0) return burstStart_;
  return burstStart_ + static_cast<Nanos>(byteCount * kBitsPerByte * kNanosPerSecond / baud_);
}

Nanos LinePacer::ArrivalBefore(std::uint64_t before) const {
  return ArrivalOf(burstBytes_ - std::min(before, burstBytes_));
}

Nanos LinePacer::Carry(Nanos now, std::uint64_t bytes, std::uint32_t baud) {
  if (now >= FreeAt() || baud != baud_) {
    burstStart_ = std::max(now, FreeAt());
    burstBytes_ = 0;
    baud_ = baud;
  }
  burstBytes_ += bytes;
  return FreeAt();
}

std::uint64_t LinePacer::BytesBy(Nanos now, Nanos horizon, std::uint32_t baud) const {
  const Nanos start = std::max(now, FreeAt());
  if (horizon <= start) return 0;
  return static_cast<std::uint64_t>((horizon - start) / ByteTime(baud));
}

}  // namespace devsim
