// The device side as the worker meets it. Each input becomes a small well-formed image and a
// script of what the device answers: the announce reply (one of the right size, one of another
// size, none, or one that comes late) and, for each frame the worker sends, an acceptance, another
// byte, a run of garbage, silence or a hang-up. One job cycle runs against a scripted device on a
// real pseudo-terminal, on a compressed clock, and every run must end, with success or with the
// no-response failure, the progress count never ahead of what the device accepted, and every frame
// reaching the device whole and in order.
//
// `worker_fuzz --write-seeds=DIR` writes the seed corpus (libFuzzer leaves "--" flags to us).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "job/operator_surface.h"
#include "job/update_job.h"
#include "link/announce.h"
#include "link/update_worker.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"
#include "tests/link/scripted_device.h"

namespace {

using devlink::scripted::Bytes;
using devlink::scripted::DeviceScript;
using devlink::scripted::ScriptedDevice;
using job::DeviceType;

// A silent device's 6 periods of 5.5 s take about 37 ms of real time. Waits end on whole real
// milliseconds, so a wait can run up to `kClockScale` clock milliseconds long: at this scale the
// 3000 ms announce window ends between 3000 and 4000 ms, and a late reply means something.
constexpr std::uint32_t kClockScale = 1000;
constexpr auto kRunLimit = std::chrono::seconds(20);
constexpr int kAttempts = 3;  // of an input whose outcome an in-step device decides
constexpr auto kDeliveryLimit = std::chrono::seconds(5);

constexpr std::uint8_t kAccept = 0x11;
constexpr std::uint8_t kAnnounceAck = 0x04;
constexpr std::size_t kAnnounceReplyCode = 9;
constexpr std::uint32_t kEndPassProgress = 4;
constexpr std::size_t kMaxSendings = 4;
constexpr std::size_t kMaxEmptyPeriods = 6;

constexpr std::size_t kMaxFrames = 4;
constexpr std::uint8_t kFrameLengths = 64;
constexpr std::size_t kMaxImageBytes = kMaxFrames * (kFrameLengths + 1);
constexpr std::size_t kMaxReplies = kMaxFrames * kMaxSendings;
constexpr std::uint8_t kMaxSizedReply = 40;  // within the announce read's room
constexpr std::uint8_t kLateSteps = 25;
constexpr platform::Millis kLateStepMs = 500;
// The re-opened port is purged 8000 ms after the announce at the soonest. The device's reply timer
// rounds up to whole real milliseconds twice (up to 2000 ms here), so a reply due by 3500 ms is
// written at least 2.5 ms of real time before the purge; under load, replies due at 4000 and
// 5000 ms were seen to miss it now and then.
constexpr platform::Millis kPurgedLateMs = 3500;
constexpr std::uint8_t kMaxGarbage = 8;
constexpr platform::Millis kSlowTurnaroundMs = 100;

constexpr DeviceType kDeviceTypes[] = {DeviceType::Keyboard, DeviceType::Kestrane,
                                       DeviceType::ReaderA, DeviceType::ReaderB,
                                       DeviceType::Joystick};
constexpr std::uint8_t kDeviceTypeCount = std::size(kDeviceTypes);

// ---------------------------------------------------------------------------------------------
// The input format. Bytes past the end of the input read as 0.
//   [0]  device type, index into kDeviceTypes (mod 5)
//   [1]  bits 0-1: frame count - 1; bit 2: 100 ms turnaround (else none); bits 3-7: image fill
//   then one byte per frame: its length L (mod 64); the frame is L + 2 bytes on the line
//   then the announce reply: kind (mod 4); Sized: count (mod 40, + 1) and the code at byte 9;
//        Late: the delay in steps of 500 ms (mod 25)
//   then, until the input ends or at most 16: the reply to each frame sent, op (mod 8):
//        0-3 accept; 4 another byte (next byte); 5 garbage (length (mod 7) + 2, then its bytes);
//        6 silence; 7 hang-up (the last reply)
// Frames sent beyond the replies given are accepted.

enum class AnnounceKind : std::uint8_t { Ack, Sized, None, Late };
enum class ReplyKind : std::uint8_t { Accept, OtherByte, Garbage, Silence, HangUp };

struct FrameReply {
  ReplyKind kind = ReplyKind::Accept;
  Bytes bytes;  // what the device writes; empty for silence and a hang-up
  bool operator==(const FrameReply&) const = default;
};

struct Scenario {
  std::uint8_t typeIndex = 0;
  std::vector<std::uint8_t> frameLengths;
  std::uint8_t fill = 0;
  bool slowTurnaround = false;
  AnnounceKind announce = AnnounceKind::Ack;
  std::uint8_t sizedCount = 0;
  std::uint8_t sizedCode = 0;
  std::uint8_t lateSteps = 0;
  std::vector<FrameReply> replies;
  bool operator==(const Scenario&) const = default;

