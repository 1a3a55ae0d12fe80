#include "tests/job/package_fixture.h"

#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "platform/debug_output.h"

namespace job::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ovrin-pkg-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = PathOf(name);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
  return path;
}

std::array<std::uint8_t, kSignatureSize> SignatureOf(DeviceType type, int occurrence) {
  if (type == DeviceType::Unrecognized) {
    return {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78,
            0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
  }
  for (const PackageSignature& signature : KnownSignatures()) {
    if (signature.deviceType == type && occurrence-- == 0) return signature.bytes;
  }
  throw std::invalid_argument("no such signature");
}

PackageBuilder::PackageBuilder(DeviceType type, int occurrence) {
  Signature(SignatureOf(type, occurrence));
}

PackageBuilder& PackageBuilder::Signature(const std::array<std::uint8_t, kSignatureSize>& bytes) {
  std::memcpy(header_.bytes.data(), bytes.data(), kSignatureSize);
  return *this;
}

PackageBuilder& PackageBuilder::Entry(std::int32_t id, const std::string& text) {
  return EntryDeclaring(id, static_cast<std::int32_t>(text.size()), text);
}

PackageBuilder& PackageBuilder::EntryDeclaring(std::int32_t id, std::int32_t payloadChars,
                                               const std::string& text) {
  PackageEntry entry = ReadEntry(header_, entries_);
  entry.id = id;
  entry.payloadChars = payloadChars;
  WriteEntry(header_, entries_++, entry);
  text_ += text;
  return *this;
}

PackageBuilder& PackageBuilder::Version(int position, const std::string& versionText) {
  PackageEntry entry = ReadEntry(header_, position);
  std::memcpy(entry.versionText.data(), versionText.data(),
              std::min(versionText.size(), kVersionTextSize));
  WriteEntry(header_, position, entry);
  return *this;
}

PackageBuilder& PackageBuilder::Trailing(const std::string& text) {
  text_ += text;
  return *this;
}

std::string PackageBuilder::Bytes() const {
  return std::string(header_.bytes.begin(), header_.bytes.end()) + text_;
}

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
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

DebugCapture::DebugCapture() {
  platform::SetDebugSink([this](std::string_view text) { strings.emplace_back(text); });
}

DebugCapture::~DebugCapture() {
  platform::SetDebugSink({});
}

}  // namespace job::testing
