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

PackageBuilder& PackageBuilder::Trailing(const std::string& text) {
  text_ += text;
  return *this;
}

std::string PackageBuilder::Bytes() const {
  return std::string(header_.bytes.begin(), header_.bytes.end()) + text_;
}

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  return pkg::PayloadText(bytes, false);
}

DebugCapture::DebugCapture() {
  platform::SetDebugSink([this](std::string_view text) { strings.emplace_back(text); });
}

DebugCapture::~DebugCapture() {
  platform::SetDebugSink({});
}

}  // namespace job::testing
