#include "tools/devsim/stream_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace devsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kAnnounce = {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x88,
                         0x10, 0x46, 0x69, 0x72, 0x6D, 0x77, 0x61, 0x72, 0x65, 0x55,
                         0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0xF6, 0x5A, 0xF2};

Bytes Frame(std::uint16_t length, std::uint8_t fill) {
  Bytes frame(length + 2u, fill);
  frame[0] = static_cast<std::uint8_t>(length >> 8);
  frame[1] = static_cast<std::uint8_t>(length & 0xFF);
  return frame;
}

struct Seen {
  UnitKind kind;
  Bytes bytes;
  bool operator==(const Seen&) const = default;
};

// Feeds `stream` in chunks of `chunk` bytes, collecting every unit as it becomes whole.
std::vector<Seen> Parse(const Bytes& stream, std::size_t chunk) {
  StreamParser parser;
  std::vector<Seen> seen;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    const std::size_t count = std::min(chunk, stream.size() - at);
    std::memcpy(parser.Space(count).data(), stream.data() + at, count);
    parser.Commit(count);
    while (const auto unit = parser.Next()) {
      seen.push_back({unit->kind, {unit->bytes.begin(), unit->bytes.end()}});
    }
  }
  return seen;
}

TEST(StreamParserTest, CutsTheSameUnitsHoweverTheBytesArrive) {
  Bytes badCrc = kAnnounce;
  badCrc[27] = 0x00;
  // A frame of 0xF0FF bytes starts with the announce's start byte but is no announce.
  const Bytes longFrame = Frame(0xF0FF, 0xF2);
  const std::vector<Seen> expected = {
      {UnitKind::kAnnounce, kAnnounce},   {UnitKind::kFrame, Frame(0, 0)},
      {UnitKind::kFrame, Frame(3, 0xAB)}, {UnitKind::kRejectedAnnounce, badCrc},
      {UnitKind::kFrame, longFrame},      {UnitKind::kFrame, Frame(0xFFFF, 0x11)},
      {UnitKind::kAnnounce, kAnnounce},
  };
  Bytes stream;
  for (const auto& unit : expected)
    stream.insert(stream.end(), unit.bytes.begin(), unit.bytes.end());
  for (const std::size_t chunk :
       {std::size_t{1}, std::size_t{29}, std::size_t{30}, std::size_t{4095}, stream.size()}) {
    EXPECT_EQ(Parse(stream, chunk), expected) << "chunks of " << chunk;
  }
}

TEST(StreamParserTest, DiscardForgetsAHalfFrame) {
  StreamParser parser;
  const Bytes whole = Frame(10, 0x33);
  std::memcpy(parser.Space(5).data(), whole.data(), 5);
  parser.Commit(5);
  EXPECT_FALSE(parser.Next());
  EXPECT_EQ(parser.Discard(), 5u);
  std::memcpy(parser.Space(whole.size()).data(), whole.data(), whole.size());
  parser.Commit(whole.size());
  const auto unit = parser.Next();
  ASSERT_TRUE(unit);
  EXPECT_EQ(Bytes(unit->bytes.begin(), unit->bytes.end()), whole);
  EXPECT_EQ(parser.Pending(), 0u);
}

}  // namespace
}  // namespace devsim
