#include "tools/devsim/fault_plan.h"

namespace devsim {

const char* FrameAnswerName(FrameAnswer answer) {
  switch (answer) {
    case FrameAnswer::kAccept:
      return "accept";
    case FrameAnswer::kRefuse:
      return "refuse";
    case FrameAnswer::kGarbageByte:
      return "garbage";
    case FrameAnswer::kGarbageBurst:
      return "garbage-burst";
    case FrameAnswer::kSilent:
      return "silent";
    case FrameAnswer::kHangUp:
      return "hangup";
  }
  return "?";
}

FaultPlan::FaultPlan(const Options& options) : options_(options) {}

std::vector<FaultPlan::Countdown> FaultPlan::Arm(const std::vector<FrameFault>& faults) {
  std::vector<Countdown> countdowns;
  for (const auto& fault : faults) countdowns.push_back({fault.frame, fault.times, 0});
  return countdowns;
}

FaultPlan::Countdown* FaultPlan::Find(std::vector<Countdown>& countdowns, std::uint32_t frame) {
  for (auto& countdown : countdowns) {
    if (countdown.frame == frame && countdown.used < countdown.times) return &countdown;
  }
  return nullptr;
}

void FaultPlan::StartTransfer(std::uint32_t transferNumber) {
  armed_ = transferNumber == 0 || options_.everyTransfer;
  refusals_ = armed_ ? Arm(options_.refusals) : std::vector<Countdown>{};
  garbage_ = armed_ ? Arm(options_.garbageFrames) : std::vector<Countdown>{};
}

AnnounceAnswer FaultPlan::OnAnnounce() const {
  if (!armed_) return AnnounceAnswer::kAccept;
  if (options_.noAnnounceReply) return AnnounceAnswer::kNone;
  if (options_.garbageEverywhere) return AnnounceAnswer::kGarbage;
  return options_.refuseAnnounce ? AnnounceAnswer::kRefuse : AnnounceAnswer::kAccept;
}

FrameVerdict FaultPlan::OnFrame(std::uint32_t index) {
  if (!armed_) return {FrameAnswer::kAccept};
  if (options_.hangupAt == index) return {FrameAnswer::kHangUp};
  if (options_.silentFrom && index >= *options_.silentFrom) return {FrameAnswer::kSilent};
  if (options_.garbageEverywhere) return {FrameAnswer::kGarbageBurst};
  if (auto* countdown = Find(garbage_, index)) {
    ++countdown->used;
    return {FrameAnswer::kGarbageByte, countdown->used, countdown->times};
  }
  if (auto* countdown = Find(refusals_, index)) {
    ++countdown->used;
    return {FrameAnswer::kRefuse, countdown->used, countdown->times};
  }
  return {FrameAnswer::kAccept};
}

}  // namespace devsim
