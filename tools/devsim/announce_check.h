// The device's view of the announce: the 30-byte frame that opens an update, and its reply.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace devsim {

inline constexpr std::size_t kAnnounceSize = 30;
inline constexpr std::uint8_t kAnnounceStart = 0xF0;
inline constexpr std::uint8_t kAnnounceEnd = 0xF2;
inline constexpr std::size_t kReplySize = 14;
inline constexpr std::uint8_t kAnnounceAccepted = 0x04;
inline constexpr std::uint8_t kAnnounceRefused = 0x05;

using AnnounceBytes = std::span<const std::uint8_t, kAnnounceSize>;
using AnnounceReply = std::array<std::uint8_t, kReplySize>;

enum class AnnounceCheck {
  kValid,
  kBadCrc,      // shaped like an announce of a known variant, but the CRC does not match
  kBadEnd,      // the CRC matches, the end byte does not
  kNotAnnounce  // something else that happens to start with the start byte: a long frame
};

AnnounceCheck CheckAnnounce(AnnounceBytes frame);
const char* AnnounceCheckName(AnnounceCheck check);

// "Keyboard", "Kestrane", "ReaderA", "ReaderB" or "unknown", from bytes 1 to 26.
const char* AnnounceVariant(AnnounceBytes frame);
// The version text of a Kestrane announce (bytes 11 to 26), unprintable bytes as \xNN.
std::string AnnounceText(AnnounceBytes frame);

// The 14-byte answer: start byte, the announce's address bytes 1 to 4, 00 00 00 01, the code in
// byte 9, 00, a CRC-16 over bytes 1 to 10 (high byte first) and the end byte.
AnnounceReply BuildAnnounceReply(AnnounceBytes frame, std::uint8_t code);

}  // namespace devsim
