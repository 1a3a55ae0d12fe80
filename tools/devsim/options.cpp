#include "tools/devsim/options.h"

#include <getopt.h>

#include <charconv>
#include <string_view>

namespace devsim {
namespace {

constexpr const char kUsage[] =
    "usage: ovrin-devsim [options]\n"
    "\n"
    "Plays the device on a new pseudo-terminal. The first line of standard output is the path\n"
    "of the port side; one line follows for every port made after a hang-up. Events are logged\n"
    "on standard error, one line each. SIGTERM or SIGINT ends it with status 0.\n"
    "\n"
    "A transfer starts with an announce, or with a frame when none is under way, and ends when\n"
    "no frame has come for --idle-ms after the last frame or reply, at a hang-up, or at the next\n"
    "announce. Frames are counted from 0 within a transfer. Faults act on the first transfer\n"
    "only, unless --every-transfer is given.\n"
    "\n"
    "Output:\n"
    "  --image-out FILE         keep FILE equal to the frames accepted in the latest transfer,\n"
    "                           length bytes included\n"
    "  --link PATH              keep the symbolic link PATH pointing at the current port\n"
    "  --no-frame-log           log no line per frame (other events are still logged)\n"
    "  --exit-with-parent       end (as on SIGTERM) when the process that started it ends\n"
    "\n"
    "Faults:\n"
    "  --no-announce-reply      read the announce and answer nothing\n"
    "  --refuse-announce        answer the announce with code 0x05 instead of 0x04\n"
    "  --refuse-frame K:N       answer frame K with 0x05 N times, then accept it (repeatable)\n"
    "  --garbage-frame K[:N]    answer frame K with one garbage byte N times (default 1),\n"
    "                           then accept it (repeatable)\n"
    "  --garbage                answer the announce and every frame with a burst of garbage\n"
    "                           bytes, accepting nothing\n"
    "  --silent-from K          answer nothing from frame K on, but go on reading\n"
    "  --hangup-at K            hang up (close the port) when frame K has arrived\n"
    "  --come-back MS           with --hangup-at: make a new port MS ms after the hang-up\n"
    "  --every-transfer         re-arm the faults at the start of every transfer\n"
    "\n"
    "Timing:\n"
    "  --reply-delay MS         delay every reply, the announce reply included\n"
    "  --announce-delay MS      delay the announce reply (on top of --reply-delay)\n"
    "  --turnaround MS          time between the last byte received and the reply (default 0)\n"
    "  --pace                   emulate the line: bytes arrive no faster than the line speed\n"
    "                           allows (10 bits a byte) and replies take their line time\n"
    "  --baud N                 with --pace: pace at N bit/s instead of the speed set on the port\n"
    "  --idle-ms MS             quiet time that ends a transfer (default 1000)\n"
    "  --exit-after-transfers N exit with status 0 once N transfers have ended\n"
    "\n"
    "  --help                   show this text\n";

enum OptionId : int {
  kImageOut = 256,
  kLink,
  kNoFrameLog,
  kExitWithParent,
  kNoAnnounceReply,
  kRefuseAnnounce,
  kRefuseFrame,
  kGarbageFrame,
  kGarbage,
  kSilentFrom,
  kHangupAt,
  kComeBack,
  kEveryTransfer,
  kReplyDelay,
  kAnnounceDelay,
  kTurnaround,
  kPace,
  kBaud,
  kIdleMs,
  kExitAfterTransfers,
  kHelp,
};

constexpr option kLongOptions[] = {
    {"image-out", required_argument, nullptr, kImageOut},
    {"link", required_argument, nullptr, kLink},
    {"no-frame-log", no_argument, nullptr, kNoFrameLog},
    {"exit-with-parent", no_argument, nullptr, kExitWithParent},
    {"no-announce-reply", no_argument, nullptr, kNoAnnounceReply},
    {"refuse-announce", no_argument, nullptr, kRefuseAnnounce},
    {"refuse-frame", required_argument, nullptr, kRefuseFrame},
    {"garbage-frame", required_argument, nullptr, kGarbageFrame},
    {"garbage", no_argument, nullptr, kGarbage},
    {"silent-from", required_argument, nullptr, kSilentFrom},
    {"hangup-at", required_argument, nullptr, kHangupAt},
    {"come-back", required_argument, nullptr, kComeBack},
    {"every-transfer", no_argument, nullptr, kEveryTransfer},
    {"reply-delay", required_argument, nullptr, kReplyDelay},
    {"announce-delay", required_argument, nullptr, kAnnounceDelay},
    {"turnaround", required_argument, nullptr, kTurnaround},
    {"pace", no_argument, nullptr, kPace},
    {"baud", required_argument, nullptr, kBaud},
    {"idle-ms", required_argument, nullptr, kIdleMs},
    {"exit-after-transfers", required_argument, nullptr, kExitAfterTransfers},
    {"help", no_argument, nullptr, kHelp},
    {nullptr, 0, nullptr, 0},
};

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
    return std::nullopt;
  }
  return value;
}