  DeviceType type() const { return kDeviceTypes[typeIndex]; }
  platform::Millis announceDelayMs() const {
    return announce == AnnounceKind::Late ? lateSteps * kLateStepMs : 0;
  }
  std::optional<Bytes> announceReply() const;
  std::optional<std::size_t> hangUpAt() const;
};

class InputReader {
 public:
  InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
  bool AtEnd() const { return at_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

FrameReply DecodeReply(InputReader& in) {
  const std::uint8_t op = in.Next() % 8;
  if (op < 4) return {ReplyKind::Accept, {kAccept}};
  if (op == 4) return {ReplyKind::OtherByte, {in.Next()}};
  if (op == 5) {
    FrameReply garbage{ReplyKind::Garbage, Bytes(in.Next() % (kMaxGarbage - 1) + 2)};
    for (std::uint8_t& byte : garbage.bytes) byte = in.Next();
    return garbage;
  }
  return {op == 6 ? ReplyKind::Silence : ReplyKind::HangUp, {}};
}

Scenario Decode(const std::uint8_t* data, std::size_t size) {
  InputReader in(data, size);
  Scenario s;
  s.typeIndex = in.Next() % kDeviceTypeCount;
  const std::uint8_t layout = in.Next();
  s.slowTurnaround = (layout & 0x04) != 0;
  s.fill = static_cast<std::uint8_t>(layout >> 3);
  s.frameLengths.resize((layout & 0x03) + 1u);
  for (std::uint8_t& length : s.frameLengths) length = in.Next() % kFrameLengths;
  s.announce = static_cast<AnnounceKind>(in.Next() % 4);
  if (s.announce == AnnounceKind::Sized) {
    s.sizedCount = static_cast<std::uint8_t>(in.Next() % kMaxSizedReply + 1);
    s.sizedCode = in.Next();
  }
  if (s.announce == AnnounceKind::Late) s.lateSteps = in.Next() % kLateSteps;
  while (!in.AtEnd() && s.replies.size() < kMaxReplies) {
    s.replies.push_back(DecodeReply(in));
    if (s.replies.back().kind == ReplyKind::HangUp) break;
  }
  return s;
}

void EncodeReply(const FrameReply& reply, Bytes& out) {
  switch (reply.kind) {
    case ReplyKind::Accept:
      out.push_back(0);
      return;
    case ReplyKind::OtherByte:
      out.insert(out.end(), {4, reply.bytes.at(0)});
      return;
    case ReplyKind::Garbage:
      out.insert(out.end(), {5, static_cast<std::uint8_t>(reply.bytes.size() - 2)});
      out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
      return;
    case ReplyKind::Silence:
      out.push_back(6);
      return;
    case ReplyKind::HangUp:
      out.push_back(7);
      return;
  }
}

Bytes Encode(const Scenario& s) {
  Bytes out{s.typeIndex, static_cast<std::uint8_t>((s.fill << 3) | (s.slowTurnaround ? 0x04 : 0) |
                                                   (s.frameLengths.size() - 1))};
  out.insert(out.end(), s.frameLengths.begin(), s.frameLengths.end());
  out.push_back(static_cast<std::uint8_t>(s.announce));
  if (s.announce == AnnounceKind::Sized) {
    out.insert(out.end(), {static_cast<std::uint8_t>(s.sizedCount - 1), s.sizedCode});
  }
  if (s.announce == AnnounceKind::Late) out.push_back(s.lateSteps);
  for (const FrameReply& reply : s.replies) EncodeReply(reply, out);
  return out;
}

std::optional<Bytes> Scenario::announceReply() const {
  switch (announce) {
    case AnnounceKind::None:
      return std::nullopt;
    case AnnounceKind::Sized: {
      Bytes reply(sizedCount, 0x00);
      if (reply.size() > kAnnounceReplyCode) reply[kAnnounceReplyCode] = sizedCode;
      return reply;
    }
    default:
      return DeviceScript::AckReply(kAnnounceAck);
  }
}

std::optional<std::size_t> Scenario::hangUpAt() const {
  const auto hangUp = std::find_if(replies.begin(), replies.end(), [](const FrameReply& reply) {
    return reply.kind == ReplyKind::HangUp;
  });
  if (hangUp == replies.end()) return std::nullopt;
  return static_cast<std::size_t>(hangUp - replies.begin());
}

std::string Describe(const Scenario& s) {
  static const char* const kTypeNames[] = {"Keyboard", "Kestrane", "ReaderA", "ReaderB",
                                           "Joystick"};
  static const char* const kAnnounceNames[] = {"ack", "sized", "none", "late"};
  static const char* const kReplyNames[] = {"accept", "byte", "garbage", "silence", "hang-up"};
  std::string text = std::string("device ") + kTypeNames[s.typeIndex] + ", frames";
  for (const std::uint8_t length : s.frameLengths) text += " " + std::to_string(length + 2);
  text += std::string(", turnaround ") + (s.slowTurnaround ? "100" : "0") + " ms, announce " +
          kAnnounceNames[static_cast<int>(s.announce)];
  if (s.announce == AnnounceKind::Sized) {
    text += " " + std::to_string(s.sizedCount) + " bytes code " + std::to_string(s.sizedCode);
  }
  if (s.announce == AnnounceKind::Late) text += " " + std::to_string(s.announceDelayMs()) + " ms";
  text += ", replies:";
  for (const FrameReply& reply : s.replies) {
    text += std::string(" ") + kReplyNames[static_cast<int>(reply.kind)];
    for (const std::uint8_t byte : reply.bytes) text += " " + std::to_string(byte);
    text += ";";
  }
  return text;
}

// ---------------------------------------------------------------------------------------------
// What an in-step device makes of the job: when every frame gets at most one reply byte and no
// announce reply can reach the frame loop, the worker reads each reply as the answer to the frame
// it last sent, and the outcome follows from the script alone.

struct Prediction {
  bool succeeds = false;
  std::size_t sendings = 0;
  std::size_t refusalsSurvived = 0;
  ReplyKind ending = ReplyKind::Accept;
};

bool RepliesInStep(const Scenario& s) {
  return std::none_of(s.replies.begin(), s.replies.end(),
                      [](const FrameReply& reply) { return reply.kind == ReplyKind::Garbage; });
}

Prediction Predict(const Scenario& s) {
  Prediction p;
  std::size_t frame = 0;
  std::size_t refusals = 0;
  while (frame < s.frameLengths.size()) {
    const FrameReply reply = p.sendings < s.replies.size() ? s.replies[p.sendings] : FrameReply{};
    ++p.sendings;
    const bool accepted = reply.kind == ReplyKind::Accept ||
                          (reply.kind == ReplyKind::OtherByte && reply.bytes[0] == kAccept);
    if (accepted) {
      ++frame;
      refusals = 0;
    } else if (reply.kind != ReplyKind::OtherByte || ++refusals == kMaxSendings) {
      p.ending = reply.kind;
      return p;
    } else {
      ++p.refusalsSurvived;
    }
  }
  p.succeeds = true;
  return p;
}

// ---------------------------------------------------------------------------------------------
// One job cycle against the scripted device, and what it showed.

struct FrameSpan {
  std::uint32_t offset;
  std::uint32_t size;
};

struct Sending {
  std::uint32_t offset;
  std::uint32_t size;
  std::size_t textIndex;
};

// Aborts the process when a job cycle has not returned within the limit.
class Watchdog {
 public:
  Watchdog() {
    std::thread([this] { Watch(); }).detach();
  }
  void Arm(std::string what) {
    std::lock_guard lock(mutex_);
    what_ = std::move(what);
    deadline_ = std::chrono::steady_clock::now() + kRunLimit;
    armed_ = true;
    changed_.notify_all();
  }
  void Disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    changed_.notify_all();
  }

 private:
  void Watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return armed_; });
      const auto deadline = deadline_;
      if (!changed_.wait_until(lock, deadline, [&] { return !armed_ || deadline_ != deadline; })) {
        std::fprintf(stderr, "worker_fuzz: the job cycle did not end within %lld s\n  %s\n",
                     static_cast<long long>(kRunLimit.count()), what_.c_str());
        std::abort();
      }
    }
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool armed_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::string what_;
};

