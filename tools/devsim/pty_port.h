// The port side the updater opens, and the device side the simulator speaks on: a pseudo-
// terminal whose port side the simulator holds open itself, so that the port survives the
// updater closing and opening it again, as a real port does.
#pragma once

#include <cstdint>
#include <string>

namespace devsim {

class PtyPort {
 public:
  PtyPort() = default;
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;
  ~PtyPort() { Close(); }

  // Makes a new pseudo-terminal in raw mode; false with errno set when that fails.
  bool Open();
  // Closes both sides: whoever holds the port side sees a hang-up.
  void Close();

  bool IsOpen() const { return deviceFd_ >= 0; }
  int DeviceFd() const { return deviceFd_; }
  const std::string& PortPath() const { return portPath_; }
  // The speed the updater set on the port side.
  std::uint32_t LineSpeed() const;

 private:
  int deviceFd_ = -1;
  int portFd_ = -1;
  std::string portPath_;
};

}  // namespace devsim
