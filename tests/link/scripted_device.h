// The device side of a real pseudo-terminal, answering the updater as a script says: an announce
// reply (or none, or late), a reply to each frame (bytes, silence, or a hang-up), a pause in
// reading. It holds the port side open, so that the port survives the updater's close and
// re-open as a real one does, and logs what it received at which line speed.
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace devlink::scripted {

using Bytes = std::vector<std::uint8_t>;

struct DeviceScript {
  // Written when an announce frame has come; none: the announce goes unanswered.
  std::optional<Bytes> announceReply = AckReply();
  platform::Millis announceReplyDelayMs = 0;
  // Written after the k-th frame received (counted over the device's life); an empty entry is
  // silence. Frames beyond the list are accepted with 0x11.
  std::vector<Bytes> frameReplies;
  // Clock time between a frame's arrival and its reply.
  platform::Millis turnaroundMs = 100;
  // The frame at which the device hangs up (closes its side) instead of replying.
  std::optional<std::size_t> hangUpAtFrame;
  // Once the first byte of this frame has come, the device reads nothing for the given clock
  // time, so that the updater's write of it stays under way.
  std::optional<std::size_t> stallAtFrame;
  platform::Millis stallMs = 0;
  // Called on the device's thread with the index of each whole frame, before the reply.
  std::function<void(std::size_t)> onFrame;

  static Bytes AckReply(std::uint8_t code = 0x04);
};

struct Received {
  enum class Kind { Announce, Frame } kind;
  Bytes bytes;
  speed_t speed;
};

class ScriptedDevice {
 public:
  explicit ScriptedDevice(DeviceScript script);
  ~ScriptedDevice();
  ScriptedDevice(const ScriptedDevice&) = delete;
  ScriptedDevice& operator=(const ScriptedDevice&) = delete;

  // The path of the port side, for the port resolver.
  const std::string& portPath() const { return portPath_; }
  std::vector<Received> received() const;
  std::vector<Received> frames() const;
  std::vector<Received> announces() const;

 private:
  void Run();
  void Consume();
  bool TakeMessage();
  void OnAnnounce();
  void OnFrame();
  void Reply(const Bytes& bytes, platform::Millis delayMs);
  void HangUp();
  void Record(Received::Kind kind, std::size_t size);
  int PollTimeoutMs() const;
  void WriteDueReplies();

  DeviceScript script_;
  int master_ = -1;
  int portSide_ = -1;
  int stop_ = -1;
  std::string portPath_;
  Bytes pending_;
  std::size_t framesSeen_ = 0;
  bool stalled_ = false;
  std::int64_t stallEndNs_ = 0;
  struct Scheduled {
    std::int64_t dueNs;
    Bytes bytes;
  };
  std::vector<Scheduled> replies_;
  mutable std::mutex mutex_;
  std::vector<Received> received_;
  std::thread thread_;
};

}  // namespace devlink::scripted