// Counts the frames the device has taken whole, for the wait until it has them all.
class DeliveryCounter {
 public:
  void Add() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool AwaitAtLeast(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kDeliveryLimit, [&] { return count_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t count_ = 0;
};

class JobRun;

class Surface : public job::OperatorSurface {
 public:
  explicit Surface(JobRun& run) : run_(run) {}
  void ShowOperatorMessage(const char* text) override;
  void EnableUpdateButton(bool enabled) override;
  void EnableBrowseButton(bool) override { calls.push_back("browse"); }
  void SetProgressRange(std::uint32_t) override { calls.push_back("range"); }
  void SetProgressPosition(std::uint32_t) override { calls.push_back("position"); }
  void SetPercentText(const char*) override { calls.push_back("percent"); }
  std::vector<std::string> calls;

 private:
  JobRun& run_;
};

class JobRun {
 public:
  JobRun(job::UpdateJob& job, const Scenario& scenario) : job_(job), scenario_(scenario) {}

  // Runs the job cycle and checks it; returns what an in-step device did not get, or nothing.
  const char* Run() {
    LoadImage();
    DeviceScript script = ScriptOf();
    script.onFrame = [this](std::size_t) { delivered_.Add(); };
    device_ = std::make_unique<ScriptedDevice>(std::move(script));
    win::SetPortResolver([path = device_->portPath()](std::string_view name) {
      return name == "COM1" ? path : std::string();
    });
    platform::SetDebugSink([this](std::string_view text) { OnText(text); });
    HandOver();
    devlink::RunJobCycle(job_, surface_);
    platform::SetDebugSink([](std::string_view) {});
    CheckOutcome();
    CheckDelivery();
    win::CloseHandle(job_.portHandle.exchange(0));
    device_.reset();
    return PredictionMismatch();
  }

  void OnOperatorMessage() { CheckProgressWithinAccepted(job_.progressCount.load(), false); }

  void Require(bool condition, const char* what) const {
    if (condition) return;
    std::fprintf(stderr, "worker_fuzz: %s\n  %s\n  debug texts:", what,
                 Describe(scenario_).c_str());
    for (const std::string& text : texts_) std::fprintf(stderr, " [%s]", Escaped(text).c_str());
    std::fprintf(stderr, "\n  surface:");
    for (const std::string& call : surface_.calls) std::fprintf(stderr, " [%s]", call.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
  }

 private:
  // Progress may count a frame only once the device has sent an acceptance for it. The bound
  // counts acceptance bytes rather than answered frames: after a reply of several bytes the
  // worker takes the later ones as the answers to its next sendings, so an acceptance meant for a
  // resent frame may be read as the next frame's.
  void CheckProgressWithinAccepted(std::uint32_t progress, bool ended) const {
    const std::size_t accepted =
        std::min(AcceptancesSent(device_->frames().size()), frames_.size());
    const std::uint32_t bound = 2 * PrefixBytes(accepted) + (ended ? kEndPassProgress : 0);
    Require(progress <= bound, "the progress count runs ahead of the frames the device accepted");
  }

  DeviceScript ScriptOf() const {
    DeviceScript script;
    script.announceReply = scenario_.announceReply();
    script.announceReplyDelayMs = scenario_.announceDelayMs();
    script.turnaroundMs = scenario_.slowTurnaround ? kSlowTurnaroundMs : 0;
    script.hangUpAtFrame = scenario_.hangUpAt();
    for (const FrameReply& reply : scenario_.replies) script.frameReplies.push_back(reply.bytes);
    return script;
  }

  // Frames of the scenario's lengths, laid end to end, each filled with a pattern.
  void LoadImage() {
    std::fill_n(job_.frameBuffer, kMaxImageBytes, std::uint8_t{0});
    std::uint32_t at = 0;
    for (const std::uint8_t length : scenario_.frameLengths) {
      frames_.push_back({at, length + 2u});
      job_.frameBuffer[at++] = 0;
      job_.frameBuffer[at++] = length;
      for (std::uint8_t i = 0; i < length; ++i, ++at) {
        job_.frameBuffer[at] = static_cast<std::uint8_t>(scenario_.fill + at * 7);
      }
    }
    job_.frameBytes = static_cast<std::int32_t>(at);
  }

  void HandOver() {
    job_.deviceType = scenario_.type();
    job_.entryId = job::kFirmwareEntryId;
    job_.portIndex = 0;
    job_.transferEnded.store(false);
    job_.progressCount.store(0);
    job_.state.store(job::JobState::StartRequested, std::memory_order_release);
  }

  // Acceptance bytes the device has sent or scheduled once it has taken `framesTaken` frames,
  // counting the announce reply's too: a late one may reach the frame loop.
  std::size_t AcceptancesSent(std::size_t framesTaken) const {
    const auto acceptances = [](const Bytes& bytes) {
      return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), kAccept));
    };
    std::size_t count = acceptances(scenario_.announceReply().value_or(Bytes{}));
    for (std::size_t frame = 0; frame < framesTaken; ++frame) {
      count += frame < scenario_.replies.size() ? acceptances(scenario_.replies[frame].bytes) : 1;
    }
    return count;
  }

