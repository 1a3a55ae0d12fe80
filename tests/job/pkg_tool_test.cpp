// ovrin-pkg as a program: packages it makes, and that its inspect agrees with the loader on them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

#include "job/package_loader.h"
#include "tests/job/package_fixture.h"
#include "tools/pkg/package_maker.h"

extern char** environ;

namespace job {
namespace {

using testing::DebugCapture;
using testing::RecordingSurface;
using testing::TempDir;

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class PkgToolTest : public ::testing::Test {
 protected:
  ToolResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), OVRIN_PKG_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string outPath = dir.PathOf("tool.out");
    const std::string errPath = dir.PathOf("tool.err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    ToolResult result;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      ::waitpid(pid, &status, 0);
      result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    return result;
  }

  // The loader's own verdict on a package: the operator message, or nothing when it loads.
  struct Verdict {
    bool loaded;
    std::string message;
    std::vector<std::uint8_t> image;
  };
  Verdict Load(const std::string& path) {
    const auto job = std::make_unique<UpdateJob>();
    RecordingSurface surface;
    DebugCapture debug;
    const bool loaded = LoadPackage(*job, path, surface) == LoadResult::Loaded;
    const std::string message = surface.calls.empty() || surface.calls[0].rfind("message:", 0) != 0
                                    ? std::string()
                                    : surface.calls[0].substr(8);
    return {loaded, message, {job->frameBuffer, job->frameBuffer + job->frameBytes}};
  }

  static std::string Escaped(const std::string& message) {
    std::string escaped;
    for (const char c : message) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return escaped;
  }

  static std::string UpdaterLine(const std::string& report) {
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("updater", 0) == 0) return line;
    }
    return {};
  }

  TempDir dir;
};

struct MakeCase {
  const char* name;
  std::vector<std::string> options;
  bool loads;
};

// Every kind of package the tool makes, with inspect's verdict checked against the loader's.
TEST_F(PkgToolTest, InspectAgreesWithTheLoaderOnEveryKindOfPackage) {
  const std::string malformedImage = dir.Write("malformed.img", std::string("\x00\x05\x01", 3));
  const std::string trailingByteImage = dir.Write("trailing.img", std::string("\x00\x00\x07", 3));
  const MakeCase cases[] = {
      {"keyboard", {"--type", "keyboard", "--frames", "5:40"}, true},
      {"kestrane", {"--type", "kestrane", "--frames", "5:40"}, true},
      {"kestrane-alt", {"--type", "kestrane-alt", "--frames", "5:40"}, true},
      {"joystick", {"--type", "joystick", "--frames", "5:40"}, true},
      {"reader-a", {"--type", "reader-a", "--frames", "5:40"}, true},
      {"reader-b", {"--type", "reader-b", "--frames", "5:40"}, true},
      {"morrisk", {"--type", "morrisk", "--frames", "5:40"}, false},
      {"tambrel", {"--type", "tambrel", "--frames", "5:40"}, false},
      {"unknown", {"--type", "unknown", "--frames", "5:40"}, false},
      {"empty image", {"--type", "keyboard", "--frames", "0:2"}, true},
      {"largest image", {"--type", "keyboard", "--frames", "14000:100"}, true},
      {"largest frame", {"--type", "keyboard", "--frames", "1:65537"}, true},
      {"entry at position 2",
       {"--type", "keyboard", "--frames", "3:9", "--entry-position", "2"},
       true},
      {"entry at position 6",
       {"--type", "reader-b", "--frames", "3:9", "--entry-position", "6"},
       true},
      {"two id-1 entries", {"--type", "kestrane", "--frames", "3:9", "--extra-entry", "1"}, true},
      {"entry after the selected one",
       {"--type", "keyboard", "--frames", "3:9", "--extra-entry", "4"},
       true},
      {"trailing text", {"--type", "keyboard", "--frames", "3:9", "--trailing", "\r\n"}, true},
      {"line breaks", {"--type", "keyboard", "--frames", "40:20", "--line-breaks"}, true},
      {"version", {"--type", "kestrane", "--frames", "3:9", "--version", "V2.01-20270101"}, true},
      {"no id-1 entry", {"--type", "keyboard", "--frames", "3:9", "--entry-id", "2"}, false},
      {"oversized", {"--type", "keyboard", "--frames", "3:9", "--payload-chars", "2800002"}, false},
      {"negative size", {"--type", "joystick", "--frames", "3:9", "--payload-chars", "-2"}, false},
      {"truncated", {"--type", "keyboard", "--frames", "3:9", "--payload-chars", "100"}, false},
      {"length past the end", {"--type", "keyboard", malformedImage}, false},
      {"lone trailing byte", {"--type", "keyboard", trailingByteImage}, false},
  };
  for (const MakeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string package = dir.PathOf("case.pkg");
    std::vector<std::string> make = {"make"};
    make.insert(make.end(), c.options.begin(), c.options.end());
    make.push_back(package);
    const ToolResult made = Run(make);
    ASSERT_EQ(made.status, 0) << made.err;

    const Verdict verdict = Load(package);
    EXPECT_EQ(verdict.loaded, c.loads);
    const ToolResult inspected = Run({"inspect", package});
    EXPECT_EQ(inspected.status, verdict.loaded ? 0 : 1) << inspected.out;
    EXPECT_EQ(UpdaterLine(inspected.out),
              verdict.loaded ? "updater    loads it"
                             : "updater    refuses it: \"" + Escaped(verdict.message) + "\"");
    if (!verdict.loaded) {
      EXPECT_NE(inspected.out.find("\nwhy "), std::string::npos) << inspected.out;
      EXPECT_EQ(inspected.out.find("not found by inspect"), std::string::npos) << inspected.out;
    }
  }
}

