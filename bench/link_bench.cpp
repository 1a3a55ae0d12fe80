// The device link's speed against ovrin-devsim on a pseudo-terminal:
// - the worker's time per frame on an unpaced line, next to a bare write-then-read exchange of
//   the same frames with the same simulator, so that the ratio is what the worker adds;
// - the worker's frame rate on a line that the simulator paces, against the line-rate bound.
// Only the frame loop is timed (from the first frame's "i 0 frameSize" to "Leave thread while"):
// the port setup and the announce, with their fixed pauses, are not part of a frame's cost.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "job/update_job.h"
#include "link/update_worker.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"
#include "tests/support/devsim_child.h"

namespace {

using Clock = std::chrono::steady_clock;
using devsimtest::DevsimChild;
using job::DeviceType;

constexpr std::uint32_t kLengthBytes = 2;
constexpr std::uint32_t kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
constexpr std::uint32_t kUnpacedFrames = 5000;
constexpr std::uint8_t kFrameAccepted = 0x11;
constexpr std::uint32_t kEndPassProgress = 4;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// As many frames as asked for, or as fit in the frame buffer.
std::uint32_t FramesThatFit(std::uint32_t wanted, std::uint32_t frameSize) {
  return std::min<std::uint32_t>(wanted, job::kFrameBufferSize / frameSize);
}

class SilentSurface : public job::OperatorSurface {
 public:
  void ShowOperatorMessage(const char* text) override { message_ = text; }
  void EnableUpdateButton(bool) override {}
  void EnableBrowseButton(bool) override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void SetPercentText(const char*) override {}

  // The last operator message; none is shown when a job succeeds.
  std::string TakeMessage() { return std::exchange(message_, {}); }

 private:
  std::string message_;
};

// Times the frame loop from the worker's debug texts. Each text is also written, in one write,
// to /dev/null, as the program writes it to standard error: the worker pays for its diagnostics.
class FrameLoopClock {
 public:
  FrameLoopClock() : devNull_(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    platform::SetDebugSink([this](std::string_view text) { OnText(text); });
  }
  ~FrameLoopClock() {
    platform::SetDebugSink({});
    ::close(devNull_);
  }
  FrameLoopClock(const FrameLoopClock&) = delete;
  FrameLoopClock& operator=(const FrameLoopClock&) = delete;

  void Reset() {
    first_ = end_ = {};
    setupTexts_.clear();
  }
  // What the worker wrote before its first frame: the setup's story, for a job that failed.
  const std::string& SetupTexts() const { return setupTexts_; }
  // Seconds from the first frame's pass to the end of the loop, or nothing when either is missing.
  std::optional<double> Seconds() const {
    if (!first_ || !end_) return std::nullopt;
    return SecondsBetween(*first_, *end_);
  }

 private:
  void OnText(std::string_view text) {
    const Clock::time_point now = Clock::now();
    if (!first_ && text.starts_with("i 0 frameSize")) first_ = now;
    if (!first_) setupTexts_ += text;
    if (text == "Leave thread while") end_ = now;
    [[maybe_unused]] const auto written = ::write(devNull_, text.data(), text.size());
  }

  int devNull_;
  std::optional<Clock::time_point> first_;
  std::optional<Clock::time_point> end_;
  std::string setupTexts_;
};

// The worker's side: the job record with its overlapped events, its port COM1 resolved to the
// simulator's pseudo-terminal. The port stays open from one job to the next, as it does after a
// job in the program.
class WorkerRig {
 public:
  explicit WorkerRig(const std::string& portPath) {
    job_->readOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    job_->writeOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    win::SetPortResolver(
        [portPath](std::string_view name) { return name == "COM1" ? portPath : std::string(); });
  }
  ~WorkerRig() {
    win::CloseHandle(job_->portHandle.exchange(0));
    win::CloseHandle(job_->readOverlapped.hEvent);
    win::CloseHandle(job_->writeOverlapped.hEvent);
    win::SetPortResolver(win::DefaultPortResolver);
  }
  WorkerRig(const WorkerRig&) = delete;
  WorkerRig& operator=(const WorkerRig&) = delete;

  // `count` frames of `frameSize` bytes, their length bytes included.
  void LoadFrames(std::uint32_t count, std::uint32_t frameSize) {
    const devsimtest::Bytes frame = devsimtest::MakeFrame(
        static_cast<std::uint16_t>(frameSize - kLengthBytes), static_cast<std::uint8_t>(count));
    std::uint8_t* at = job_->frameBuffer;
    for (std::uint32_t i = 0; i < count; ++i) at = std::copy(frame.begin(), frame.end(), at);
    job_->frameBytes = static_cast<std::int32_t>(count * frameSize);
  }

  // One job handed over as the Update command does and run by the worker to its end; the frame
  // loop's seconds, or nothing (with `failure` set) when the device did not take every frame.
  std::optional<double> RunJob(DeviceType type, std::string& failure) {
    job_->deviceType = type;
    job_->entryId = 1;
    job_->portIndex = 0;
    job_->transferEnded.store(false);
    clock_.Reset();
    job_->state.store(job::JobState::StartRequested, std::memory_order_release);
    devlink::RunJobCycle(*job_, surface_);
    job_->state.store(job::JobState::Idle, std::memory_order_release);
    const std::string message = surface_.TakeMessage();
    const std::uint32_t expected =
        2 * static_cast<std::uint32_t>(job_->frameBytes) + kEndPassProgress;
    if (!message.empty() || job_->progressCount.load() != expected || !clock_.Seconds()) {
      failure = (message.empty() ? "the device did not take every frame" : message) +
                "; setup: " + clock_.SetupTexts();
      return std::nullopt;
    }
    return clock_.Seconds();
  }

