// The one process-wide record of the current update, shared by the UI thread and the worker.
//
// Hand-over: the UI thread writes every job field, then `state` = StartRequested with release
// ordering; the worker reads `state` with acquire ordering and only then the other fields. While a
// job runs, the UI thread writes none of them (Update and Browse are disabled).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "job/device_type.h"
#include "job/package_format.h"
#include "platform/file.h"
#include "platform/win32_types.h"

namespace job {

struct UpdateJob {
  UpdateJob() = default;
  UpdateJob(const UpdateJob&) = delete;
  UpdateJob& operator=(const UpdateJob&) = delete;

  // Written by the loader (UI thread) before the hand-over.
  DeviceType deviceType = DeviceType::Unrecognized;
  std::int32_t entryId = 0;
  PackageHeader header;
  // No initialiser, so that construction does not write 1.4 MB: the process-wide instance is
  // static storage, zero before anything runs, whose pages stay out of memory until a package is
  // decoded into them; a value-initialised instance (make_unique) is zeroed whole.
  std::uint8_t frameBuffer[kFrameBufferSize];
  std::int32_t frameBytes = 0;
  // The selected entry's payload characters: the total against which progress is measured.
  std::uint32_t payloadChars = 0;
  std::int32_t portIndex = 0;

  // UI thread only.
  platform::CFile packageFile;
  std::int32_t packageLoaded = 0;

  // Shared while a job runs.
  std::atomic<JobState> state{JobState::Idle};
  std::atomic<std::uint32_t> progressCount{0};
  std::atomic<win::HANDLE> portHandle{0};
  // Set by the worker, with release ordering, once it has left the frame loop at the end of the
  // image and is back to waiting; cleared by the Update command before the hand-over. Completion
  // waits for it, so that it never closes the port under the worker.
  std::atomic<bool> transferEnded{false};

  // Worker thread only.
  win::OVERLAPPED readOverlapped;
  win::OVERLAPPED writeOverlapped;
  win::DWORD bytesWritten = 0;
  win::DWORD bytesRead = 0;
  std::uint8_t replyBuffer[50] = {};
  // The announce frame on its way out: a write reads its bytes until it has ended.
  std::array<std::uint8_t, 30> announceFrame{};
  // The port list index that portHandle was opened for, so that a port left open by a failed
  // job serves the next one only when the operator still selects it.
  std::int32_t openPortIndex = -1;
};

// The process-wide instance.
UpdateJob& TheUpdateJob();

}  // namespace job