  std::uint32_t PrefixBytes(std::size_t frameCount) const {
    return frameCount == 0 ? 0 : frames_[frameCount - 1].offset + frames_[frameCount - 1].size;
  }

  void OnText(std::string_view text) {
    texts_.emplace_back(text);
    int offset = 0;
    int size = 0;
    if (std::sscanf(texts_.back().c_str(), "i %d frameSize %d \n", &offset, &size) != 2) return;
    const std::uint32_t progress = job_.progressCount.load();
    const bool endPass = offset == job_.frameBytes;
    if (endPass) {
      Require(progress == 2 * static_cast<std::uint32_t>(offset) + kEndPassProgress,
              "the end of the image counts every frame and the end pass");
    } else {
      Require(progress == 2 * static_cast<std::uint32_t>(offset),
              "each frame is counted once, when it is accepted");
      sendings_.push_back({static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size),
                           texts_.size() - 1});
    }
    CheckProgressWithinAccepted(progress, endPass);
  }

  void CheckOutcome() const {
    Require(!texts_.empty() && texts_.back() == "Leave thread while",
            "the job cycle ends by leaving the frame loop");
    const bool succeeded = job_.transferEnded.load(std::memory_order_acquire);
    if (succeeded) {
      Require(job_.progressCount.load() == 2 * PrefixBytes(frames_.size()) + kEndPassProgress,
              "a successful update counts every frame and the end pass");
      Require(surface_.calls.empty(), "a successful update tells the operator nothing yet");
      Require(job_.state.load() == job::JobState::Running,
              "a successful update stays Running until completion");
      Require(AcceptancesSent(device_->frames().size()) >= frames_.size(),
              "success needs an acceptance for every frame");
    } else {
      Require(
          surface_.calls ==
              std::vector<std::string>{std::string("message:") + job::kMsgNoRespond, "update: on"},
          "a run that does not succeed ends in the no-response failure");
      Require(job_.progressCount.load() == 0, "the no-response failure clears the progress");
      Require(job_.state.load() == job::JobState::Idle, "the no-response failure leaves Idle");
    }
  }

  // The device took every frame the worker sent, whole, in the order of the image, and each frame
  // is sent at most four times in a row. A device that hung up takes no more after that frame.
  void CheckDelivery() {
    Require(!sendings_.empty(), "the image's first frame is sent");
    const std::optional<std::size_t> hangUp = scenario_.hangUpAt();
    const bool hungUp = hangUp && *hangUp < sendings_.size();
    const std::size_t expected = hungUp ? *hangUp + 1 : sendings_.size();
    Require(delivered_.AwaitAtLeast(expected), "every frame sent reaches the device whole");
    const auto received = device_->frames();
    Require(received.size() == expected, "the device takes exactly the frames sent");
    std::size_t frame = 0;
    std::size_t inRow = 0;
    for (std::size_t i = 0; i < sendings_.size(); ++i) {
      if (i > 0 && sendings_[i].offset != sendings_[i - 1].offset) ++frame;
      inRow = i > 0 && sendings_[i].offset == sendings_[i - 1].offset ? inRow + 1 : 1;
      Require(frame < frames_.size() && sendings_[i].offset == frames_[frame].offset &&
                  sendings_[i].size == frames_[frame].size,
              "frames go out in the order of the image, each again or the next one");
      Require(inRow <= kMaxSendings, "a frame is sent at most four times in a row");
      if (i >= received.size()) continue;
      const std::uint8_t* sent = job_.frameBuffer + sendings_[i].offset;
      Require(received[i].bytes == Bytes(sent, sent + sendings_[i].size),
              "the device receives each frame whole, as the image holds it");
    }
    if (job_.transferEnded.load()) {
      Require(frame + 1 == frames_.size(), "a successful update sends the last frame");
    }
    CheckAnnounce();
  }

  void CheckAnnounce() const {
    const auto announces = device_->announces();
    if (scenario_.type() == DeviceType::Joystick) {
      Require(announces.empty(), "a Joystick device is never announced");
      return;
    }
    // The re-opened port's purge drops what has not reached the device yet: on the compressed
    // clock a device held up for 8 ms (its thread, or the pseudo-terminal's delivery) misses the
    // announce that way, and the job goes on as after any unanswered announce.
    if (announces.empty() && Count(0, "Retry...") == 1) return;
    const devlink::AnnounceFrame frame = devlink::BuildAnnounceFrame(job_);
    Require(announces.size() == 1 && announces[0].bytes == Bytes(frame.begin(), frame.end()),
            "the device receives one announce frame, whole");
  }

  // No announce reply can reach the frame loop: none is expected or sent, it was read within its
  // window, or it comes after the window and well before the re-opened port is purged.
  bool AnnounceReplyKeptOutOfFrames() const {
    return scenario_.type() == DeviceType::Joystick || scenario_.announce == AnnounceKind::None ||
           Count(0, "Retry...") == 0 ||
           (scenario_.announce == AnnounceKind::Late &&
            scenario_.announceDelayMs() <= kPurgedLateMs);
  }

  // What the run did that an in-step device did not ask for, or nothing. A frame's reply delayed
  // by the machine beyond six periods also shows here, so the caller runs a mismatch again.
  const char* PredictionMismatch() const {
    if (!RepliesInStep(scenario_) || !AnnounceReplyKeptOutOfFrames()) return nullptr;
    const Prediction p = Predict(scenario_);
    if (job_.transferEnded.load() != p.succeeds)
      return "an in-step device gets the outcome it asked";
    if (sendings_.size() != p.sendings) return "an in-step device gets the sendings it asked for";
    if (Count(0, "\n\nfailed\n\n\n") != p.refusalsSurvived) return "each survived refusal is told";
    if (p.succeeds) return nullptr;
    const std::size_t lastSending = sendings_.back().textIndex;
    if (p.ending == ReplyKind::Silence &&
        Count(lastSending, "\nGot [2] len 0 Still Wait....\n") != kMaxEmptyPeriods) {
      return "a silent device is given up after six empty periods";
    }
    if (p.ending == ReplyKind::HangUp &&
        (Count(lastSending, "\nNot Got \n") != 2 || Count(lastSending, "failnum>=2\n") != 1)) {
      return "a hang-up gives two failed completions";
    }
    return nullptr;
  }

  std::size_t Count(std::size_t from, std::string_view text) const {
    return static_cast<std::size_t>(
        std::count(texts_.begin() + static_cast<std::ptrdiff_t>(from), texts_.end(), text));
  }

  static std::string Escaped(const std::string& text) {
    std::string escaped;
    for (const char c : text) escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    return escaped;
  }

  job::UpdateJob& job_;
  const Scenario& scenario_;
  Surface surface_{*this};
  DeliveryCounter delivered_;
  std::unique_ptr<ScriptedDevice> device_;
  std::vector<FrameSpan> frames_;
  std::vector<Sending> sendings_;
  std::vector<std::string> texts_;
};

