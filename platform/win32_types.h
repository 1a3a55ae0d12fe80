// The Windows-shaped vocabulary of the platform layer: handles, overlapped records, line settings
// and time-outs, with the values the updater's protocol code passes and tests for. Everything
// behind these names is POSIX.
#pragma once

#include <atomic>
#include <cstdint>

namespace win {

using BOOL = int;
using DWORD = std::uint32_t;
using BYTE = std::uint8_t;
// A handle names a kernel object of this layer (a serial port or an event). 0 is none; handle
// values are never reused within a process, so a stale handle fails instead of reaching a new
// object.
using HANDLE = std::uintptr_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr HANDLE INVALID_HANDLE_VALUE = ~HANDLE{0};
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// Error codes, as GetLastError reports them.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr DWORD ERROR_NOT_FOUND = 1168;

// CreateFileA arguments.
inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// WaitForSingleObject results.
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// PurgeComm flags.
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// Line settings. Parity and stop bits use the Windows encodings.
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE TWOSTOPBITS = 2;

struct DCB {
  DWORD BaudRate = 0;
  BYTE ByteSize = 8;
  BYTE Parity = NOPARITY;
  BYTE StopBits = ONESTOPBIT;
};

struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout = 0;
  DWORD ReadTotalTimeoutMultiplier = 0;
  DWORD ReadTotalTimeoutConstant = 0;
  DWORD WriteTotalTimeoutMultiplier = 0;
  DWORD WriteTotalTimeoutConstant = 0;
};

struct COMSTAT {
  DWORD cbInQue = 0;
  DWORD cbOutQue = 0;
};

inline constexpr DWORD STATUS_PENDING = 0x103;

// Completion record of one overlapped operation. `Internal` is STATUS_PENDING while the
// operation is under way; the I/O side writes it with release ordering when it ends, so a reader
// that sees the end with acquire ordering also sees the bytes transferred.
struct OVERLAPPED {
  std::atomic<DWORD> Internal{0};
  std::atomic<DWORD> InternalHigh{0};
  DWORD Offset = 0;
  DWORD OffsetHigh = 0;
  HANDLE hEvent = 0;
};

inline bool HasOverlappedIoCompleted(const OVERLAPPED* o) {
  return o->Internal.load(std::memory_order_acquire) != STATUS_PENDING;
}

}  // namespace win
