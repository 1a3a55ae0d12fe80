// Building firmware packages for tests, fixtures and people preparing packages.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "job/package_format.h"

namespace pkg {

struct PackageKind {
  const char* name;  // as given to --type
  std::array<std::uint8_t, job::kSignatureSize> signature;
};

// keyboard, kestrane, kestrane-alt (the second Kestrane signature), joystick, reader-a, reader-b,
// morrisk, tambrel, and unknown (a signature that matches none).
const std::vector<PackageKind>& PackageKinds();
const PackageKind* FindPackageKind(const std::string& name);

struct MakeOptions {
  const PackageKind* kind = nullptr;
  std::string versionText = "V1.00-20261211";
  int entryPosition = 0;  // table position of the firmware entry, after filler entries
  std::int32_t entryId = job::kFirmwareEntryId;
  std::optional<std::int32_t> extraEntryId;  // an entry after the firmware entry
  std::optional<std::int32_t> declaredPayloadChars;
  bool lineBreaks = false;
  std::string trailing;
};

// The firmware entry's text: the image in upper-case hex. With line breaks, a 0x00 byte is written
// now and then as CR LF, which the updater decodes as 0x00, so the image stays the same.
std::string PayloadText(const std::vector<std::uint8_t>& image, bool lineBreaks);
std::string BuildPackage(const MakeOptions& options, const std::vector<std::uint8_t>& image);

// A well-formed image: `count` frames of `frameSize` bytes (L + 2), data bytes a fixed pattern.
std::vector<std::uint8_t> FramesImage(std::uint32_t count, std::uint32_t frameSize);

}  // namespace pkg
