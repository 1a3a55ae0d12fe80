// Events, pauses, handles and the per-thread error code, shaped as the Windows calls the
// updater's worker makes. Waits and pauses run on the platform clock (clock.h).
#pragma once

#include "platform/win32_types.h"

namespace win {

DWORD GetLastError();
void SetLastError(DWORD error);

// An unnamed event; manual reset is the only kind the updater uses, auto reset is supported too.
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
// WAIT_OBJECT_0 when the event is signalled, WAIT_TIMEOUT when `milliseconds` of platform-clock
// time passed first (INFINITE: no limit), WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that
// is not an open event.
DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds);

// Closes a serial port or an event. Closing a port from another thread ends the I/O under way on
// it: its pending operations complete with ERROR_OPERATION_ABORTED and their events are signalled;
// the descriptor is released only once no call is using it any more. Every later call on the
// handle fails with ERROR_INVALID_HANDLE, CloseHandle included.
BOOL CloseHandle(HANDLE object);

// Pauses the calling thread for `milliseconds` of platform-clock time.
void Sleep(DWORD milliseconds);

}  // namespace win
