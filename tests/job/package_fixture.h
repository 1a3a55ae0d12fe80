// Test helpers for packages: real files in a temporary folder, package bytes built field by field,
// an operator surface that records what job code asks of it, and captured debug strings.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "job/operator_surface.h"
#include "job/package_format.h"
#include "tools/pkg/package_maker.h"

namespace job::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // Writes `bytes` to a file of that name in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const;
  std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The first known signature of `type`, or (for Unrecognized) bytes that match none.
std::array<std::uint8_t, kSignatureSize> SignatureOf(DeviceType type, int occurrence = 0);

// A package: header (signature, entry table) followed by the entries' texts in table order, then
// any trailing text.
class PackageBuilder {
 public:
  explicit PackageBuilder(DeviceType type = DeviceType::Keyboard, int occurrence = 0);
  PackageBuilder& Signature(const std::array<std::uint8_t, kSignatureSize>& signature);
  // An entry whose payloadChars is the length of `text`.
  PackageBuilder& Entry(std::int32_t id, const std::string& text);
  // An entry that declares `payloadChars` whatever the text that follows holds.
  PackageBuilder& EntryDeclaring(std::int32_t id, std::int32_t payloadChars,
                                 const std::string& text);
  PackageBuilder& Trailing(const std::string& text);
  std::string Bytes() const;

 private:
  PackageHeader header_;
  int entries_ = 0;
  std::string text_;
};

// The image as the package's upper-case hex text.
std::string HexText(const std::vector<std::uint8_t>& bytes);
// A well-formed image: `count` frames of `frameSize` bytes (length prefix included).
using pkg::FramesImage;

class RecordingSurface : public OperatorSurface {
 public:
  void ShowOperatorMessage(const char* text) override {
    calls.push_back(std::string("message:") + text);
  }
  void EnableUpdateButton(bool enabled) override {
    calls.push_back(enabled ? "update:on" : "update:off");
  }
  void EnableBrowseButton(bool enabled) override {
    calls.push_back(enabled ? "browse:on" : "browse:off");
  }
  void SetProgressRange(std::uint32_t upper) override {
    calls.push_back("range:" + std::to_string(upper));
  }
  void SetProgressPosition(std::uint32_t position) override {
    calls.push_back("position:" + std::to_string(position));
  }
  void SetPercentText(const char* text) override {
    calls.push_back(std::string("percent:") + text);
  }

  std::vector<std::string> calls;
};

// Collects the debug strings written while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;
  std::vector<std::string> strings;
};

}  // namespace job::testing
