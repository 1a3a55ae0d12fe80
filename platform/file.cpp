#include "platform/file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

CFileException::CFileException(int osError, std::string fileName)
    : osError_(osError), fileName_(std::move(fileName)) {
  description_ = "An error occurred while accessing " +
                 (fileName_.empty() ? std::string("the file") : fileName_) + ".\n" +
                 std::strerror(osError_);
}

CFile::~CFile() {
  Close();
}

bool CFile::Open(const std::string& path, unsigned /*flags*/, CFileException** error) {
  Close();
  const auto fail = [&](int osError) {
    if (error != nullptr) *error = new CFileException(osError, path);
    return false;
  };
  if (path.empty()) return fail(ENOENT);
  // O_NONBLOCK keeps a FIFO or device path from hanging the dialog; only regular files qualify.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fail(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int osError = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    return fail(osError);
  }
  // No sharing: a second open of the same file, here or elsewhere, is refused while we hold it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int osError = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return fail(osError);
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  path_ = path;
  return true;
}

void CFile::Throw(int osError) const {
  throw CFileException(osError, path_);
}

void CFile::SeekToBegin() {
  SeekFromBegin(0);
}

std::uint64_t CFile::SeekFromBegin(std::int64_t offset) {
  if (offset < 0) Throw(EINVAL);
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (at < 0) Throw(errno);
  return static_cast<std::uint64_t>(at);
}

std::uint32_t CFile::Read(void* buffer, std::uint32_t count) {
  auto* out = static_cast<char*>(buffer);
  std::uint32_t total = 0;
  while (total < count) {
    const ssize_t n = ::read(fd_, out + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Throw(errno);
    if (n == 0) break;
    total += static_cast<std::uint32_t>(n);
  }
  return total;
}

std::uint64_t CFile::GetLength() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) Throw(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

void CFile::Close() {
  if (fd_ < 0) return;
  ::close(fd_);  // releases the lock with the descriptor
  fd_ = -1;
  path_.clear();
}

}  // namespace platform
