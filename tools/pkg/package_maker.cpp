#include "tools/pkg/package_maker.h"

#include <algorithm>
#include <cstring>

namespace pkg {
namespace {

// Line breaks come at the first 0x00 byte once this many bytes have passed since the last one.
constexpr std::size_t kBytesPerLine = 16;

std::array<std::uint8_t, job::kSignatureSize> KnownSignature(std::size_t position) {
  return job::KnownSignatures()[position].bytes;
}

void AppendHexByte(std::string& text, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += kDigits[byte >> 4];
  text += kDigits[byte & 0x0F];
}

std::string HexOf(const std::vector<std::uint8_t>& bytes) {
  return PayloadText(bytes, false);
}

class HeaderWriter {
 public:
  explicit HeaderWriter(const std::array<std::uint8_t, job::kSignatureSize>& signature) {
    std::memcpy(header_.bytes.data(), signature.data(), signature.size());
  }

  void Add(std::int32_t id, std::int32_t payloadChars, const std::string& versionText) {
    job::PackageEntry entry;
    entry.id = id;
    entry.payloadChars = payloadChars;
    entry.versionText.fill(' ');
    std::copy_n(versionText.begin(), std::min(versionText.size(), job::kVersionTextSize),
                entry.versionText.begin());
    job::WriteEntry(header_, next_++, entry);
  }

  std::string Bytes() const { return std::string(header_.bytes.begin(), header_.bytes.end()); }

 private:
  job::PackageHeader header_;
  int next_ = 0;
};

}  // namespace

const std::vector<PackageKind>& PackageKinds() {
  static const std::vector<PackageKind> kinds = {
      {"keyboard", KnownSignature(4)},
      {"kestrane", KnownSignature(0)},
      {"kestrane-alt", KnownSignature(1)},
      {"joystick", KnownSignature(5)},
      {"reader-a", KnownSignature(6)},
      {"reader-b", KnownSignature(7)},
      {"morrisk", KnownSignature(2)},
      {"tambrel", KnownSignature(3)},
      {"unknown",
       {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1,
        0xF0}},
  };
  return kinds;
}

const PackageKind* FindPackageKind(const std::string& name) {
  for (const PackageKind& kind : PackageKinds()) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

std::string PayloadText(const std::vector<std::uint8_t>& image, bool lineBreaks) {
  std::string text;
  text.reserve(image.size() * 2);
  std::size_t nextBreak = kBytesPerLine;
  for (std::size_t i = 0; i < image.size(); ++i) {
    if (lineBreaks && image[i] == 0x00 && i >= nextBreak) {
      text += "\r\n";
      nextBreak = i + kBytesPerLine;
    } else {
      AppendHexByte(text, image[i]);
    }
  }
  return text;
}

std::string BuildPackage(const MakeOptions& options, const std::vector<std::uint8_t>& image) {
  HeaderWriter header(options.kind->signature);
  std::string payloads;
  // Filler entries before the firmware entry, each with an id of its own and a payload.
  for (int position = 0; position < options.entryPosition; ++position) {
    const std::string text = HexOf(FramesImage(1, static_cast<std::uint32_t>(4 + 2 * position)));
    header.Add(100 + position, static_cast<std::int32_t>(text.size()),
               "FILLER-ENTRY-" + std::to_string(position));
    payloads += text;
  }
  const std::string firmware = PayloadText(image, options.lineBreaks);
  header.Add(options.entryId,
             options.declaredPayloadChars.value_or(static_cast<std::int32_t>(firmware.size())),
             options.versionText);
  payloads += firmware;
  if (options.extraEntryId) {
    const std::string text = HexOf(FramesImage(2, 9));
    header.Add(*options.extraEntryId, static_cast<std::int32_t>(text.size()), "EXTRA-ENTRY-01");
    payloads += text;
  }
  return header.Bytes() + payloads + options.trailing;
}

std::vector<std::uint8_t> FramesImage(std::uint32_t count, std::uint32_t frameSize) {
  std::vector<std::uint8_t> image;
  image.reserve(std::size_t{count} * frameSize);
  const std::uint32_t length = frameSize - 2;
  for (std::uint32_t frame = 0; frame < count; ++frame) {
    image.push_back(static_cast<std::uint8_t>(length >> 8));
    image.push_back(static_cast<std::uint8_t>(length & 0xFF));
    for (std::uint32_t i = 0; i < length; ++i) {
      image.push_back(static_cast<std::uint8_t>(frame * 7 + i * 13 + 1));
    }
  }
  return image;
}

}  // namespace pkg
