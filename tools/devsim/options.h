// The simulator's command line: where to report what it received, and which faults to inject.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace devsim {

// A fault aimed at one frame position of a transfer, for a number of its arrivals.
struct FrameFault {
  std::uint32_t frame = 0;
  std::uint32_t times = 1;
};

struct Options {
  std::string imageOut;
  std::string linkPath;
  bool noAnnounceReply = false;
  bool refuseAnnounce = false;
  bool garbageEverywhere = false;
  bool everyTransfer = false;
  bool pace = false;
  bool frameLog = true;
  bool exitWithParent = false;
  std::vector<FrameFault> refusals;
  std::vector<FrameFault> garbageFrames;
  std::optional<std::uint32_t> silentFrom;
  std::optional<std::uint32_t> hangupAt;
  std::optional<std::uint32_t> comeBackMs;
  std::optional<std::uint32_t> exitAfterTransfers;
  std::optional<std::uint32_t> forcedBaud;
  std::uint32_t replyDelayMs = 0;
  std::uint32_t announceDelayMs = 0;
  std::uint32_t turnaroundMs = 0;
  std::uint32_t idleMs = 1000;
};

struct ParsedCommandLine {
  std::optional<Options> options;  // empty on an error or after --help
  bool helpAsked = false;
  std::string error;
};

ParsedCommandLine ParseCommandLine(int argc, char** argv);
const char* UsageText();

}  // namespace devsim
