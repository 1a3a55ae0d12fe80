// Hostile package files against the loader: whatever the bytes, the loader reads nothing beyond
// the file or the image buffer, an accepted image's frames end exactly at its length and match
// the payload text, and every refusal tells the operator one of the known messages.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "job/operator_surface.h"
#include "job/package_loader.h"
#include "platform/debug_output.h"

namespace {

struct CountingSurface : job::OperatorSurface {
  void ShowOperatorMessage(const char* text) override {
    ++messages;
    lastMessage = text;
  }
  void EnableUpdateButton(bool) override {}
  void EnableBrowseButton(bool) override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void SetPercentText(const char*) override {}
  int messages = 0;
  const char* lastMessage = nullptr;
};

bool IsLoaderMessage(const char* text) {
  for (const char* known : {job::kMsgChooseFile, job::kMsgMorrisk, job::kMsgTambrel,
                            job::kMsgNotSupported, job::kMsgFileFailed}) {
    if (std::strcmp(text, known) == 0) return true;
  }
  return false;
}

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "package loader invariant broken: %s\n", what);
  std::abort();
}

void CheckAccepted(const job::UpdateJob& job, const std::uint8_t* data, std::size_t size) {
  const auto region = job::FindPayload(job.header, job.entryId);
  Require(region.has_value(), "an accepted package has a selected entry");
  const std::uint32_t pairs = job::DecodedByteCount(region->payloadChars);
  Require(job.frameBytes >= 0 && static_cast<std::uint32_t>(job.frameBytes) == pairs,
          "the image holds every pair of the payload");
  Require(static_cast<std::size_t>(job.frameBytes) <= job::kFrameBufferSize,
          "the image fits the frame buffer");
  // An empty payload may stand anywhere, even past the end: nothing is read from it.
  Require(pairs == 0 || (region->offset >= 0 &&
                         static_cast<std::uint64_t>(region->offset) + 2ULL * pairs <= size),
          "the payload lies inside the file");
  Require(job::FramesEndExactly(job.frameBuffer, static_cast<std::uint32_t>(job.frameBytes)),
          "the frames end exactly at the image length");
  const char* text = reinterpret_cast<const char*>(data) + region->offset;
  for (std::uint32_t i = 0; i < pairs; ++i) {
    Require(job.frameBuffer[i] == job::DecodeHexPair(text[2 * i], text[2 * i + 1]),
            "each byte is decoded from the pair read from the file");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto job = std::make_unique<job::UpdateJob>();
  static const int fd = [] {
    platform::SetDebugSink([](std::string_view) {});
    return memfd_create("package", 0);
  }();
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  Require(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size),
          "the fuzz input is written to its file");

  job->packageLoaded = 0;
  CountingSurface surface;
  try {
    const job::LoadResult result = job::LoadPackage(*job, path, surface);
    if (result == job::LoadResult::Loaded) {
      Require(surface.messages == 0, "an accepted package shows no message");
      CheckAccepted(*job, data, size);
      job->packageFile.Close();
    } else {
      Require(surface.messages == 1 && IsLoaderMessage(surface.lastMessage),
              "a refusal shows exactly one loader message");
      Require(job->packageLoaded == 0, "a refusal leaves no package loaded");
    }
  } catch (const platform::CFileException&) {
    // A negative payload offset is a positioning error, reported by the framework's file box.
  }
  Require(!job->packageFile.IsOpen(), "the package file is closed after each load here");
  return 0;
}