void Surface::ShowOperatorMessage(const char* text) {
  run_.OnOperatorMessage();
  calls.push_back(std::string("message:") + text);
}

void Surface::EnableUpdateButton(bool enabled) {
  calls.push_back(enabled ? "update: on" : "update: off");
}

// ---------------------------------------------------------------------------------------------
// The process-wide parts: one job record with its two events, the compressed clock, the watchdog.

struct Fixture {
  Fixture() {
    platform::SetClockScale(kClockScale);
    platform::SetDebugSink([](std::string_view) {});
    job->readOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    job->writeOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  }
  const std::unique_ptr<job::UpdateJob> job = std::make_unique<job::UpdateJob>();
  Watchdog watchdog;
  std::optional<std::vector<std::string>> linkDescriptors;
};

// Never destroyed: the watchdog's thread waits on it until the process ends.
Fixture& TheFixture() {
  static Fixture* const fixture = new Fixture;
  return *fixture;
}

// The open descriptors of the kinds a run opens and must release: pseudo-terminals and events.
// (Others come and go outside the run: the sanitizers' symbolizer keeps a pipe, for one.)
std::vector<std::string> LinkDescriptors() {
  std::vector<std::string> targets;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.starts_with("/dev/pts/") || target == "/dev/ptmx" ||
        target == "anon_inode:[eventfd]") {
      targets.push_back(std::move(target));
    }
  }
  return targets;
}
// ---------------------------------------------------------------------------------------------
// The seed corpus: success on every device family, refusals at the first, a middle and the last
// frame, four refusals, garbage, silence, hang-ups, and each kind of announce reply.

