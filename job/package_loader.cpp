#include "job/package_loader.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "platform/debug_output.h"

namespace job {
namespace {

// Payload text is read in chunks of this many characters (even, so no pair straddles two reads):
// few reads, and a buffer that stays in the cache while it is decoded.
constexpr std::uint32_t kReadChunkChars = 64 * 1024;

const char* RefusalMessageFor(DeviceType deviceType) {
  switch (deviceType) {
    case DeviceType::Morrisk:
      return kMsgMorrisk;
    case DeviceType::Tambrel:
      return kMsgTambrel;
    default:
      return nullptr;
  }
}

LoadResult Refuse(OperatorSurface& surface, const char* message) {
  surface.ShowOperatorMessage(message);
  return LoadResult::Refused;
}

// The refusal of a recognised package whose payload cannot be used: no image, no job, and the
// Update button usable again.
LoadResult RefuseAsFileFailed(UpdateJob& job, OperatorSurface& surface) {
  job.frameBytes = 0;
  job.state.store(JobState::Idle, std::memory_order_release);
  surface.ShowOperatorMessage(kMsgFileFailed);
  surface.EnableUpdateButton(true);
  return LoadResult::Refused;
}

// Header bytes come from this file only: whatever a short read leaves is zero.
bool ReadWholeHeader(UpdateJob& job) {
  job.header = PackageHeader{};
  job.packageFile.SeekToBegin();
  return job.packageFile.Read(job.header.bytes.data(), kHeaderSize) == kHeaderSize;
}

// Decodes `pairs` pairs from the file's current position into the frame buffer. False when the
// file ends first; only characters actually read are decoded.
bool DecodePayload(UpdateJob& job, std::uint32_t pairs) {
  char text[kReadChunkChars];
  std::uint32_t decoded = 0;
  while (decoded < pairs) {
    const std::uint32_t wanted = std::min(pairs - decoded, kReadChunkChars / 2) * 2;
    const std::uint32_t got = job.packageFile.Read(text, wanted);
    DecodeHexText(text, got / 2, job.frameBuffer + decoded);
    decoded += got / 2;
    if (got < wanted) return false;
  }
  job.frameBytes = static_cast<std::int32_t>(decoded);
  return true;
}

// Everything after opening the file; every refusal returns Refused with the operator told.
LoadResult LoadOpenedPackage(UpdateJob& job, const std::string& path, OperatorSurface& surface) {
  if (!ReadWholeHeader(job)) {
    job.deviceType = DeviceType::Unrecognized;
    return Refuse(surface, kMsgNotSupported);
  }
  const PackageSignature* signature = MatchSignature(job.header);
  if (signature == nullptr) {
    job.deviceType = DeviceType::Unrecognized;
    return Refuse(surface, kMsgNotSupported);
  }
  job.deviceType = signature->deviceType;
  platform::OutputDebugStringA(signature->recognitionText);
  if (const char* refusal = RefusalMessageFor(signature->deviceType)) {
    return Refuse(surface, refusal);
  }
  job.entryId = kFirmwareEntryId;

  const std::optional<PayloadRegion> region = FindPayload(job.header, job.entryId);
  if (!region) return RefuseAsFileFailed(job, surface);
  job.packageFile.SeekFromBegin(region->offset);
  job.frameBytes = 0;
  if (!PayloadWithinLimit(region->payloadChars)) return RefuseAsFileFailed(job, surface);
  if (!DecodePayload(job, DecodedByteCount(region->payloadChars))) {
    return RefuseAsFileFailed(job, surface);
  }
  // A device must never be sent a frame that the package does not hold whole.
  if (!FramesEndExactly(job.frameBuffer, static_cast<std::uint32_t>(job.frameBytes))) {
    return RefuseAsFileFailed(job, surface);
  }

  job.packageLoaded = 1;
  surface.EnableBrowseButton(false);
  platform::OutputDebugStringA("Open File");
  platform::OutputDebugStringA(path.c_str());
  platform::OutputDebugStringA("\n");
  return LoadResult::Loaded;
}

}  // namespace

LoadResult LoadPackage(UpdateJob& job, const std::string& path, OperatorSurface& surface) {
  if (!job.packageFile.Open(path, platform::CFile::modeRead)) {
    return Refuse(surface, kMsgChooseFile);
  }
  // A package that is not loaded is closed at once, so that the next Update can open it again.
  LoadResult result = LoadResult::Refused;
  try {
    result = LoadOpenedPackage(job, path, surface);
  } catch (...) {
    job.packageFile.Close();
    throw;
  }
  if (result == LoadResult::Refused) job.packageFile.Close();
  return result;
}

void StartJob(UpdateJob& job, int selection, OperatorSurface& surface,
              const std::function<void()>& startProgressTimer) {
  job.portIndex = selection;
  const std::optional<PayloadRegion> region = FindPayload(job.header, job.entryId);
  job.payloadChars = region ? static_cast<std::uint32_t>(region->payloadChars) : 0;
  job.transferEnded.store(false, std::memory_order_relaxed);
  // The hand-over: every job field above is visible to the worker once it sees this.
  job.state.store(JobState::StartRequested, std::memory_order_release);
  startProgressTimer();
  const std::uint64_t length = job.packageFile.GetLength();
  surface.SetProgressRange(static_cast<std::uint32_t>(
      std::min<std::uint64_t>(length, std::numeric_limits<std::uint32_t>::max())));
  surface.EnableUpdateButton(false);
}

void RunUpdateCommand(UpdateJob& job, const std::string& path, int selection,
                      OperatorSurface& surface, const std::function<void()>& startProgressTimer) {
  if (job.packageLoaded == 0 && LoadPackage(job, path, surface) == LoadResult::Refused) return;
  StartJob(job, selection, surface, startProgressTimer);
}

}  // namespace job
