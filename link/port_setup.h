// Taking a job up and making its port ready for the transfer: the port name, the open (or the
// reuse of a port that a failed job left open), the line settings and time-outs, the announce
// with the re-open that follows no answer, and the transfer speed. Also the start of an
// overlapped read, which the announce and the reply-byte reader share.
#pragma once

#include <array>
#include <cstdint>

#include "job/operator_surface.h"
#include "job/update_job.h"
#include "platform/win32_types.h"

namespace devlink {

// "COM1" to "COM9", "\\.\COM10" and up; room for 9 characters and the terminating NUL.
using PortName = std::array<char, 10>;
PortName MakePortName(std::int32_t portIndex);

// Waits, looking every 100 ms, until a job is handed over; takes it up (`state` Running) and
// returns the port index it was handed over with.
std::int32_t TakeJob(job::UpdateJob& job);

// Leaves job.portHandle open, purged and at the transfer speed; true then. false after an open
// failure, which it has reported to the operator (`state` Idle, no port).
bool SetUpPort(job::UpdateJob& job, job::OperatorSurface& dialog, std::int32_t portIndex);

enum class ReadStart { Completed, Pending, Failed };

// Issues an overlapped ReadFile; one that fails outright (not ERROR_IO_PENDING) is issued again
// at once, at most 3 times in a row, and then counts as Failed.
ReadStart StartRead(win::HANDLE port, void* buffer, win::DWORD length, win::DWORD* read,
                    win::OVERLAPPED* overlapped);

}  // namespace devlink
