#include "tools/devsim/line_pacer.h"

#include <gtest/gtest.h>

namespace devsim {
namespace {

constexpr Nanos kMs = 1'000'000;

TEST(LinePacerTest, BytesOfABurstArriveTenBitTimesApartFromItsStart) {
  LinePacer line;
  EXPECT_EQ(ByteTime(9600), 1'041'666);
  // 30 bytes at 9600 bit/s: 31.25 ms after the first was seen.
  EXPECT_EQ(line.Carry(100 * kMs, 30, 9600), 100 * kMs + 31'250'000);
  EXPECT_EQ(line.ArrivalBefore(29), 100 * kMs + 1'041'666);
  // More bytes while the line is busy queue behind, counted from the same start: no drift.
  EXPECT_EQ(line.Carry(110 * kMs, 30, 9600), 100 * kMs + 62'500'000);
  // A line that has gone idle starts a new burst when the next byte is seen.
  EXPECT_EQ(line.Carry(500 * kMs, 1, 57600), 500 * kMs + 173'611);
}

TEST(LinePacerTest, TellsHowManyBytesCanHaveArrivedBy) {
  LinePacer line;
  EXPECT_EQ(line.BytesBy(0, 20 * kMs, 9600), 19u);
  line.Carry(0, 20, 9600);
  EXPECT_EQ(line.BytesBy(0, 20 * kMs, 9600), 0u);
  EXPECT_EQ(line.BytesBy(0, 40 * kMs, 9600), 18u);
}

}  // namespace
}  // namespace devsim
