#include "tools/devsim/announce_check.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "link/crc16.h"

namespace devsim {
namespace {

constexpr std::size_t kCrcFirst = 1;
constexpr std::size_t kCrcCovered = 26;
constexpr std::size_t kCrcHigh = 27;
constexpr std::size_t kCrcLow = 28;
constexpr std::size_t kEnd = 29;
constexpr std::size_t kGenericTextFirst = 11;
constexpr std::string_view kUpdaterText = "FirmwareUpdateAP";

constexpr std::uint8_t kGenericHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                                           0x00, 0x00, 0x01, 0x88, 0x10};
constexpr std::uint8_t kReaderAHeader[] = {0xFF, 0x00, 0xFF, 0xFF, 0x88, 0x14};
constexpr std::uint8_t kReaderBHeader[] = {0xAA, 0xAA, 0xFF, 0xFF, 0x88, 0x14};

template <std::size_t N>
bool StartsWith(AnnounceBytes frame, const std::uint8_t (&header)[N]) {
  return std::equal(header, header + N, frame.begin() + kCrcFirst);
}

bool KnownHeader(AnnounceBytes frame) {
  return StartsWith(frame, kGenericHeader) || StartsWith(frame, kReaderAHeader) ||
         StartsWith(frame, kReaderBHeader);
}

bool CrcMatches(AnnounceBytes frame) {
  const auto crc = devlink::ComputeCrc16(frame.data() + kCrcFirst, kCrcCovered);
  return frame[kCrcHigh] == (crc >> 8) && frame[kCrcLow] == (crc & 0xFF);
}

}  // namespace

AnnounceCheck CheckAnnounce(AnnounceBytes frame) {
  if (frame[0] != kAnnounceStart) return AnnounceCheck::kNotAnnounce;
  const bool endMatches = frame[kEnd] == kAnnounceEnd;
  if (CrcMatches(frame)) return endMatches ? AnnounceCheck::kValid : AnnounceCheck::kBadEnd;
  return endMatches && KnownHeader(frame) ? AnnounceCheck::kBadCrc : AnnounceCheck::kNotAnnounce;
}

const char* AnnounceCheckName(AnnounceCheck check) {
  switch (check) {
    case AnnounceCheck::kValid:
      return "valid";
    case AnnounceCheck::kBadCrc:
      return "crc";
    case AnnounceCheck::kBadEnd:
      return "end-byte";
    case AnnounceCheck::kNotAnnounce:
      break;
  }
  return "not-announce";
}

const char* AnnounceVariant(AnnounceBytes frame) {
  if (StartsWith(frame, kReaderAHeader)) return "ReaderA";
  if (StartsWith(frame, kReaderBHeader)) return "ReaderB";
  if (!StartsWith(frame, kGenericHeader)) return "unknown";
  const auto* text = reinterpret_cast<const char*>(frame.data() + kGenericTextFirst);
  return std::string_view(text, kUpdaterText.size()) == kUpdaterText ? "Keyboard" : "Kestrane";
}

std::string AnnounceText(AnnounceBytes frame) {
  std::string text;
  for (std::size_t i = kGenericTextFirst; i <= kCrcCovered; ++i) {
    const auto byte = frame[i];
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text += static_cast<char>(byte);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text;
}

AnnounceReply BuildAnnounceReply(AnnounceBytes frame, std::uint8_t code) {
  AnnounceReply reply{kAnnounceStart, frame[1], frame[2], frame[3], frame[4], 0x00, 0x00,
                      0x00,           0x01,     code,     0x00,     0x00,     0x00, kAnnounceEnd};
  const auto crc = devlink::ComputeCrc16(reply.data() + 1, 10);
  reply[11] = static_cast<std::uint8_t>(crc >> 8);
  reply[12] = static_cast<std::uint8_t>(crc & 0xFF);
  return reply;
}

}  // namespace devsim
