#include "tools/devsim/device_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/devsim/announce_check.h"

namespace devsim {
namespace {

constexpr Nanos kNanosPerMs = 1'000'000;
// A partial frame that sees no byte for this long is given up: the updater has moved on.
constexpr Nanos kPartialFrameGap = 1000 * kNanosPerMs;
// While pacing, read no further ahead of the line than this, so that the port pushes back on the
// updater's writes roughly as a real line does; read again once half of it has gone by.
constexpr Nanos kPaceLookAhead = 20 * kNanosPerMs;
constexpr Nanos kPaceRefill = kPaceLookAhead / 2;
constexpr std::size_t kReadChunk = 128 * 1024;
// A timed wake-up comes tens of microseconds late; the last stretch before a deadline is spent
// polling instead, so that a paced reply leaves when the line allows and not later.
constexpr Nanos kPollAheadOfDeadline = 100'000;

Nanos Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return Nanos{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

const Nanos kStartedAt = Now();

// One whole line per event on standard error, with the milliseconds since start.
__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  char line[1024];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(line, sizeof line - 32, format, arguments);
  va_end(arguments);
  if (length < 0) return;
  std::size_t used = std::min(static_cast<std::size_t>(length), sizeof line - 33);
  const double ms = static_cast<double>(Now() - kStartedAt) / static_cast<double>(kNanosPerMs);
  const int tail = std::snprintf(line + used, sizeof line - used, " t=%.3f\n", ms);
  if (tail > 0) used += static_cast<std::size_t>(tail);
  [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, used);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return "none";
  std::string text;
  for (const auto byte : bytes) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", byte);
    text += pair;
  }
  return text;
}

bool WriteAll(int fd, std::span<const std::uint8_t> bytes, off_t offset) {
  while (!bytes.empty()) {
    const auto written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += written;
  }
  return true;
}

timespec RelativeTimeout(Nanos from, Nanos to) {
  const Nanos wait = std::max<Nanos>(0, to - from);
  return {static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
}

}  // namespace

DeviceSimulator::DeviceSimulator(const Options& options) : options_(options), faults_(options) {}

DeviceSimulator::~DeviceSimulator() {
  if (imageFd_ >= 0) ::close(imageFd_);
  if (signalFd_ >= 0) ::close(signalFd_);
}

int DeviceSimulator::Run() {
  if (!SetUp()) return 1;
  while (!stopping_) Step();
  RemoveLink();
  port_.Close();
  return exitStatus_;
}

bool DeviceSimulator::SetUp() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  signalFd_ = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
  // A test that dies leaves no simulator behind holding a pseudo-terminal.
  if (options_.exitWithParent) prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Replies are due at exact times; the default 50 us slack would blur the line's pace.
  prctl(PR_SET_TIMERSLACK, 1UL);
  if (!options_.imageOut.empty()) {
    imageFd_ = ::open(options_.imageOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (imageFd_ < 0) {
      Log("error image-out=%s errno=%s", options_.imageOut.c_str(), std::strerror(errno));
      return false;
    }
  }
  return signalFd_ >= 0 && OpenPort();
}

bool DeviceSimulator::OpenPort() {
  if (!port_.Open()) {
    Log("error pseudo-terminal errno=%s", std::strerror(errno));
    return false;
  }
  received_ = LinePacer{};
  sent_ = LinePacer{};
  lineSpeed_ = port_.LineSpeed();
  if (!PublishLink()) return false;
  std::printf("%s\n", port_.PortPath().c_str());
  std::fflush(stdout);
  Log("port path=%s speed=%u", port_.PortPath().c_str(), lineSpeed_);
  return true;
}

bool DeviceSimulator::PublishLink() {
  if (options_.linkPath.empty()) return true;
  // A new link takes the old one's place in one step, so a resolver never finds it missing.
  const std::string fresh = options_.linkPath + ".new";
  ::unlink(fresh.c_str());
  if (::symlink(port_.PortPath().c_str(), fresh.c_str()) != 0 ||
      ::rename(fresh.c_str(), options_.linkPath.c_str()) != 0) {
    Log("error link=%s errno=%s", options_.linkPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void DeviceSimulator::RemoveLink() {
  if (!options_.linkPath.empty()) ::unlink(options_.linkPath.c_str());
}

void DeviceSimulator::Stop(int status) {
  stopping_ = true;
  exitStatus_ = std::max(exitStatus_, status);
}

void DeviceSimulator::Step() {
  RunDue(Now());
  if (stopping_) return;
  const Nanos now = Now();
  pollfd watched[2] = {{signalFd_, POLLIN, 0}, {port_.DeviceFd(), POLLIN, 0}};
  const nfds_t count = port_.IsOpen() && WantsInput(now) ? 2 : 1;
  const auto deadline = NextDeadline(now);
  const timespec timeout = deadline ? RelativeTimeout(now, *deadline) : timespec{};
  if (::ppoll(watched, count, deadline ? &timeout : nullptr, nullptr) < 0) return;
  if ((watched[0].revents & POLLIN) != 0) {
    signalfd_siginfo received{};
    [[maybe_unused]] const auto size = ::read(signalFd_, &received, sizeof received);
    Log("exit signal=%s", sigabbrev_np(static_cast<int>(received.ssi_signo)));
    Stop(0);
    return;
  }
  if (count == 2 && (watched[1].revents & POLLIN) != 0) {
    OnInput(Now());
  } else if (count == 2 && watched[1].revents != 0) {
    // The simulator holds the port side itself, so this means the terminal is gone.
    Log("error port revents=0x%x", static_cast<unsigned>(watched[1].revents));
    Stop(1);
  }
}

void DeviceSimulator::RunDue(Nanos now) {
  SendDueReplies(now);
  if (parser_.Pending() > 0 && now >= lastInput_ + kPartialFrameGap) DropPartial("quiet");
  if (const auto idleEnd = TransferIdleEnd(); idleEnd && now >= *idleEnd) EndTransfer("idle");
  if (comeBackAt_ && now >= *comeBackAt_) ComeBack();
}

std::optional<Nanos> DeviceSimulator::NextDeadline(Nanos now) const {
  std::optional<Nanos> next;
  const auto consider = [&next](Nanos at) { next = next ? std::min(*next, at) : at; };
  if (!replies_.empty()) consider(replies_.front().at - kPollAheadOfDeadline);
  if (parser_.Pending() > 0) consider(lastInput_ + kPartialFrameGap);
  if (const auto idleEnd = TransferIdleEnd()) consider(*idleEnd);
  if (comeBackAt_) consider(*comeBackAt_);
  if (port_.IsOpen() && !WantsInput(now)) consider(received_.FreeAt() - kPaceRefill);
  return next;
}

std::optional<Nanos> DeviceSimulator::TransferIdleEnd() const {
  // A frame on its way (bytes held, or a reply due) keeps the transfer going, however slow the
  // line; so does a transfer that has had its announce but no frame yet (the updater may be
  // re-opening the port).
  if (!transfer_.active || !transfer_.sawFrame || !replies_.empty() || parser_.Pending() > 0) {
    return std::nullopt;
  }
  return std::max(lastActivity_, lastInput_) + options_.idleMs * kNanosPerMs;
}

std::uint32_t DeviceSimulator::PaceBaud() const {
  return options_.pace ? options_.forcedBaud.value_or(lineSpeed_) : 0;
}

bool DeviceSimulator::WantsInput(Nanos now) const {
  return PaceBaud() == 0 || received_.FreeAt() <= now + kPaceRefill;
}

void DeviceSimulator::OnInput(Nanos now) {
  RefreshLineSpeed();
  const std::uint32_t baud = PaceBaud();
  const std::size_t room =
      baud == 0 ? kReadChunk
                : std::clamp<std::size_t>(received_.BytesBy(now, now + kPaceLookAhead, baud), 1,
                                          kReadChunk);
  const auto space = parser_.Space(room);
  const auto count = ::read(port_.DeviceFd(), space.data(), space.size());
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (count <= 0) {
    Log("error read errno=%s", count < 0 ? std::strerror(errno) : "end of file");
    Stop(1);
    return;
  }
  parser_.Commit(static_cast<std::size_t>(count));
  lastInput_ = now;
  if (baud != 0) received_.Carry(now, static_cast<std::uint64_t>(count), baud);
  while (port_.IsOpen() && !stopping_) {
    const auto unit = parser_.Next();
    if (!unit) break;
    const Nanos arrival = baud == 0 ? now : received_.ArrivalBefore(parser_.Pending());
    switch (unit->kind) {
      case UnitKind::kAnnounce:
        OnAnnounce(unit->bytes, arrival);
        break;
      case UnitKind::kRejectedAnnounce:
        Log("announce-rejected reason=%s speed=%u", AnnounceCheckName(unit->check), lineSpeed_);
        break;
      case UnitKind::kFrame:
        OnFrame(unit->bytes, arrival);
        break;
    }
  }
}

void DeviceSimulator::RefreshLineSpeed() {
  const std::uint32_t speed = port_.LineSpeed();
  if (speed == lineSpeed_) return;
  Log("speed from=%u to=%u", lineSpeed_, speed);
  lineSpeed_ = speed;
  // The updater purges its port when it changes speed; bytes half-received belong to nothing.
  DropPartial("speed-change");
}

void DeviceSimulator::DropPartial(const char* reason) {
  const std::size_t dropped = parser_.Discard();
  if (dropped > 0) Log("partial dropped=%zu reason=%s", dropped, reason);
}

void DeviceSimulator::OnAnnounce(std::span<const std::uint8_t> bytes, Nanos arrival) {
  if (transfer_.active) EndTransfer("announce");
  if (stopping_) return;
  StartTransfer("announce");
  const AnnounceBytes frame(bytes.data(), kAnnounceSize);
  const char* variant = AnnounceVariant(frame);
  const std::string text =
      std::strcmp(variant, "Kestrane") == 0 ? " text=" + AnnounceText(frame) : "";
  std::vector<std::uint8_t> reply;
  const char* fault = "";
  switch (faults_.OnAnnounce()) {
    case AnnounceAnswer::kAccept: {
      const auto accepted = BuildAnnounceReply(frame, kAnnounceAccepted);
      reply.assign(accepted.begin(), accepted.end());
      break;
    }
    case AnnounceAnswer::kRefuse: {
      const auto refused = BuildAnnounceReply(frame, kAnnounceRefused);
      reply.assign(refused.begin(), refused.end());
      fault = " fault=refuse";
      break;
    }
    case AnnounceAnswer::kGarbage:
      reply.assign(std::begin(kNoiseBytes), std::end(kNoiseBytes));
      fault = " fault=garbage";
      break;
    case AnnounceAnswer::kNone:
      fault = " fault=no-reply";
      break;
  }
  const std::string code = reply.size() == kReplySize ? Hex({&reply[9], 1}) : Hex(reply);
  Log("announce transfer=%u variant=%s%s speed=%u reply=%s%s", transfer_.number, variant,
      text.c_str(), lineSpeed_, code.c_str(), fault);
  ScheduleReply(arrival, options_.replyDelayMs + options_.announceDelayMs + options_.turnaroundMs,
                reply);
}

void DeviceSimulator::OnFrame(std::span<const std::uint8_t> bytes, Nanos arrival) {
  if (!transfer_.active) StartTransfer("frame");
  transfer_.sawFrame = true;
  lastActivity_ = std::max(arrival, Now());
  const FrameVerdict verdict = faults_.OnFrame(transfer_.accepted);
  std::vector<std::uint8_t> reply;
  switch (verdict.answer) {
    case FrameAnswer::kAccept:
      AppendImage(bytes);
      reply = {kFrameAccepted};
      break;
    case FrameAnswer::kRefuse:
      reply = {kFrameRefused};
      break;
    case FrameAnswer::kGarbageByte:
      reply = {kNoiseBytes[(verdict.attempt - 1) % std::size(kNoiseBytes)]};
      break;
    case FrameAnswer::kGarbageBurst:
      reply.assign(std::begin(kNoiseBytes), std::end(kNoiseBytes));
      break;
    case FrameAnswer::kSilent:
      break;
    case FrameAnswer::kHangUp:
      LogFrame(bytes.size(), verdict, {});
      HangUp();
      return;
  }
  // Logged before the reply goes out, so that whoever has the reply finds the line written.
  LogFrame(bytes.size(), verdict, reply);
  if (verdict.answer == FrameAnswer::kAccept) ++transfer_.accepted;
  ScheduleReply(arrival, options_.replyDelayMs + options_.turnaroundMs, reply);
}

void DeviceSimulator::LogFrame(std::size_t size, const FrameVerdict& verdict,
                               std::span<const std::uint8_t> reply) const {
  if (verdict.answer == FrameAnswer::kAccept) {
    if (options_.frameLog) {
      Log("frame transfer=%u index=%u size=%zu speed=%u reply=%s", transfer_.number,
          transfer_.accepted, size, lineSpeed_, Hex(reply).c_str());
    }
    return;
  }
  char attempt[32] = "";
  if (verdict.of != 0)
    std::snprintf(attempt, sizeof attempt, " attempt=%u/%u", verdict.attempt, verdict.of);
  Log("frame transfer=%u index=%u size=%zu speed=%u reply=%s fault=%s%s", transfer_.number,
      transfer_.accepted, size, lineSpeed_, Hex(reply).c_str(), FrameAnswerName(verdict.answer),
      attempt);
}

void DeviceSimulator::HangUp() {
  Log("hangup transfer=%u index=%u speed=%u path=%s", transfer_.number, transfer_.accepted,
      lineSpeed_, port_.PortPath().c_str());
  EndTransfer("hangup");
  RemoveLink();
  port_.Close();
  parser_.Discard();
  replies_.clear();
  if (options_.comeBackMs) {
    comeBackAt_ = Now() + *options_.comeBackMs * kNanosPerMs;
  } else {
    Log("exit reason=hangup");
    Stop(0);
  }
}

void DeviceSimulator::ComeBack() {
  comeBackAt_.reset();
  if (!OpenPort()) Stop(1);
}

void DeviceSimulator::StartTransfer(const char* cause) {
  transfer_ = Transfer{.active = true, .number = transfersStarted_++};
  faults_.StartTransfer(transfer_.number);
  ClearImage();
  Log("transfer-start transfer=%u by=%s", transfer_.number, cause);
}

void DeviceSimulator::EndTransfer(const char* reason) {
  if (!transfer_.active) return;
  transfer_.active = false;
  ++transfersEnded_;
  Log("transfer-end transfer=%u frames=%u bytes=%llu reason=%s", transfer_.number,
      transfer_.accepted, static_cast<unsigned long long>(transfer_.bytes), reason);
  if (options_.exitAfterTransfers && transfersEnded_ >= *options_.exitAfterTransfers) {
    Log("exit transfers=%u", transfersEnded_);
    Stop(0);
  }
}

void DeviceSimulator::AppendImage(std::span<const std::uint8_t> frame) {
  if (imageFd_ >= 0 && !WriteAll(imageFd_, frame, static_cast<off_t>(transfer_.bytes))) {
    Log("error image-out errno=%s", std::strerror(errno));
    Stop(1);
  }
  transfer_.bytes += frame.size();
}

void DeviceSimulator::ClearImage() {
  if (imageFd_ >= 0 && ::ftruncate(imageFd_, 0) != 0) {
    Log("error image-out errno=%s", std::strerror(errno));
    Stop(1);
  }
}

void DeviceSimulator::ScheduleReply(Nanos arrival, std::uint32_t delayMs,
                                    std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::uint32_t baud = PaceBaud();
  if (baud == 0 && delayMs == 0 && replies_.empty()) {
    WriteReply(bytes);
    return;
  }
  Nanos start = arrival + delayMs * kNanosPerMs;
  if (!replies_.empty()) start = std::max(start, replies_.back().at);
  if (baud == 0) {
    replies_.push_back({start, {bytes.begin(), bytes.end()}});
    return;
  }
  // Each byte is handed over when it has crossed the line, one byte time after the one before.
  for (const auto byte : bytes) replies_.push_back({sent_.Carry(start, 1, baud), {byte}});
}

void DeviceSimulator::SendDueReplies(Nanos now) {
  while (!replies_.empty() && replies_.front().at <= now && port_.IsOpen()) {
    WriteReply(replies_.front().bytes);
    replies_.pop_front();
  }
}

void DeviceSimulator::WriteReply(std::span<const std::uint8_t> bytes) {
  const auto written = ::write(port_.DeviceFd(), bytes.data(), bytes.size());
  if (written != static_cast<ssize_t>(bytes.size())) {
    Log("reply-dropped bytes=%zu errno=%s", bytes.size(),
        written < 0 ? std::strerror(errno) : "short write");
  }
  lastActivity_ = Now();
}

}  // namespace devsim
