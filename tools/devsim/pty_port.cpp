#include "tools/devsim/pty_port.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "tools/devsim/line_speed.h"

namespace devsim {
namespace {

bool MakeRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return false;
  cfmakeraw(&settings);
  return tcsetattr(fd, TCSANOW, &settings) == 0;
}

void CloseKeepingErrno(int& fd) {
  if (fd < 0) return;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  fd = -1;
}

}  // namespace

bool PtyPort::Open() {
  Close();
  deviceFd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (deviceFd_ < 0) return false;
  std::array<char, 128> name{};
  const bool ready = grantpt(deviceFd_) == 0 && unlockpt(deviceFd_) == 0 &&
                     ptsname_r(deviceFd_, name.data(), name.size()) == 0 &&
                     fcntl(deviceFd_, F_SETFL, O_NONBLOCK) == 0;
  if (ready) portFd_ = ::open(name.data(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (!ready || portFd_ < 0 || !MakeRaw(portFd_)) {
    CloseKeepingErrno(portFd_);
    CloseKeepingErrno(deviceFd_);
    return false;
  }
  portPath_ = name.data();
  return true;
}

void PtyPort::Close() {
  CloseKeepingErrno(deviceFd_);
  CloseKeepingErrno(portFd_);
  portPath_.clear();
}

std::uint32_t PtyPort::LineSpeed() const {
  return ReadLineSpeed(portFd_);
}

}  // namespace devsim
