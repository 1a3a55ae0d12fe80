#include "link/crc16.h"

namespace devlink {

std::uint16_t ComputeCrc16(const std::uint8_t* data, std::int8_t length) {
  std::uint16_t crc = 0xFFFF;
  for (std::int8_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

}  // namespace devlink
