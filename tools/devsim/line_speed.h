#pragma once

#include <cstdint>

namespace devsim {

// The output speed in bit/s that the terminal `fd` is set to, any rate the driver accepts, or 0
// when it cannot be read.
std::uint32_t ReadLineSpeed(int fd);

}  // namespace devsim
