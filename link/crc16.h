#pragma once

#include <cstdint>

namespace devlink {

// CRC-16 with initial value 0xFFFF and the reflected polynomial 0xA001, no final XOR. A length of
// 0 (or less) reads nothing and returns 0xFFFF; the length is held in a signed 8-bit value, as
// the device's firmware holds it.
std::uint16_t ComputeCrc16(const std::uint8_t* data, std::int8_t length);

}  // namespace devlink
