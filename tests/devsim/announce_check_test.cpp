#include "tools/devsim/announce_check.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace devsim {
namespace {

using Frame = std::array<std::uint8_t, kAnnounceSize>;

constexpr Frame kKeyboard = {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x88,
                             0x10, 0x46, 0x69, 0x72, 0x6D, 0x77, 0x61, 0x72, 0x65, 0x55,
                             0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0xF6, 0x5A, 0xF2};
constexpr Frame kReaderB = {0xF0, 0xAA, 0xAA, 0xFF, 0xFF, 0x88, 0x14, 0x46, 0x69, 0x72,
                            0x6D, 0x77, 0x61, 0x72, 0x65, 0x55, 0x70, 0x64, 0x61, 0x74,
                            0x65, 0x41, 0x50, 0x20, 0x20, 0x20, 0x20, 0x60, 0x65, 0xF2};

Frame With(Frame frame, std::size_t at, std::uint8_t value) {
  frame[at] = value;
  return frame;
}

struct CheckCase {
  Frame frame;
  AnnounceCheck check;
};

TEST(AnnounceCheckTest, TellsAnnouncesFromDamagedOnesAndFromFrames) {
  const CheckCase cases[] = {
      {kKeyboard, AnnounceCheck::kValid},
      {kReaderB, AnnounceCheck::kValid},
      {With(kKeyboard, 28, 0x5B), AnnounceCheck::kBadCrc},
      {With(kKeyboard, 29, 0xF3), AnnounceCheck::kBadEnd},
      {With(kKeyboard, 0, 0xF1), AnnounceCheck::kNotAnnounce},
      // Damaged text and CRC both, so the shape alone cannot tell it from a long frame.
      {With(With(kKeyboard, 2, 0x12), 28, 0x00), AnnounceCheck::kNotAnnounce},
  };
  for (const auto& [frame, check] : cases) {
    EXPECT_EQ(CheckAnnounce(frame), check) << AnnounceCheckName(check);
  }
}

TEST(AnnounceCheckTest, NamesTheVariant) {
  Frame kestrane = kKeyboard;
  std::memcpy(&kestrane[11], "AB.C.D-FGHIJKLM ", 16);
  EXPECT_STREQ(AnnounceVariant(kKeyboard), "Keyboard");
  EXPECT_STREQ(AnnounceVariant(kestrane), "Kestrane");
  EXPECT_EQ(AnnounceText(kestrane), "AB.C.D-FGHIJKLM ");
  EXPECT_STREQ(AnnounceVariant(With(kReaderB, 1, 0xFF)), "unknown");
  EXPECT_STREQ(AnnounceVariant(With(With(kReaderB, 1, 0xFF), 2, 0x00)), "ReaderA");
  EXPECT_STREQ(AnnounceVariant(kReaderB), "ReaderB");
}

TEST(AnnounceCheckTest, ReplyCarriesTheCodeInByteNine) {
  const auto reply = BuildAnnounceReply(kKeyboard, kAnnounceRefused);
  EXPECT_EQ(reply.size(), 14u);
  EXPECT_EQ(reply[0], 0xF0);
  EXPECT_EQ(reply[9], 0x05);
  EXPECT_EQ(reply[13], 0xF2);
}

}  // namespace
}  // namespace devsim
