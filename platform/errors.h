// The one translation from POSIX errno values to the Windows error codes that GetLastError and the
// overlapped records report.
#pragma once

#include "platform/win32_types.h"

namespace platform {

// The Windows error code for `error`. On a serial line EIO means the line is gone (the other end
// hung up, the adapter was unplugged), so it reads as ERROR_DEVICE_NOT_CONNECTED; a busy lock
// (EWOULDBLOCK from flock) or a busy tty (EBUSY) reads as ERROR_SHARING_VIOLATION. Unknown values
// give ERROR_GEN_FAILURE.
win::DWORD WinErrorFromErrno(int error);

}  // namespace platform