FrameReply Accept() {
  return {ReplyKind::Accept, {kAccept}};
}
FrameReply Other(std::uint8_t byte) {
  return {ReplyKind::OtherByte, {byte}};
}
FrameReply Garbage(Bytes bytes) {
  return {ReplyKind::Garbage, std::move(bytes)};
}
FrameReply Silence() {
  return {ReplyKind::Silence, {}};
}
FrameReply HangUp() {
  return {ReplyKind::HangUp, {}};
}

Scenario Seed(std::uint8_t typeIndex, std::vector<std::uint8_t> frameLengths,
              std::vector<FrameReply> replies = {}) {
  Scenario s;
  s.typeIndex = typeIndex;
  s.frameLengths = std::move(frameLengths);
  s.fill = static_cast<std::uint8_t>(s.frameLengths.size() * 5);
  s.replies = std::move(replies);
  return s;
}

Scenario WithAnnounce(Scenario s, AnnounceKind kind, std::uint8_t detail = 0,
                      std::uint8_t code = 0) {
  s.announce = kind;
  if (kind == AnnounceKind::Sized) {
    s.sizedCount = detail;
    s.sizedCode = code;
  }
  if (kind == AnnounceKind::Late) s.lateSteps = detail;
  return s;
}

struct NamedSeed {
  const char* name;
  Scenario scenario;
};

