#include "job/package_format.h"

#include <cstring>

namespace job {
namespace {

constexpr std::size_t kEntryIdOffset = 0;
constexpr std::size_t kEntryPayloadCharsOffset = 8;
constexpr std::size_t kEntryVersionTextOffset = 17;

std::size_t EntryOffset(int position) {
  return kEntryTableOffset + kEntrySize * static_cast<std::size_t>(position);
}

std::int32_t ReadLittleEndian32(const std::uint8_t* bytes) {
  const std::uint32_t value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                              std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  return static_cast<std::int32_t>(value);
}

void WriteLittleEndian32(std::uint8_t* bytes, std::int32_t signedValue) {
  const auto value = static_cast<std::uint32_t>(signedValue);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The package's pair conversion is the C library's unsigned base-16 text-to-number conversion of
// the two characters as a text of their own, keeping the low 8 bits. Written out here for a
// NUL-terminated text of at most two characters, where no overflow can occur.
constexpr bool IsConversionSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

constexpr int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr std::uint8_t ConvertHexText(const char* text) {
  while (IsConversionSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-') ++text;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
  std::uint32_t value = 0;
  for (; HexDigitValue(*text) >= 0; ++text) {
    value = value * 16 + static_cast<std::uint32_t>(HexDigitValue(*text));
  }
  if (negative) value = 0u - value;  // modulo 2^32: the two's complement byte
  return static_cast<std::uint8_t>(value & 0xFF);
}

constexpr std::size_t PairIndex(char high, char low) {
  return std::size_t{static_cast<unsigned char>(high)} << 8 | static_cast<unsigned char>(low);
}

using DecodeTable = std::array<std::uint8_t, 65536>;

constexpr DecodeTable BuildDecodeTable() {
  DecodeTable table{};
  for (std::size_t index = 0; index < table.size(); ++index) {
    const char text[3] = {static_cast<char>(index >> 8), static_cast<char>(index & 0xFF), '\0'};
    table[index] = ConvertHexText(text);
  }
  return table;
}

// Filled once at start-up; too many steps for every compiler's constant evaluation.
const DecodeTable kDecodeTable = BuildDecodeTable();

}  // namespace

PackageEntry ReadEntry(const PackageHeader& header, int position) {
  const std::uint8_t* entry = header.bytes.data() + EntryOffset(position);
  PackageEntry result;
  result.id = ReadLittleEndian32(entry + kEntryIdOffset);
  result.payloadChars = ReadLittleEndian32(entry + kEntryPayloadCharsOffset);
  std::memcpy(result.versionText.data(), entry + kEntryVersionTextOffset, kVersionTextSize);
  return result;
}

void WriteEntry(PackageHeader& header, int position, const PackageEntry& entry) {
  std::uint8_t* bytes = header.bytes.data() + EntryOffset(position);
  WriteLittleEndian32(bytes + kEntryIdOffset, entry.id);
  WriteLittleEndian32(bytes + kEntryPayloadCharsOffset, entry.payloadChars);
  std::memcpy(bytes + kEntryVersionTextOffset, entry.versionText.data(), kVersionTextSize);
}

const std::array<PackageSignature, 8>& KnownSignatures() {
  static const std::array<PackageSignature, 8> signatures{{
      {{0xAA, 0xBB, 0x55, 0x00, 0xF3, 0xD2, 0x42, 0x98, 0x77, 0xAA, 0xB2, 0x45, 0x00, 0x89, 0x31,
        0x45},
       DeviceType::Kestrane,
       "Kestrane Firmware,files=Dulvick!!\n"},
      {{0x77, 0xAA, 0xB2, 0x45, 0x00, 0x89, 0x31, 0x45, 0x77, 0x13, 0x89, 0x71, 0xF3, 0xD2, 0x42,
        0x98},
       DeviceType::Kestrane,
       "Kestrane Firmware!!\n"},
      {{0xA3, 0xEB, 0x00, 0xAA, 0xF5, 0x55, 0x31, 0x56, 0xBB, 0xC3, 0x27, 0x98, 0xEE, 0x00, 0x37,
        0x57},
       DeviceType::Morrisk,
       "Morrisk Firmware!!\n"},
      {{0xAC, 0xF3, 0x5A, 0xBB, 0x3E, 0x00, 0x23, 0xBB, 0x99, 0xBB, 0x4E, 0x5A, 0x30, 0x9E, 0x00,
        0x54},
       DeviceType::Tambrel,
       "Tambrel Firmware!!\n"},
      {{0x12, 0x00, 0xF2, 0xD4, 0x02, 0xAA, 0x76, 0x75, 0x34, 0x99, 0xCE, 0xCA, 0x31, 0x0E, 0x05,
        0x35},
       DeviceType::Keyboard,
       "Ovrin-Keyboard Firmware!!\n"},
      {{0x43, 0x9D, 0x18, 0x19, 0x79, 0x06, 0x12, 0x77, 0x88, 0x55, 0x66, 0xAB, 0xCD, 0xEF, 0xA0,
        0xF2},
       DeviceType::Joystick,
       "Ovrin-Joystick Firmware!!\n"},
      {{0xEF, 0x8A, 0x27, 0xA2, 0xBC, 0x30, 0x17, 0x8F, 0xC3, 0x45, 0x7B, 0xE2, 0x59, 0x26, 0x61,
        0x00},
       DeviceType::ReaderA,
       "Ovrin-Reader Firmware!!\n"},
      {{0xEF, 0x8A, 0x27, 0xA2, 0xBC, 0x30, 0x17, 0x8F, 0xC3, 0x45, 0x7B, 0xE2, 0x59, 0x26, 0x61,
        0x01},
       DeviceType::ReaderB,
       "Ovrin-Reader Firmware!!\n"},
  }};
  return signatures;
}

const PackageSignature* MatchSignature(const PackageHeader& header) {
  for (const PackageSignature& signature : KnownSignatures()) {
    if (std::memcmp(signature.bytes.data(), header.bytes.data(), kSignatureSize) == 0) {
      return &signature;
    }
  }
  return nullptr;
}

std::optional<PayloadRegion> FindPayload(const PackageHeader& header, std::int32_t entryId) {
  // 64 bits: seven 32-bit sizes cannot overflow, and negative sizes stay visible as such.
  std::int64_t offset = kHeaderSize;
  for (int position = 0; position < kEntryCount; ++position) {
    const PackageEntry entry = ReadEntry(header, position);
    if (entry.id == entryId) return PayloadRegion{position, offset, entry.payloadChars};
    offset += entry.payloadChars;
  }
  return std::nullopt;
}

bool PayloadWithinLimit(std::int32_t payloadChars) {
  return (static_cast<std::uint32_t>(payloadChars) & ~std::uint32_t{1}) <= kMaxPayloadChars;
}

std::uint32_t DecodedByteCount(std::int32_t payloadChars) {
  return static_cast<std::uint32_t>(payloadChars) / 2;
}

std::uint8_t DecodeHexPair(char high, char low) {
  return kDecodeTable[PairIndex(high, low)];
}

void DecodeHexText(const char* text, std::size_t pairs, std::uint8_t* out) {
  for (std::size_t i = 0; i < pairs; ++i) out[i] = DecodeHexPair(text[2 * i], text[2 * i + 1]);
}

std::optional<std::uint32_t> FrameSizeAt(const std::uint8_t* image, std::uint32_t frameBytes,
                                         std::uint32_t offset) {
  // 64 bits, so that an offset near the top of the range cannot wrap past the checks.
  const std::uint64_t end = frameBytes;
  if (std::uint64_t{offset} + 2 > end) return std::nullopt;
  const std::uint32_t size = (std::uint32_t{image[offset]} << 8 | image[offset + 1]) + 2;
  if (std::uint64_t{offset} + size > end) return std::nullopt;
  return size;
}

bool FramesEndExactly(const std::uint8_t* image, std::uint32_t frameBytes) {
  std::uint32_t offset = 0;
  while (offset < frameBytes) {
    const std::optional<std::uint32_t> size = FrameSizeAt(image, frameBytes, offset);
    if (!size) return false;
    offset += *size;
  }
  return true;
}

}  // namespace job
