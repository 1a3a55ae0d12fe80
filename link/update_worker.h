// The worker thread: waits for a job, sets up the port, announces, and sends the image frame by
// frame, reporting through the operator surface.
#pragma once

#include "job/operator_surface.h"
#include "job/update_job.h"

namespace devlink {

// The thread procedure. Never returns.
[[noreturn]] void UpdateWorker(job::UpdateJob& job, job::OperatorSurface& dialog);

// One cycle of the worker: waits (polling every 100 ms) until `state` is StartRequested, then
// runs that job's setup and frame loop to its end. Tests drive the worker with it.
void RunJobCycle(job::UpdateJob& job, job::OperatorSurface& dialog);

// Reads one reply byte through job.readOverlapped. 1 when a byte came, 0 on failure (`reply` 0).
win::DWORD ReadReplyByte(job::UpdateJob& job, std::uint8_t& reply);

}  // namespace devlink
