// Cuts the bytes that come from the updater into announces and firmware frames. An announce is
// recognised by its shape (start byte, CRC, end byte); everything else is a frame: a 16-bit
// length, most significant byte first, then that many bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tools/devsim/announce_check.h"

namespace devsim {

enum class UnitKind { kAnnounce, kRejectedAnnounce, kFrame };

struct Unit {
  UnitKind kind;
  std::span<const std::uint8_t> bytes;  // valid until the next call that changes the parser
  AnnounceCheck check;                  // why an announce was rejected
};

class StreamParser {
 public:
  // Room for up to `size` more bytes, to read into; then Commit what was read.
  std::span<std::uint8_t> Space(std::size_t size);
  void Commit(std::size_t count);

  // The next whole unit, or nothing while the bytes at hand do not make one yet.
  std::optional<Unit> Next();

  // Bytes held that do not yet make a whole unit.
  std::size_t Pending() const { return end_ - begin_; }
  // Forgets them, returning how many there were.
  std::size_t Discard();

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace devsim