std::vector<NamedSeed> Seeds() {
  constexpr std::uint8_t kKeyboard = 0, kKestrane = 1, kReaderA = 2, kReaderB = 3, kJoystick = 4;
  const std::vector<std::uint8_t> three = {8, 8, 8};
  Scenario slow = Seed(kKeyboard, {20, 20});
  slow.slowTurnaround = true;
  return {
      {"keyboard-accepted", Seed(kKeyboard, {10, 20, 5})},
      {"kestrane-accepted", Seed(kKestrane, {30, 0})},
      {"reader-a-accepted", Seed(kReaderA, {12})},
      {"reader-b-accepted", Seed(kReaderB, {12, 12})},
      {"joystick-accepted", Seed(kJoystick, {16, 8})},
      {"slow-turnaround", slow},
      {"refused-first-thrice", Seed(kKeyboard, three, {Other(5), Other(5), Other(5), Accept()})},
      {"refused-middle-twice", Seed(kKeyboard, three, {Accept(), Other(5), Other(5), Accept()})},
      {"refused-last-once", Seed(kKeyboard, three, {Accept(), Accept(), Other(5), Accept()})},
      {"refused-middle-four-times",
       Seed(kKeyboard, three, {Accept(), Other(5), Other(5), Other(5), Other(0x80)})},
      {"garbage", Seed(kKestrane, three, {Garbage({0x05, 0x22, 0x11}), Accept(), Accept()})},
      {"silence-at-second", Seed(kKeyboard, three, {Accept(), Silence()})},
      {"hang-up-at-first", Seed(kReaderA, three, {HangUp()})},
      {"hang-up-at-second", Seed(kKeyboard, three, {Accept(), HangUp()})},
      {"announce-none", WithAnnounce(Seed(kKeyboard, {10}), AnnounceKind::None)},
      {"announce-nack", WithAnnounce(Seed(kKestrane, {10}), AnnounceKind::Sized, 14, 0x05)},
      {"announce-short", WithAnnounce(Seed(kKeyboard, {10}), AnnounceKind::Sized, 13, 0x04)},
      {"announce-late-inside", WithAnnounce(Seed(kKeyboard, {10}), AnnounceKind::Late, 5)},
      {"announce-late-outside", WithAnnounce(Seed(kKeyboard, {10}), AnnounceKind::Late, 7)},
      {"announce-late-into-frames",
       WithAnnounce(Seed(kReaderB, {10, 10, 10}), AnnounceKind::Late, 18)},
  };
}

