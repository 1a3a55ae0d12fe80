// Kept apart from <termios.h>, which clashes with the kernel's own termios2 definitions.
#include "tools/devsim/line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace devsim {

std::uint32_t ReadLineSpeed(int fd) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}

}  // namespace devsim
