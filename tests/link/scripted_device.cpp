#include "tests/link/scripted_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace devlink::scripted {
namespace {

constexpr std::uint8_t kAnnounceStart = 0xF0;
constexpr std::size_t kAnnounceSize = 30;
constexpr std::size_t kReplySize = 14;
constexpr std::size_t kReplyCode = 9;
constexpr std::uint8_t kAccept = 0x11;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Clock milliseconds as real nanoseconds from now.
std::int64_t DueNs(platform::Millis clockMs) {
  return NowNs() + std::int64_t{platform::RealTimeoutMs(clockMs)} * 1'000'000;
}

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

}  // namespace

Bytes DeviceScript::AckReply(std::uint8_t code) {
  Bytes reply(kReplySize, 0x00);
  reply[kReplyCode] = code;
  return reply;
}

ScriptedDevice::ScriptedDevice(DeviceScript script) : script_(std::move(script)) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  Require(master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0, "posix_openpt");
  portPath_ = ptsname(master_);
  portSide_ = ::open(portPath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  Require(portSide_ >= 0, "open port side");
  stop_ = eventfd(0, EFD_CLOEXEC);
  Require(stop_ >= 0, "eventfd");
  thread_ = std::thread([this] { Run(); });
}

ScriptedDevice::~ScriptedDevice() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
  thread_.join();
  HangUp();
  ::close(portSide_);
  ::close(stop_);
}

std::vector<Received> ScriptedDevice::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::vector<Received> ScriptedDevice::frames() const {
  std::vector<Received> result = received();
  std::erase_if(result, [](const Received& r) { return r.kind != Received::Kind::Frame; });
  return result;
}

std::vector<Received> ScriptedDevice::announces() const {
  std::vector<Received> result = received();
  std::erase_if(result, [](const Received& r) { return r.kind != Received::Kind::Announce; });
  return result;
}

void ScriptedDevice::Run() {
  for (;;) {
    pollfd fds[2] = {{stop_, POLLIN, 0}, {stalled_ ? -1 : master_, POLLIN, 0}};
    ::poll(fds, 2, PollTimeoutMs());
    if (fds[0].revents != 0) return;
    if (stalled_ && NowNs() >= stallEndNs_) stalled_ = false;
    WriteDueReplies();
    if ((fds[1].revents & POLLIN) != 0) Consume();
  }
}

int ScriptedDevice::PollTimeoutMs() const {
  std::int64_t due = stalled_ ? stallEndNs_ : INT64_MAX;
  for (const Scheduled& reply : replies_) due = std::min(due, reply.dueNs);
  if (due == INT64_MAX) return -1;
  return static_cast<int>(std::max<std::int64_t>(0, (due - NowNs() + 999'999) / 1'000'000));
}

void ScriptedDevice::WriteDueReplies() {
  const std::int64_t now = NowNs();
  for (auto it = replies_.begin(); it != replies_.end();) {
    if (it->dueNs > now) {
      ++it;
      continue;
    }
    if (master_ >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(master_, it->bytes.data(), it->bytes.size());
    }
    it = replies_.erase(it);
  }
}

void ScriptedDevice::Consume() {
  std::uint8_t chunk[4096];
  const ssize_t n = ::read(master_, chunk, sizeof chunk);
  if (n <= 0) return;
  pending_.insert(pending_.end(), chunk, chunk + n);
  while (master_ >= 0 && TakeMessage()) {
  }
  if (script_.stallAtFrame == framesSeen_ && !pending_.empty() && stallEndNs_ == 0) {
    stalled_ = true;
    stallEndNs_ = DueNs(script_.stallMs);
  }
}

// Takes one whole announce or frame off the front of what has come, if there is one.
bool ScriptedDevice::TakeMessage() {
  if (pending_.empty()) return false;
  if (pending_[0] == kAnnounceStart) {
    if (pending_.size() < kAnnounceSize) return false;
    OnAnnounce();
    return true;
  }
  if (pending_.size() < 2) return false;
  const std::size_t size = (std::size_t{pending_[0]} << 8 | pending_[1]) + 2;
  if (pending_.size() < size) return false;
  Record(Received::Kind::Frame, size);
  OnFrame();
  return true;
}

void ScriptedDevice::OnAnnounce() {
  Record(Received::Kind::Announce, kAnnounceSize);
  if (script_.announceReply) Reply(*script_.announceReply, script_.announceReplyDelayMs);
}

void ScriptedDevice::OnFrame() {
  const std::size_t frame = framesSeen_++;
  if (script_.onFrame) script_.onFrame(frame);
  if (script_.hangUpAtFrame == frame) return HangUp();
  Reply(frame < script_.frameReplies.size() ? script_.frameReplies[frame] : Bytes{kAccept},
        script_.turnaroundMs);
}

void ScriptedDevice::Reply(const Bytes& bytes, platform::Millis delayMs) {
  if (!bytes.empty()) replies_.push_back({DueNs(delayMs), bytes});
}

void ScriptedDevice::HangUp() {
  if (master_ < 0) return;
  ::close(master_);
  master_ = -1;
}

void ScriptedDevice::Record(Received::Kind kind, std::size_t size) {
  termios line{};
  ::tcgetattr(master_, &line);
  std::lock_guard lock(mutex_);
  received_.push_back({kind, Bytes(pending_.begin(), pending_.begin() + static_cast<long>(size)),
                       cfgetospeed(&line)});
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(size));
}

}  // namespace devlink::scripted
