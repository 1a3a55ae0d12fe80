// The device: answers announces and frames on a pseudo-terminal as the options say, keeps the
// image it received in a file, and logs every event on standard error.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "tools/devsim/fault_plan.h"
#include "tools/devsim/line_pacer.h"
#include "tools/devsim/options.h"
#include "tools/devsim/pty_port.h"
#include "tools/devsim/stream_parser.h"

namespace devsim {

class DeviceSimulator {
 public:
  explicit DeviceSimulator(const Options& options);
  DeviceSimulator(const DeviceSimulator&) = delete;
  DeviceSimulator& operator=(const DeviceSimulator&) = delete;
  ~DeviceSimulator();

  // Runs until a signal, a hang-up for good or the last transfer asked for; returns the exit
  // status.
  int Run();

 private:
  struct PendingReply {
    Nanos at;
    std::vector<std::uint8_t> bytes;
  };
  struct Transfer {
    bool active = false;
    bool sawFrame = false;
    std::uint32_t number = 0;
    std::uint32_t accepted = 0;
    std::uint64_t bytes = 0;
  };

  bool SetUp();
  bool OpenPort();
  bool PublishLink();
  void RemoveLink();
  void Step();
  void RunDue(Nanos now);
  std::optional<Nanos> NextDeadline(Nanos now) const;
  bool WantsInput(Nanos now) const;
  std::optional<Nanos> TransferIdleEnd() const;
  std::uint32_t PaceBaud() const;

  void OnInput(Nanos now);
  void RefreshLineSpeed();
  void DropPartial(const char* reason);
  void OnAnnounce(std::span<const std::uint8_t> bytes, Nanos arrival);
  void OnFrame(std::span<const std::uint8_t> bytes, Nanos arrival);
  void LogFrame(std::size_t size, const FrameVerdict& verdict,
                std::span<const std::uint8_t> reply) const;
  void HangUp();
  void ComeBack();

  void StartTransfer(const char* cause);
  void EndTransfer(const char* reason);
  void AppendImage(std::span<const std::uint8_t> frame);
  void ClearImage();

  void ScheduleReply(Nanos arrival, std::uint32_t delayMs, std::span<const std::uint8_t> bytes);
  void SendDueReplies(Nanos now);
  void WriteReply(std::span<const std::uint8_t> bytes);
  void Stop(int status);

  const Options& options_;
  FaultPlan faults_;
  PtyPort port_;
  StreamParser parser_;
  LinePacer received_;
  LinePacer sent_;
  std::deque<PendingReply> replies_;
  Transfer transfer_;
  std::uint32_t transfersStarted_ = 0;
  std::uint32_t transfersEnded_ = 0;
  std::uint32_t lineSpeed_ = 0;
  Nanos lastActivity_ = 0;
  Nanos lastInput_ = 0;
  std::optional<Nanos> comeBackAt_;
  int signalFd_ = -1;
  int imageFd_ = -1;
  bool stopping_ = false;
  int exitStatus_ = 0;
};

}  // namespace devsim
