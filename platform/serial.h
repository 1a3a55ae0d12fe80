// Serial communications on a handle opened for overlapped I/O, shaped as the Windows calls the
// updater's device link makes, on POSIX termios.
//
// Port names: a leading "\\.\" is dropped; "COM<n>" (n from 1) is then handed to the port
// resolver that the program's composition root installed, which names the device to open.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

namespace win {

// Maps a port name without the "\\.\" prefix ("COM3") to a device path, or "" when the name
// designates no port. The composition root installs one before the worker starts.
using PortResolver = std::function<std::string(std::string_view portName)>;
void SetPortResolver(PortResolver resolver);
// COM<n> with n from 1: /dev/com<n> when it exists, else /dev/ttyS<n-1>. Anything else: "".
std::string DefaultPortResolver(std::string_view portName);

// Opens the named port: read and write, exclusive (flock and TIOCEXCL; a port that another
// process holds fails with ERROR_SHARING_VIOLATION), raw mode, flow control off. Only
// OPEN_EXISTING with FILE_FLAG_OVERLAPPED is supported. INVALID_HANDLE_VALUE on failure:
// ERROR_FILE_NOT_FOUND for a name that designates no port or a device that does not exist,
// ERROR_SHARING_VIOLATION for a port in use, ERROR_NOT_SUPPORTED for a device that is not a tty.
// The handle's value is never given out again, also after it is closed.
HANDLE CreateFileA(const char* name, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

BOOL GetCommState(HANDLE port, DCB* dcb);
// Applies speed, data bits, parity and stop bits; the port stays raw with flow control off.
// FALSE with ERROR_INVALID_PARAMETER for a speed or framing the layer does not know (standard
// speeds from 50 to 4000000 bit/s; 5 to 8 data bits; no, odd or even parity; 1 or 2 stop bits),
// with ERROR_NOT_SUPPORTED when the driver did not keep them (a pseudo-terminal stays 8N1).
BOOL SetCommState(HANDLE port, const DCB* dcb);
// Applies to the reads and writes issued after the call; the time-outs run on the platform clock.
BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts);
BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts);
BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status);
// PURGE_RXCLEAR and PURGE_TXCLEAR drop the bytes the driver holds; PURGE_RXABORT and
// PURGE_TXABORT end the reads or writes under way with ERROR_OPERATION_ABORTED.
BOOL PurgeComm(HANDLE port, DWORD flags);

// Overlapped write. TRUE when every byte went out at once; otherwise FALSE with ERROR_IO_PENDING
// and the rest goes out in the background under the write time-outs, signalling the record's
// event at the end. A write on a record whose previous write is still under way first waits for
// that one to end, so two writes never overlap on one record.
BOOL WriteFile(HANDLE port, const void* data, DWORD length, DWORD* written, OVERLAPPED* overlapped);

// Overlapped read. TRUE when the bytes already received satisfy it (count in *read); FALSE with
// ERROR_IO_PENDING when it is under way: its event was reset and is signalled when it ends by
// count or by the read time-outs. A hang-up ends a read as failed, never as empty: with
// ERROR_DEVICE_NOT_CONNECTED, at once when the line is already gone. Any other FALSE is an
// immediate failure: ERROR_INVALID_HANDLE once the port is closed, ERROR_INVALID_PARAMETER when
// the record still has an operation under way.
BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped);

// Result of an overlapped operation. TRUE with the count (0 when a read's time-outs ran out with
// nothing; fewer than asked when a write's time-out ran out); FALSE with ERROR_IO_INCOMPLETE when
// it is still under way and `wait` is FALSE, or with the operation's error when it failed
// (ERROR_OPERATION_ABORTED after a cancel, a purge or a close). An ended operation's result is read
// from the record, so it stays readable after the port is closed.
BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);

// Ends the operation under way on the record (all of the port's when `overlapped` is null): it
// completes with ERROR_OPERATION_ABORTED. Returns once the layer no longer touches its buffer.
// FALSE with ERROR_NOT_FOUND when nothing was under way.
BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped);

}  // namespace win
