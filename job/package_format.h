// The firmware package: a 628-byte header (signature, entry table), then the entries' payloads as
// ASCII hexadecimal text. The decoded image is a run of length-prefixed firmware frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "job/device_type.h"

namespace job {

inline constexpr std::size_t kHeaderSize = 628;
inline constexpr std::size_t kSignatureSize = 16;
inline constexpr std::size_t kEntryTableOffset = 32;
inline constexpr std::size_t kEntrySize = 76;
inline constexpr int kEntryCount = 7;
inline constexpr std::size_t kVersionTextSize = 14;
inline constexpr std::size_t kFrameBufferSize = 1'400'000;
inline constexpr std::uint32_t kMaxPayloadChars = 2'800'000;  // after clearing the lowest bit
// The entry id that every supported package sends.
inline constexpr std::int32_t kFirmwareEntryId = 1;

struct PackageHeader {
  std::array<std::uint8_t, kHeaderSize> bytes{};
};

// One entry of the header's table, read from its little-endian bytes.
struct PackageEntry {
  std::int32_t id = 0;
  std::int32_t payloadChars = 0;
  std::array<char, kVersionTextSize> versionText{};
};

PackageEntry ReadEntry(const PackageHeader& header, int position);
void WriteEntry(PackageHeader& header, int position, const PackageEntry& entry);

struct PackageSignature {
  std::array<std::uint8_t, kSignatureSize> bytes;
  DeviceType deviceType;
  const char* recognitionText;  // debug string written when the loader recognises it
};

// The eight known signatures, in the order in which they are compared.
const std::array<PackageSignature, 8>& KnownSignatures();
// The first known signature equal to header bytes 0 to 15, or null for an unknown package.
const PackageSignature* MatchSignature(const PackageHeader& header);

// Where the selected entry's payload lies: the first entry whose id is `entryId`, its offset
// being 628 plus the payload characters of the entries before it.
struct PayloadRegion {
  int position;
  std::int64_t offset;
  std::int32_t payloadChars;
};
std::optional<PayloadRegion> FindPayload(const PackageHeader& header, std::int32_t entryId);

// A payload of `payloadChars` characters fits the frame buffer (lowest bit cleared, unsigned).
bool PayloadWithinLimit(std::int32_t payloadChars);
// Bytes decoded from a payload: payloadChars / 2, unsigned.
std::uint32_t DecodedByteCount(std::int32_t payloadChars);

// The byte that the two characters give under the package's conversion rule (the C library's
// unsigned base-16 conversion of the two-character text, low 8 bits), by table look-up.
std::uint8_t DecodeHexPair(char high, char low);
// Decodes `pairs` pairs from `text` into `out`.
void DecodeHexText(const char* text, std::size_t pairs, std::uint8_t* out);

// Size on the line (L + 2) of the frame at `offset`, whose length prefix is read most significant
// byte first, or nothing when the frame does not lie wholly within the image's `frameBytes`.
std::optional<std::uint32_t> FrameSizeAt(const std::uint8_t* image, std::uint32_t frameBytes,
                                         std::uint32_t offset);
// The frames, laid end to end from offset 0, end exactly at `frameBytes`.
bool FramesEndExactly(const std::uint8_t* image, std::uint32_t frameBytes);
// Payload characters a frame of `frameSize` bytes was decoded from.
constexpr std::uint32_t FrameProgressChars(std::uint32_t frameSize) { return 2 * frameSize; }

}  // namespace job
