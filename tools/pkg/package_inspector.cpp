#include "tools/pkg/package_inspector.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "job/operator_surface.h"
#include "job/package_format.h"
#include "job/package_loader.h"
#include "job/update_job.h"
#include "platform/debug_output.h"
#include "platform/file.h"

namespace pkg {
namespace {

// Runs of frames of one size are listed up to this many, then summed up.
constexpr std::size_t kListedFrameRuns = 6;

// A quoted text with its line breaks and other control characters escaped.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\r') {
      quoted += "\\r";
    } else if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

// A file error's description, whose sentences stand on lines of their own, on one line.
std::string OneLine(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

const char* DeviceTypeName(job::DeviceType type) {
  switch (type) {
    case job::DeviceType::Kestrane:
      return "Kestrane";
    case job::DeviceType::Morrisk:
      return "Morrisk";
    case job::DeviceType::Tambrel:
      return "Tambrel";
    case job::DeviceType::Keyboard:
      return "Keyboard";
    case job::DeviceType::Joystick:
      return "Joystick";
    case job::DeviceType::ReaderA:
      return "ReaderA";
    case job::DeviceType::ReaderB:
      return "ReaderB";
    case job::DeviceType::Unrecognized:
      break;
  }
  return "Unrecognized";
}

// The operator surface of the report: it remembers what the updater would show.
class RecordingSurface : public job::OperatorSurface {
 public:
  void ShowOperatorMessage(const char* text) override { message = text; }
  void EnableUpdateButton(bool) override {}
  void EnableBrowseButton(bool) override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void SetPercentText(const char*) override {}
  std::optional<std::string> message;
};

struct LoaderVerdict {
  bool loaded = false;
  std::optional<std::string> message;    // the operator message, when refused by message
  std::optional<std::string> fileError;  // the file layer's error, shown in a stop-icon box
  std::vector<std::string> debugStrings;
  std::vector<std::uint8_t> image;
};

LoaderVerdict RunLoader(const std::string& path) {
  LoaderVerdict verdict;
  const auto job = std::make_unique<job::UpdateJob>();  // 1.4 MB: not on the stack
  RecordingSurface surface;
  platform::SetDebugSink([&](std::string_view text) { verdict.debugStrings.emplace_back(text); });
  try {
    verdict.loaded = job::LoadPackage(*job, path, surface) == job::LoadResult::Loaded;
    verdict.image.assign(job->frameBuffer, job->frameBuffer + job->frameBytes);
  } catch (const platform::CFileException& error) {
    verdict.fileError = error.what();
  }
  platform::SetDebugSink({});
  verdict.message = surface.message;
  return verdict;
}

// What the format code finds in the file, read on its own, for the report and its reasons.
class Report {
 public:
  Report(const std::string& path, std::ostream& out) : path_(path), out_(out) {}

  // Prints what the package holds and returns why the updater would refuse it, if it would.
  std::optional<std::string> Describe() {
    platform::CFile file;
    platform::CFileException* error = nullptr;
    if (!file.Open(path_, platform::CFile::modeRead, &error)) {
      const std::unique_ptr<platform::CFileException> owned(error);
      return "the file cannot be opened: " + OneLine(owned ? owned->what() : "");
    }
    const std::uint64_t length = file.GetLength();
    Line("package", path_ + ", " + std::to_string(length) + " bytes");
    if (file.Read(header_.bytes.data(), job::kHeaderSize) < job::kHeaderSize) {
      return "the file is shorter than the 628-byte header";
    }
    std::optional<std::string> refusal = DescribeSignature();
    DescribeEntries();
    if (refusal) return refusal;
    return DescribePayload(file, length);
  }

  void Line(const std::string& label, const std::string& text) {
    out_ << label << std::string(label.size() < 11 ? 11 - label.size() : 1, ' ') << text << '\n';
  }

 private:
  std::optional<std::string> DescribeSignature() {
    std::ostringstream hex;
    for (std::size_t i = 0; i < job::kSignatureSize; ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", header_.bytes[i]);
      hex << byte;
    }
    Line("signature", hex.str());
    const job::PackageSignature* signature = job::MatchSignature(header_);
    if (signature == nullptr) {
      Line("device", "Unrecognized (0)");
      return "the signature is none of the eight known ones";
    }
    const auto value = static_cast<int>(signature->deviceType);
    Line("device", std::string(DeviceTypeName(signature->deviceType)) + " (" +
                       std::to_string(value) + "), signature " +
                       std::to_string(signature - job::KnownSignatures().data() + 1) + " of 8");
    if (signature->deviceType == job::DeviceType::Morrisk ||
        signature->deviceType == job::DeviceType::Tambrel) {
      return std::string("the updater does not support ") + DeviceTypeName(signature->deviceType) +
             " packages";
    }
    return std::nullopt;
  }

  void DescribeEntries() {
    Line("entries", "position          id payloadChars      offset versionText");
    std::int64_t offset = job::kHeaderSize;
    for (int position = 0; position < job::kEntryCount; ++position) {
      const job::PackageEntry entry = job::ReadEntry(header_, position);
      const std::string_view version(entry.versionText.data(), entry.versionText.size());
      const bool empty = entry.id == 0 && entry.payloadChars == 0 &&
                         version.find_first_not_of('\0') == std::string_view::npos;
      char row[80];
      std::snprintf(row, sizeof row, "%8d %11d %12d %11lld ", position, entry.id,
                    entry.payloadChars, static_cast<long long>(offset));
      Line("", row + (empty ? std::string("(empty)") : Quoted(version)));
      offset += entry.payloadChars;
    }
  }

  std::optional<std::string> DescribePayload(platform::CFile& file, std::uint64_t length) {
    const std::optional<job::PayloadRegion> region =
        job::FindPayload(header_, job::kFirmwareEntryId);
    if (!region) return "no entry has the id 1";
    const std::uint32_t pairs = job::DecodedByteCount(region->payloadChars);
    Line("selected", "entry " + std::to_string(region->position) + ": offset " +
                         std::to_string(region->offset) + ", " +
                         std::to_string(region->payloadChars) + " characters, " +
                         std::to_string(pairs) + " bytes");
    if (region->offset < 0) return "the payload offset is negative";
    if (!job::PayloadWithinLimit(region->payloadChars)) {
      return std::to_string(static_cast<std::uint32_t>(region->payloadChars)) +
             " characters (unsigned) exceed the limit of 2800000";
    }
    const std::uint64_t present =
        length > static_cast<std::uint64_t>(region->offset)
            ? std::min<std::uint64_t>(length - static_cast<std::uint64_t>(region->offset),
                                      std::uint64_t{pairs} * 2)
            : 0;
    if (present < std::uint64_t{pairs} * 2) {
      return "the file ends inside the payload: " + std::to_string(present) + " of " +
             std::to_string(std::uint64_t{pairs} * 2) + " characters are present";
    }
    std::string text(std::size_t{pairs} * 2, '\0');
    file.SeekFromBegin(region->offset);
    file.Read(text.data(), static_cast<std::uint32_t>(text.size()));
    std::vector<std::uint8_t> image(pairs);
    job::DecodeHexText(text.data(), pairs, image.data());
    const auto lineBreaks = std::count(text.begin(), text.end(), '\n');
    if (lineBreaks > 0) Line("text", std::to_string(lineBreaks) + " CR LF line breaks");
    return DescribeFrames(image);
  }

  std::optional<std::string> DescribeFrames(const std::vector<std::uint8_t>& image) {
    const auto frameBytes = static_cast<std::uint32_t>(image.size());
    std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;  // size, count
    std::uint32_t frames = 0;
    std::uint32_t offset = 0;
    std::optional<std::string> malformed;
    while (offset < frameBytes) {
      const std::optional<std::uint32_t> size = job::FrameSizeAt(image.data(), frameBytes, offset);
      if (!size) {
        malformed = frameBytes - offset == 1
                        ? "a lone byte at offset " + std::to_string(offset) + " ends the image"
                        : "the frame at offset " + std::to_string(offset) + " declares " +
                              std::to_string(image[offset] * 256 + image[offset + 1] + 2) +
                              " bytes, only " + std::to_string(frameBytes - offset) + " remain";
        break;
      }
      if (runs.empty() || runs.back().first != *size) runs.emplace_back(*size, 0);
      ++runs.back().second;
      ++frames;
      offset += *size;
    }
    std::ostringstream summary;
    summary << frames << (malformed ? " whole" : "") << " frames";
    for (std::size_t i = 0; i < runs.size() && i < kListedFrameRuns; ++i) {
      summary << (i == 0 ? ": " : ", ") << runs[i].second << " x " << runs[i].first;
    }
    if (runs.size() > kListedFrameRuns) summary << ", ... " << runs.size() << " runs in all";
    if (!runs.empty()) summary << " bytes";
    Line("frames", summary.str());
    return malformed;
  }

  std::string path_;
  std::ostream& out_;
  job::PackageHeader header_;
};

}  // namespace

int InspectPackage(const std::string& path, std::ostream& out) {
  Report report(path, out);
  const std::optional<std::string> reason = report.Describe();
  const LoaderVerdict verdict = RunLoader(path);
  std::string debug;
  for (const std::string& text : verdict.debugStrings) {
    if (!debug.empty()) debug += ' ';
    debug += Quoted(text);
  }
  report.Line("debug", debug.empty() ? "none" : debug);
  if (verdict.loaded) {
    report.Line("updater", "loads it");
    return 0;
  }
  if (verdict.fileError) {
    report.Line("updater", "stops with a file error: " + Quoted(*verdict.fileError));
  } else {
    report.Line("updater", "refuses it: " + Quoted(verdict.message.value_or("")));
  }
  report.Line("why", reason.value_or("(not found by inspect)"));
  return 1;
}

int WriteLoadedImage(const std::string& path, const std::string& imagePath, std::ostream& err) {
  const LoaderVerdict verdict = RunLoader(path);
  if (!verdict.loaded) {
    err << "ovrin-pkg: the updater refuses " << path << ": "
        << Quoted(verdict.fileError.value_or(verdict.message.value_or(""))) << '\n';
    return 1;
  }
  std::ofstream out(imagePath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(verdict.image.data()),
            static_cast<std::streamsize>(verdict.image.size()));
  if (!out) {
    err << "ovrin-pkg: cannot write " << imagePath << '\n';
    return 1;
  }
  return 0;
}

}  // namespace pkg
