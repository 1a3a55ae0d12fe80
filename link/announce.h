// The announce exchange: one 30-byte frame telling the device that an update follows, then up
// to 3000 ms for its 14-byte reply.
#pragma once

#include <array>
#include <cstdint>

#include "job/update_job.h"

namespace devlink {

inline constexpr std::size_t kAnnounceFrameSize = 30;
using AnnounceFrame = std::array<std::uint8_t, kAnnounceFrameSize>;

// The frame for the job's device type, with its CRC and end byte.
AnnounceFrame BuildAnnounceFrame(const job::UpdateJob& job);

// Sends the frame on job.portHandle and collects the reply. Returns the number of reply bytes
// read, 0 when none could be collected. The reply read never outlives the call.
win::DWORD SendAnnounce(job::UpdateJob& job);

}  // namespace devlink
