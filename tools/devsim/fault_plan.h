// Decides how the device answers each announce and frame, from the faults asked for.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/devsim/options.h"

namespace devsim {

inline constexpr std::uint8_t kFrameAccepted = 0x11;
inline constexpr std::uint8_t kFrameRefused = 0x05;
// What a device answers when its line is noisy: no 0x11 among them, and bytes above 0x7F.
inline constexpr std::uint8_t kNoiseBytes[] = {0xE3, 0x00, 0x7F, 0x80, 0xFF, 0x5A, 0x0D};

enum class AnnounceAnswer { kAccept, kRefuse, kGarbage, kNone };

enum class FrameAnswer { kAccept, kRefuse, kGarbageByte, kGarbageBurst, kSilent, kHangUp };

struct FrameVerdict {
  FrameAnswer answer;
  std::uint32_t attempt = 0;  // for refusals and garbage: which one of how many
  std::uint32_t of = 0;
};

const char* FrameAnswerName(FrameAnswer answer);

class FaultPlan {
 public:
  explicit FaultPlan(const Options& options);

  // A new transfer starts; the faults are armed for the first one, or for every one.
  void StartTransfer(std::uint32_t transferNumber);

  AnnounceAnswer OnAnnounce() const;
  // Frame `index` of the transfer (the count of frames accepted so far) has arrived.
  FrameVerdict OnFrame(std::uint32_t index);

 private:
  struct Countdown {
    std::uint32_t frame;
    std::uint32_t times;
    std::uint32_t used;
  };
  static std::vector<Countdown> Arm(const std::vector<FrameFault>& faults);
  static Countdown* Find(std::vector<Countdown>& countdowns, std::uint32_t frame);

  const Options& options_;
  bool armed_ = false;
  std::vector<Countdown> refusals_;
  std::vector<Countdown> garbage_;
};

}  // namespace devsim
