#include "tools/devsim/stream_parser.h"

#include <cstring>

namespace devsim {
namespace {

constexpr std::size_t kLengthBytes = 2;

}  // namespace

std::span<std::uint8_t> StreamParser::Space(std::size_t size) {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0 && buffer_.size() - end_ < size) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < size) buffer_.resize(end_ + size);
  return {buffer_.data() + end_, size};
}

void StreamParser::Commit(std::size_t count) {
  end_ += count;
}

std::optional<Unit> StreamParser::Next() {
  const std::uint8_t* head = buffer_.data() + begin_;
  const std::size_t available = end_ - begin_;
  if (available > 0 && head[0] == kAnnounceStart) {
    // A frame starting with this byte is at least 0xF000 + 2 bytes long, so waiting for a whole
    // announce never holds a frame back.
    if (available < kAnnounceSize) return std::nullopt;
    const auto check = CheckAnnounce(AnnounceBytes(head, kAnnounceSize));
    if (check != AnnounceCheck::kNotAnnounce) {
      begin_ += kAnnounceSize;
      const auto kind =
          check == AnnounceCheck::kValid ? UnitKind::kAnnounce : UnitKind::kRejectedAnnounce;
      return Unit{kind, {head, kAnnounceSize}, check};
    }
  }
  if (available < kLengthBytes) return std::nullopt;
  const std::size_t frameSize = kLengthBytes + (std::size_t{head[0]} << 8 | head[1]);
  if (available < frameSize) return std::nullopt;
  begin_ += frameSize;
  return Unit{UnitKind::kFrame, {head, frameSize}, AnnounceCheck::kNotAnnounce};
}

std::size_t StreamParser::Discard() {
  const std::size_t dropped = Pending();
  begin_ = end_ = 0;
  return dropped;
}

}  // namespace devsim