// "K:N", or "K" alone when a default count is allowed.
std::optional<FrameFault> ParseFrameFault(std::string_view text,
                                          std::optional<std::uint32_t> defaultTimes) {
  const auto colon = text.find(':');
  const auto frame = ParseNumber(text.substr(0, colon));
  if (!frame) return std::nullopt;
  if (colon == std::string_view::npos) {
    if (!defaultTimes) return std::nullopt;
    return FrameFault{*frame, *defaultTimes};
  }
  const auto times = ParseNumber(text.substr(colon + 1));
  if (!times || *times == 0) return std::nullopt;
  return FrameFault{*frame, *times};
}

class Parser {
 public:
  ParsedCommandLine Run(int argc, char** argv) {
    opterr = 0;
    optind = 1;
    int id = 0;
    int index = -1;
    while (result_.error.empty() && !result_.helpAsked &&
           (id = getopt_long(argc, argv, "", kLongOptions, &index)) != -1) {
      const std::string word =
          id == '?' || index < 0 ? argv[optind - 1] : std::string("--") + kLongOptions[index].name;
      Take(id, word);
      index = -1;
    }
    if (result_.error.empty() && optind < argc) {
      result_.error = std::string("unexpected argument: ") + argv[optind];
    }
    if (result_.error.empty() && !result_.helpAsked) CheckCombinations();
    if (result_.error.empty() && !result_.helpAsked) result_.options = options_;
    return result_;
  }

 private:
  void Take(int id, const std::string& word) {
    switch (id) {
      case kImageOut:
        options_.imageOut = optarg;
        break;
      case kLink:
        options_.linkPath = optarg;
        break;
      case kNoFrameLog:
        options_.frameLog = false;
        break;
      case kExitWithParent:
        options_.exitWithParent = true;
        break;
      case kNoAnnounceReply:
        options_.noAnnounceReply = true;
        break;
      case kRefuseAnnounce:
        options_.refuseAnnounce = true;
        break;
      case kRefuseFrame:
        AddFrameFault(options_.refusals, std::nullopt, word);
        break;
      case kGarbageFrame:
        AddFrameFault(options_.garbageFrames, 1, word);
        break;
      case kGarbage:
        options_.garbageEverywhere = true;
        break;
      case kSilentFrom:
        options_.silentFrom = Number(word);
        break;
      case kHangupAt:
        options_.hangupAt = Number(word);
        break;
      case kComeBack:
        options_.comeBackMs = Number(word);
        break;
      case kEveryTransfer:
        options_.everyTransfer = true;
        break;
      case kReplyDelay:
        options_.replyDelayMs = Number(word).value_or(0);
        break;
      case kAnnounceDelay:
        options_.announceDelayMs = Number(word).value_or(0);
        break;
      case kTurnaround:
        options_.turnaroundMs = Number(word).value_or(0);
        break;
      case kPace:
        options_.pace = true;
        break;
      case kBaud:
        options_.forcedBaud = Number(word);
        break;
      case kIdleMs:
        options_.idleMs = Number(word).value_or(0);
        break;
      case kExitAfterTransfers:
        options_.exitAfterTransfers = Number(word);
        break;
      case kHelp:
        result_.helpAsked = true;
        break;
      default:
        result_.error = "unknown option or missing value: " + word;
        break;
    }
  }

  std::optional<std::uint32_t> Number(const std::string& word) {
    auto value = ParseNumber(optarg);
    if (!value) result_.error = word + " needs a whole number, not '" + optarg + "'";
    return value;
  }

  void AddFrameFault(std::vector<FrameFault>& faults, std::optional<std::uint32_t> defaultTimes,
                     const std::string& word) {
    if (const auto fault = ParseFrameFault(optarg, defaultTimes)) {
      faults.push_back(*fault);
    } else {
      result_.error = word + " needs K:N (frame, times), not '" + optarg + "'";
    }
  }

  void CheckCombinations() {
    if (options_.comeBackMs && !options_.hangupAt) result_.error = "--come-back needs --hangup-at";
    if (options_.forcedBaud && !options_.pace) result_.error = "--baud needs --pace";
    if (options_.forcedBaud && *options_.forcedBaud == 0) result_.error = "--baud must be above 0";
    if (options_.idleMs == 0) result_.error = "--idle-ms must be above 0";
    if (options_.exitAfterTransfers && *options_.exitAfterTransfers == 0) {
      result_.error = "--exit-after-transfers must be above 0";
    }
  }

  Options options_;
  ParsedCommandLine result_;
};

}  // namespace

ParsedCommandLine ParseCommandLine(int argc, char** argv) {
  return Parser().Run(argc, argv);
}

const char* UsageText() {
  return kUsage;
}

}  // namespace devsim