TEST_F(PkgToolTest, LoadedImageIsTheImageThePackageWasMadeFrom) {
  const std::vector<std::uint8_t> image = pkg::FramesImage(300, 21);
  const std::string imagePath = dir.Write("firmware.img", std::string(image.begin(), image.end()));
  for (const char* option : {"--line-breaks", "--trailing"}) {
    SCOPED_TRACE(option);
    const std::string package = dir.PathOf("firmware.pkg");
    std::vector<std::string> make = {"make", "--type", "reader-a", "--entry-position", "1", option};
    if (std::string(option) == "--trailing") make.push_back("0000");
    make.insert(make.end(), {imagePath, package});
    ASSERT_EQ(Run(make).status, 0);
    const std::size_t lineBreaks = ReadFile(package).find("\r\n");
    EXPECT_EQ(lineBreaks != std::string::npos, std::string(option) == "--line-breaks");

    EXPECT_TRUE(Load(package).image == image);
    const std::string written = dir.PathOf("written.img");
    ASSERT_EQ(Run({"image", package, written}).status, 0);
    EXPECT_EQ(ReadFile(written), std::string(image.begin(), image.end()));
  }
}

TEST_F(PkgToolTest, MakeWritesTheVersionTextAndTheFillerEntries) {
  const std::string package = dir.PathOf("version.pkg");
  ASSERT_EQ(Run({"make", "--type", "kestrane", "--frames", "2:4", "--version", "V7",
                 "--entry-position", "2", package})
                .status,
            0);
  const std::string bytes = ReadFile(package);
  PackageHeader header;
  std::copy_n(bytes.begin(), kHeaderSize, header.bytes.begin());
  const PackageEntry entry = ReadEntry(header, 2);
  EXPECT_EQ(entry.id, 1);
  EXPECT_EQ(entry.payloadChars, 16);
  EXPECT_EQ(std::string(entry.versionText.begin(), entry.versionText.end()), "V7            ");
  EXPECT_NE(ReadEntry(header, 0).id, 1);
  EXPECT_NE(ReadEntry(header, 1).id, 1);
  EXPECT_GT(ReadEntry(header, 0).payloadChars, 0);
  EXPECT_EQ(FindPayload(header, 1)->offset,
            628 + ReadEntry(header, 0).payloadChars + ReadEntry(header, 1).payloadChars);
}

TEST_F(PkgToolTest, InspectNamesTheReasonForARefusal) {
  const std::string package = dir.PathOf("short.pkg");
  ASSERT_EQ(
      Run({"make", "--type", "keyboard", "--frames", "3:9", "--payload-chars", "100", package})
          .status,
      0);
  const ToolResult inspected = Run({"inspect", package});
  EXPECT_NE(inspected.out.find("why        the file ends inside the payload: 54 of 100 characters"),
            std::string::npos)
      << inspected.out;
  EXPECT_NE(inspected.out.find("debug      \"Ovrin-Keyboard Firmware!!\\n\"\n"), std::string::npos)
      << inspected.out;

  const ToolResult missing = Run({"inspect", dir.PathOf("missing.pkg")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("updater    refuses it: \" Please Choice a Update File\\n\""),
            std::string::npos)
      << missing.out;
  EXPECT_EQ(Run({"image", package, dir.PathOf("never.img")}).status, 1);
}

TEST_F(PkgToolTest, BadArgumentsGetTheUsageAndStatusTwo) {
  const std::string image = dir.Write("x.img", std::string(2, '\0'));
  const std::string out = dir.PathOf("x.pkg");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"make", image, out},
      {"make", "--type", "toaster", image, out},
      {"make", "--type", "keyboard", image},
      {"make", "--type", "keyboard", "--frames", "3:9", image, out},
      {"make", "--type", "keyboard", "--frames", "3:1", out},
      {"make", "--type", "keyboard", "--frames", "3", out},
      {"make", "--type", "keyboard", "--frames", "x:9", out},
      {"make", "--type", "keyboard", "--version", "123456789012345", image, out},
      {"make", "--type", "keyboard", "--entry-position", "7", image, out},
      {"make", "--type", "keyboard", "--entry-position", "6", "--extra-entry", "2", image, out},
      {"make", "--type", "keyboard", "--bogus", image, out},
      {"make", "--type"},
      {"inspect"},
      {"inspect", out, out},
      {"image", out},
  };
  for (const auto& args : bad) {
    const ToolResult result = Run(args);
    std::string joined;
    for (const auto& arg : args) joined += arg + " ";
    EXPECT_EQ(result.status, 2) << joined;
    EXPECT_NE(result.err.find("usage:"), std::string::npos) << joined;
    EXPECT_TRUE(result.out.empty()) << joined;
  }
}

}  // namespace
}  // namespace job
