// The simulator as a child process, and the updater's end of its port, in plain POSIX.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace devsimtest {

using Bytes = std::vector<std::uint8_t>;

inline constexpr int kPatienceMs = 5000;

class DevsimChild {
 public:
  explicit DevsimChild(const std::vector<std::string>& switches);
  ~DevsimChild();
  DevsimChild(const DevsimChild&) = delete;
  DevsimChild& operator=(const DevsimChild&) = delete;

  // The first line of its output: the port path.
  const std::string& PortPath() const { return portPath_; }
  // The next line of its output (a port made after a hang-up), or empty after the patience.
  std::string NextOutputLine(int timeoutMs = kPatienceMs);
  // Waits until its log holds `text` (after `from`); returns where it ends, or npos.
  std::size_t WaitForLog(std::string_view text, std::size_t from = 0, int timeoutMs = kPatienceMs);
  const std::string& Log() const { return log_; }

  // SIGTERM, then its exit status (the status it ended with when it has ended already).
  int Terminate();
  // Its exit status once it ends by itself, or -1 when it did not end within the patience.
  int WaitForExit(int timeoutMs = kPatienceMs);

 private:
  bool ReadMoreLog(int timeoutMs);
  int Reap();

  pid_t pid_ = -1;
  int exitStatus_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::string portPath_;
  std::string outBuffer_;
  std::string log_;
};

// The updater's end: opened as the updater opens its port, raw, at `speed`.
class PortEnd {
 public:
  explicit PortEnd(const std::string& path, speed_t speed = B9600);
  ~PortEnd();
  PortEnd(const PortEnd&) = delete;
  PortEnd& operator=(const PortEnd&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  void SetSpeed(speed_t speed);
  bool Send(std::span<const std::uint8_t> bytes);
  // Up to `count` bytes, fewer when the line stays quiet for `timeoutMs`.
  Bytes Receive(std::size_t count, int timeoutMs = kPatienceMs);

 private:
  int fd_ = -1;
};

std::string TempDir();
Bytes ReadFile(const std::string& path);
// A frame: the 16-bit length, most significant byte first, then `length` bytes of a pattern.
Bytes MakeFrame(std::uint16_t length, std::uint8_t seed = 1);
Bytes Join(const std::vector<Bytes>& parts);

}  // namespace devsimtest