void WriteSeeds(const std::string& directory) {
  for (const NamedSeed& seed : Seeds()) {
    const Bytes bytes = Encode(seed.scenario);
    if (Decode(bytes.data(), bytes.size()) != seed.scenario) {
      std::fprintf(stderr, "worker_fuzz: seed %s does not decode to itself\n", seed.name);
      std::exit(1);
    }
    std::ofstream(directory + "/" + seed.name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  constexpr std::string_view kWriteSeeds = "--write-seeds=";
  for (int i = 1; i < *argc; ++i) {
    const std::string_view arg = (*argv)[i];
    if (!arg.starts_with(kWriteSeeds)) continue;
    WriteSeeds(std::string(arg.substr(kWriteSeeds.size())));
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Fixture& fixture = TheFixture();
  const Scenario scenario = Decode(data, size);
  for (int attempt = 1;; ++attempt) {
    fixture.watchdog.Arm(Describe(scenario));
    JobRun run(*fixture.job, scenario);
    const char* const mismatch = run.Run();
    fixture.watchdog.Disarm();
    if (mismatch == nullptr) break;
    run.Require(attempt < kAttempts, mismatch);
    std::fprintf(stderr, "worker_fuzz: note: attempt %d missed \"%s\"; running it again\n  %s\n",
                 attempt, mismatch, Describe(scenario).c_str());
  }

  const std::vector<std::string> open = LinkDescriptors();
  if (!fixture.linkDescriptors) fixture.linkDescriptors = open;
  if (open.size() > fixture.linkDescriptors->size()) {
    std::fprintf(stderr, "worker_fuzz: a descriptor was left open by the run\n  %s\n  open:",
                 Describe(scenario).c_str());
    for (const std::string& target : open) std::fprintf(stderr, " %s", target.c_str());
    std::fprintf(stderr, "\n  after the first run:");
    for (const std::string& target : *fixture.linkDescriptors) {
      std::fprintf(stderr, " %s", target.c_str());
    }
    std::fprintf(stderr, "\n");
    std::abort();
  }
  return 0;
}