 private:
  std::unique_ptr<job::UpdateJob> job_ = std::make_unique<job::UpdateJob>();
  SilentSurface surface_;
  FrameLoopClock clock_;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The floor: the same frames written whole, each followed by a blocking read of its one-byte
// reply, with nothing else in between. Seconds for all of them, or nothing when one was refused.
std::optional<double> BareExchange(devsimtest::PortEnd& port, std::uint32_t frames,
                                   std::uint32_t frameSize) {
  const devsimtest::Bytes frame =
      devsimtest::MakeFrame(static_cast<std::uint16_t>(frameSize - kLengthBytes));
  const Clock::time_point start = Clock::now();
  for (std::uint32_t i = 0; i < frames; ++i) {
    if (!port.Send(frame) || port.Receive(1) != devsimtest::Bytes{kFrameAccepted}) {
      return std::nullopt;
    }
  }
  return SecondsBetween(start, Clock::now());
}

// The worker and the bare exchange, each with a simulator of its own started with `switches`,
// take turns, so that both see the same load on the machine. Manual time is the worker's.
struct SideBySide {
  std::vector<double> worker;
  std::vector<double> bare;
};

std::optional<SideBySide> RunSideBySide(benchmark::State& state, DeviceType type, speed_t bareSpeed,
                                        std::uint32_t frames, std::uint32_t frameSize,
                                        const std::vector<std::string>& switches) {
  DevsimChild workerDevice(switches);
  DevsimChild bareDevice(switches);
  if (workerDevice.PortPath().empty() || bareDevice.PortPath().empty()) {
    state.SkipWithError("the simulator did not start");
    return std::nullopt;
  }
  WorkerRig rig(workerDevice.PortPath());
  rig.LoadFrames(frames, frameSize);
  devsimtest::PortEnd port(bareDevice.PortPath(), bareSpeed);
  SideBySide seconds;
  for (auto _ : state) {
    std::string failure;
    const std::optional<double> worker = rig.RunJob(type, failure);
    const std::optional<double> bare =
        worker ? BareExchange(port, frames, frameSize) : std::optional<double>();
    if (!worker || !bare) {
      failure =
          worker ? "bare exchange: the device did not take every frame" : "worker: " + failure;
      state.SkipWithError(failure.c_str());
      return std::nullopt;
    }
    state.SetIterationTime(*worker);
    seconds.worker.push_back(*worker);
    seconds.bare.push_back(*bare);
  }
  state.counters["frames"] = frames;
  return seconds;
}

// Time per frame on an unpaced line, the median of the iterations. Kestrane runs both stages at
// 57600 bit/s with no pause of its own; unpaced, the speed does not matter.
void BM_PerFrame(benchmark::State& state) {
  const auto frameSize = static_cast<std::uint32_t>(state.range(0));
  const std::uint32_t frames = FramesThatFit(kUnpacedFrames, frameSize);
  const auto seconds =
      RunSideBySide(state, DeviceType::Kestrane, B57600, frames, frameSize, {"--no-frame-log"});
  if (!seconds) return;
  const double workerUs = Median(seconds->worker) / frames * 1e6;
  const double bareUs = Median(seconds->bare) / frames * 1e6;
  state.counters["worker_us"] = workerUs;
  state.counters["bare_us"] = bareUs;
  state.counters["ratio"] = workerUs / bareUs;
}

// Frames enough for about two and a half seconds of exchanges, or at least one; 200 frames of
// 256 bytes at 57600 bit/s, as the line-efficiency target is stated for.
std::uint32_t PacedFrames(std::uint32_t baud, std::uint32_t frameSize, std::uint32_t turnaroundMs) {
  if (baud == 57600 && frameSize == 256) return 200;
  constexpr double kBudgetSeconds = 2.5;
  const double exchangeSeconds = (frameSize + 1.0) * kBitsPerByte / baud + turnaroundMs / 1000.0;
  return std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kBudgetSeconds / exchangeSeconds));
}

// The share of the line-rate bound (each frame and its one-byte acknowledgement at 10 bits a
// byte) reached on a line that the simulator paces at the speed set on the port, with a
// turnaround before each reply. ReaderA runs at 9600 bit/s throughout, Kestrane at 57600. The
// bare exchange on the same kind of line is the floor of a frame-then-acknowledgement protocol.
void BM_LineEfficiency(benchmark::State& state) {
  const auto baud = static_cast<std::uint32_t>(state.range(0));
  const auto frameSize = static_cast<std::uint32_t>(state.range(1));
  const auto turnaroundMs = static_cast<std::uint32_t>(state.range(2));
  const std::uint32_t frames = PacedFrames(baud, frameSize, turnaroundMs);
  const bool slow = baud == 9600;
  const auto seconds = RunSideBySide(
      state, slow ? DeviceType::ReaderA : DeviceType::Kestrane, slow ? B9600 : B57600, frames,
      frameSize, {"--no-frame-log", "--pace", "--turnaround", std::to_string(turnaroundMs)});
  if (!seconds) return;
  const double bound = frames * (frameSize + 1.0) * kBitsPerByte / baud;
  state.counters["bound_s"] = bound;
  state.counters["worker_efficiency"] = bound / Median(seconds->worker);
  state.counters["bare_efficiency"] = bound / Median(seconds->bare);
}

BENCHMARK(BM_PerFrame)
    ->ArgName("frame")
    ->Arg(2)
    ->Arg(256)
    ->Arg(4096)
    ->Arg(65537)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(BM_LineEfficiency)
    ->ArgNames({"baud", "frame", "turnaround_ms"})
    ->ArgsProduct({{9600, 57600}, {16, 256, 4096}, {0, 16}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
