#include "platform/errors.h"

#include <cerrno>
#include <utility>

namespace platform {
namespace {

constexpr std::pair<int, win::DWORD> kErrnoTable[] = {
    {ENOENT, win::ERROR_FILE_NOT_FOUND},         {ENOTDIR, win::ERROR_FILE_NOT_FOUND},
    {EACCES, win::ERROR_ACCESS_DENIED},          {EPERM, win::ERROR_ACCESS_DENIED},
    {EROFS, win::ERROR_ACCESS_DENIED},           {EBUSY, win::ERROR_SHARING_VIOLATION},
    {EWOULDBLOCK, win::ERROR_SHARING_VIOLATION}, {EIO, win::ERROR_DEVICE_NOT_CONNECTED},
    {ENXIO, win::ERROR_DEVICE_NOT_CONNECTED},    {ENODEV, win::ERROR_DEVICE_NOT_CONNECTED},
    {EBADF, win::ERROR_INVALID_HANDLE},          {EINVAL, win::ERROR_INVALID_PARAMETER},
    {ENOMEM, win::ERROR_NOT_ENOUGH_MEMORY},      {EMFILE, win::ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, win::ERROR_TOO_MANY_OPEN_FILES},    {ENOTTY, win::ERROR_NOT_SUPPORTED},
    {EOPNOTSUPP, win::ERROR_NOT_SUPPORTED},      {EPIPE, win::ERROR_BROKEN_PIPE},
    {ECANCELED, win::ERROR_OPERATION_ABORTED},
};

}  // namespace

win::DWORD WinErrorFromErrno(int error) {
  for (const auto& [posix, windows] : kErrnoTable) {
    if (posix == error) return windows;
  }
  return win::ERROR_GEN_FAILURE;
}

}  // namespace platform
