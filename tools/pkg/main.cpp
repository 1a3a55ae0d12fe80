// ovrin-pkg: builds firmware packages and shows what a package holds.
#include <charconv>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/pkg/package_inspector.h"
#include "tools/pkg/package_maker.h"

namespace {

constexpr int kUsageStatus = 2;
// --frames builds images up to this size; larger ones serve no package.
constexpr std::uint64_t kMaxFramesImageBytes = 64ull * 1024 * 1024;

const char kUsage[] =
    "usage:\n"
    "  ovrin-pkg make --type TYPE [OPTIONS] IMAGE OUT\n"
    "  ovrin-pkg make --type TYPE --frames N:SIZE [OPTIONS] OUT\n"
    "  ovrin-pkg inspect PACKAGE\n"
    "  ovrin-pkg image PACKAGE OUT\n"
    "\n"
    "make builds a package whose entry with id 1 holds the binary IMAGE as hex text.\n"
    "  --type TYPE           keyboard, kestrane, kestrane-alt (the second Kestrane signature),\n"
    "                        joystick, reader-a, reader-b, morrisk, tambrel or unknown\n"
    "  --frames N:SIZE       instead of IMAGE: N well-formed frames of SIZE bytes each\n"
    "                        (SIZE = L + 2, from 2 to 65537), data bytes a fixed pattern\n"
    "  --version TEXT        the entry's versionText, at most 14 characters, padded with spaces\n"
    "                        (default V1.00-20261211)\n"
    "  --entry-position K    put the entry at table position K (0 to 6), after K filler\n"
    "                        entries with other ids and payloads of their own\n"
    "  --extra-entry ID      add an entry with this id and a payload of its own after it\n"
    "                        (1 makes a package with two entries of id 1)\n"
    "  --trailing TEXT       append TEXT after the last payload, outside every entry\n"
    "  --line-breaks         write a 0x00 byte of the image as CR LF once a line holds 16 bytes\n"
    "                        or more; the updater decodes CR LF as 0x00, so the image stays\n"
    "                        the same (an image without 0x00 bytes gets no line breaks)\n"
    "  --entry-id ID         the entry's id instead of 1 (anything else: no entry to send)\n"
    "  --payload-chars N     declare N payload characters whatever the text holds (to make\n"
    "                        oversized, negative or truncated fixtures)\n"
    "inspect prints the signature, device type, entry table, selected payload, frames and\n"
    "  whether the updater loads the package, or the message it shows and why;\n"
    "  exit status 0 when it would load it, 1 when not.\n"
    "image writes the image that the updater would load from PACKAGE to OUT.\n"
    "Bad arguments: this text and exit status 2.\n";

struct UsageError {
  std::string what;
};

template <typename Number>
Number ParseNumber(const std::string& text, const char* what) {
  Number value{};
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || at != end || text.empty()) {
    throw UsageError{std::string("bad ") + what + ": " + text};
  }
  return value;
}

struct FrameRun {
  std::uint32_t count;
  std::uint32_t frameSize;
};

FrameRun ParseFrames(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) throw UsageError{"--frames takes N:SIZE"};
  const FrameRun run{ParseNumber<std::uint32_t>(text.substr(0, colon), "frame count"),
                     ParseNumber<std::uint32_t>(text.substr(colon + 1), "frame size")};
  if (run.frameSize < 2 || run.frameSize > 65'537) {
    throw UsageError{"frame size must be 2 to 65537"};
  }
  if (std::uint64_t{run.count} * run.frameSize > kMaxFramesImageBytes) {
    throw UsageError{"--frames image larger than 64 MiB"};
  }
  return run;
}

std::vector<std::uint8_t> ReadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

class Arguments {
 public:
  Arguments(int argc, char** argv) : items_(argv + 1, argv + argc) {}
  bool Done() const { return next_ >= items_.size(); }
  const std::string& Peek() const { return items_[next_]; }
  std::string Take(const char* what) {
    if (Done()) throw UsageError{std::string("missing ") + what};
    return items_[next_++];
  }

 private:
  std::vector<std::string> items_;
  std::size_t next_ = 0;
};

int Make(Arguments& args) {
  pkg::MakeOptions options;
  std::optional<FrameRun> frames;
  std::vector<std::string> files;
  while (!args.Done()) {
    const std::string arg = args.Take("argument");
    if (arg == "--type") {
      const std::string name = args.Take("--type value");
      options.kind = pkg::FindPackageKind(name);
      if (options.kind == nullptr) throw UsageError{"unknown type: " + name};
    } else if (arg == "--frames") {
      frames = ParseFrames(args.Take("--frames value"));
    } else if (arg == "--version") {
      options.versionText = args.Take("--version value");
      if (options.versionText.size() > job::kVersionTextSize) {
        throw UsageError{"--version takes at most 14 characters"};
      }
    } else if (arg == "--entry-position") {
      options.entryPosition = ParseNumber<int>(args.Take("--entry-position value"), "position");
    } else if (arg == "--extra-entry") {
      options.extraEntryId = ParseNumber<std::int32_t>(args.Take("--extra-entry value"), "id");
    } else if (arg == "--entry-id") {
      options.entryId = ParseNumber<std::int32_t>(args.Take("--entry-id value"), "id");
    } else if (arg == "--payload-chars") {
      options.declaredPayloadChars =
          ParseNumber<std::int32_t>(args.Take("--payload-chars value"), "payload characters");
    } else if (arg == "--trailing") {
      options.trailing = args.Take("--trailing value");
    } else if (arg == "--line-breaks") {
      options.lineBreaks = true;
    } else if (arg.starts_with("--")) {
      throw UsageError{"unknown option: " + arg};
    } else {
      files.push_back(arg);
    }
  }
  if (options.kind == nullptr) throw UsageError{"make needs --type"};
  const int lastPosition = job::kEntryCount - (options.extraEntryId ? 2 : 1);
  if (options.entryPosition < 0 || options.entryPosition > lastPosition) {
    throw UsageError{"--entry-position must be 0 to " + std::to_string(lastPosition)};
  }
  if (files.size() != (frames ? 1u : 2u)) {
    throw UsageError{frames ? "make --frames takes OUT only" : "make takes IMAGE and OUT"};
  }
  const std::vector<std::uint8_t> image =
      frames ? pkg::FramesImage(frames->count, frames->frameSize) : ReadImageFile(files[0]);
  WriteFile(files.back(), pkg::BuildPackage(options, image));
  return 0;
}

int Run(Arguments& args) {
  const std::string command = args.Take("command");
  if (command == "make") return Make(args);
  if (command == "inspect" || command == "image") {
    const std::string package = args.Take("PACKAGE");
    const std::optional<std::string> out =
        command == "image" ? std::optional(args.Take("OUT")) : std::nullopt;
    if (!args.Done()) throw UsageError{"unexpected argument: " + args.Peek()};
    return out ? pkg::WriteLoadedImage(package, *out, std::cerr)
               : pkg::InspectPackage(package, std::cout);
  }
  if (command == "--help" || command == "-h") {
    std::cout << kUsage;
    return 0;
  }
  throw UsageError{"unknown command: " + command};
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args(argc, argv);
  try {
    return Run(args);
  } catch (const UsageError& error) {
    std::cerr << "ovrin-pkg: " << error.what << "\n" << kUsage;
    return kUsageStatus;
  } catch (const std::exception& error) {
    std::cerr << "ovrin-pkg: " << error.what() << '\n';
    return 1;
  }
}
