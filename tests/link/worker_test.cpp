// The worker against a scripted device on a real pseudo-terminal, on a compressed clock: port
// setup, the announce exchange and the frame loop, with every text the operator and the debug
// output see.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/update_job.h"
#include "link/announce.h"
#include "link/update_worker.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"
#include "tests/link/scripted_device.h"

namespace devlink {
namespace {

using job::DeviceType;
using job::JobState;
using scripted::Bytes;
using scripted::DeviceScript;
using scripted::Received;
using scripted::ScriptedDevice;

constexpr std::uint32_t kClockScale = 25;
thread_local bool t_isWorker = false;

class RecordingSurface : public job::OperatorSurface {
 public:
  void ShowOperatorMessage(const char* text) override { Add(std::string("message:") + text); }
  void EnableUpdateButton(bool enabled) override { Add(enabled ? "update: on" : "update: off"); }
  void EnableBrowseButton(bool enabled) override { Add(enabled ? "browse: on" : "browse: off"); }
  void SetProgressRange(std::uint32_t upper) override { Add("range: " + std::to_string(upper)); }
  void SetProgressPosition(std::uint32_t pos) override { Add("pos: " + std::to_string(pos)); }
  void SetPercentText(const char* text) override { Add(std::string("percent: ") + text); }

  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetClockScale(kClockScale);
    job_->readOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    job_->writeOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    platform::SetDebugSink([this](std::string_view text) { OnDebugText(text); });
    platform::SetSleepObserver([this](platform::Millis ms) {
      if (!t_isWorker) return;
      {
        std::lock_guard lock(mutex_);
        pauses_.push_back(ms);
      }
      paused_.notify_all();
    });
    win::SetPortResolver([this](std::string_view name) { return Resolve(name); });
  }

  void TearDown() override {
    win::CloseHandle(job_->portHandle.exchange(0));
    win::CloseHandle(job_->readOverlapped.hEvent);
    win::CloseHandle(job_->writeOverlapped.hEvent);
    win::SetPortResolver(win::DefaultPortResolver);
    platform::SetSleepObserver(nullptr);
    platform::SetDebugSink(nullptr);
    platform::SetClockScale(1);
  }

  ScriptedDevice& AddDevice(const std::string& portName, DeviceScript script = {}) {
    auto device = std::make_unique<ScriptedDevice>(std::move(script));
    ScriptedDevice& added = *device;
    std::lock_guard lock(mutex_);
    ports_[portName] = added.portPath();
    devices_.push_back(std::move(device));
    return added;
  }

  // An image of frames with the given lengths L, each followed by L bytes of a pattern.
  void LoadFrames(const std::vector<std::uint16_t>& lengths) {
    std::int32_t at = 0;
    for (const std::uint16_t length : lengths) {
      job_->frameBuffer[at++] = static_cast<std::uint8_t>(length >> 8);
      job_->frameBuffer[at++] = static_cast<std::uint8_t>(length & 0xFF);
      for (std::uint16_t i = 0; i < length; ++i, ++at) {
        job_->frameBuffer[at] = static_cast<std::uint8_t>(at * 7 + 3);
      }
    }
    job_->frameBytes = at;
  }

  Bytes FrameAt(std::int32_t offset, std::size_t size) const {
    return Bytes(job_->frameBuffer + offset, job_->frameBuffer + offset + size);
  }

  // One job, as the Update command hands it over, run to its end on the worker thread.
  void RunJob(DeviceType type, std::int32_t portIndex) {
    HandOver(type, portIndex);
    StartWorker().join();
  }
  std::thread StartWorker() {
    return std::thread([this] {
      t_isWorker = true;
      RunJobCycle(*job_, surface_);
    });
  }
  void HandOver(DeviceType type, std::int32_t portIndex) {
    job_->deviceType = type;
    job_->entryId = 1;
    job_->portIndex = portIndex;
    job_->transferEnded.store(false);
    job_->state.store(JobState::StartRequested, std::memory_order_release);
  }

  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }
  std::size_t CountText(const std::string& text) const {
    const auto all = texts();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), text));
  }
  // The debug texts from the first one equal to `first` on, at most `count` of them.
  std::vector<std::string> TextsFrom(const std::string& first, std::size_t count = SIZE_MAX) const {
    const auto all = texts();
    const auto from = std::find(all.begin(), all.end(), first);
    const auto room = static_cast<std::size_t>(all.end() - from);
    return {from, from + static_cast<long>(std::min(count, room))};
  }
  std::vector<std::string> LastTexts(std::size_t count) const {
    const auto all = texts();
    return {all.end() - static_cast<long>(std::min(count, all.size())), all.end()};
  }
  std::vector<platform::Millis> pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
  }
  void WaitForPauses(std::size_t count) {
    std::unique_lock lock(mutex_);
    paused_.wait(lock, [&] { return pauses_.size() >= count; });
  }
  std::vector<std::uint32_t> progressAtFramePasses() const {
    std::lock_guard lock(mutex_);
    return progressSamples_;
  }
  // The port's second open (the re-open) finds no device.
  void FailSecondResolveOf(const std::string& portName) {
    std::lock_guard lock(mutex_);
    failSecondResolve_ = portName;
  }

  std::unique_ptr<job::UpdateJob> job_ = std::make_unique<job::UpdateJob>();
  RecordingSurface surface_;

 private:
  void OnDebugText(std::string_view text) {
    std::lock_guard lock(mutex_);
    texts_.emplace_back(text);
    if (text.starts_with("i ") && text.find("frameSize") != std::string_view::npos) {
      progressSamples_.push_back(job_->progressCount.load());
    }
  }

  std::string Resolve(std::string_view name) {
    std::lock_guard lock(mutex_);
    const auto port = ports_.find(std::string(name));
    if (port == ports_.end()) return "";
    if (name == failSecondResolve_ && ++resolveCount_[port->first] == 2) return "";
    return port->second;
  }

  mutable std::mutex mutex_;
  std::condition_variable paused_;
  std::vector<std::unique_ptr<ScriptedDevice>> devices_;
  std::map<std::string, std::string> ports_;
  std::map<std::string, int> resolveCount_;
  std::string failSecondResolve_;
  std::vector<std::string> texts_;
  std::vector<platform::Millis> pauses_;
  std::vector<std::uint32_t> progressSamples_;
};

DeviceScript FrameReplies(std::vector<Bytes> replies) {
  DeviceScript script;
  script.frameReplies = std::move(replies);
  return script;
}

std::vector<std::string> Calls(std::initializer_list<const char*> calls) {
  return {calls.begin(), calls.end()};
}

TEST_F(WorkerTest, TakesTheJobUpOnlyOnceItIsHandedOver) {
  ScriptedDevice& device = AddDevice("COM1");
  LoadFrames({10});
  std::thread worker = StartWorker();
  WaitForPauses(3);
  EXPECT_TRUE(texts().empty());
  EXPECT_TRUE(device.received().empty());
  HandOver(DeviceType::Keyboard, 0);
  worker.join();

  auto waits = pauses();
  ASSERT_GE(waits.size(), 4u);
  EXPECT_EQ(waits.back(), 2000);  // the Keyboard pause after the open
  waits.pop_back();
  for (const platform::Millis wait : waits) EXPECT_EQ(wait, 100);
  EXPECT_EQ(texts().front(), "Start Go Go\n");
  EXPECT_EQ(device.frames().size(), 1u);
}

TEST_F(WorkerTest, KeyboardUpdateAnnouncesAt9600AndTransfersAt57600) {
  ScriptedDevice& device = AddDevice("COM10");
  LoadFrames({100, 100, 50});
  RunJob(DeviceType::Keyboard, 9);

  const auto all = texts();
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 5),
            (std::vector<std::string>{"Start Go Go\n", "\\\\.\\COM10", "\n",
                                      "REopen COM port!!!!\n\n\n", "Got Ack\n"}));
  EXPECT_EQ(pauses(), std::vector<platform::Millis>{2000});
  const auto announces = device.announces();
  ASSERT_EQ(announces.size(), 1u);
  const AnnounceFrame expected = BuildAnnounceFrame(*job_);
  EXPECT_EQ(announces[0].bytes, Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(announces[0].speed, B9600);

  const auto frames = device.frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].bytes, FrameAt(0, 102));
  EXPECT_EQ(frames[1].bytes, FrameAt(102, 102));
  EXPECT_EQ(frames[2].bytes, FrameAt(204, 52));
  for (const Received& frame : frames) EXPECT_EQ(frame.speed, B57600);

  // The end pass adds its 4 before it writes, so 512 is only passed through.
  EXPECT_EQ(progressAtFramePasses(), (std::vector<std::uint32_t>{0, 204, 408, 516}));
  EXPECT_EQ(job_->progressCount.load(), 516u);
  EXPECT_EQ(TextsFrom("i 256 frameSize 2 \n"),
            (std::vector<std::string>{"i 256 frameSize 2 \n", "i 256 isize 256 \n",
                                      "Leave thread while"}));
  EXPECT_EQ(job_->state.load(), JobState::Running);
  EXPECT_TRUE(job_->transferEnded.load(std::memory_order_acquire));
  EXPECT_NE(job_->portHandle.load(), 0u);
  EXPECT_TRUE(surface_.calls().empty());
}

TEST_F(WorkerTest, JoystickIsNeverAnnouncedAndRunsOnAReopenedPortAt9600) {
  ScriptedDevice& device = AddDevice("COM1");
  LoadFrames({10});
  RunJob(DeviceType::Joystick, 0);

  EXPECT_TRUE(device.announces().empty());
  EXPECT_EQ(pauses(), std::vector<platform::Millis>{5000});
  EXPECT_EQ(TextsFrom("Retry...", 3), (std::vector<std::string>{"Retry...", "COM1", "\n"}));
  const auto frames = device.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].speed, B9600);
  EXPECT_EQ(job_->progressCount.load(), 28u);
}

struct AnnounceCase {
  const char* name;
  std::optional<Bytes> reply;
  platform::Millis delayMs;
  const char* codeText;  // "Got Ack\n", "Got Nack\n" or none
  bool reopened;
};

void PrintTo(const AnnounceCase& c, std::ostream* os) {
  *os << c.name;
}

class AnnounceReplyTest : public WorkerTest, public ::testing::WithParamInterface<AnnounceCase> {};

// Whether any reply came decides the re-open; what it says decides nothing.
TEST_P(AnnounceReplyTest, OnlyAMissingReplyReopensThePort) {
  const AnnounceCase& c = GetParam();
  ScriptedDevice& device = AddDevice("COM1", [&] {
    DeviceScript script;
    script.announceReply = c.reply;
    script.announceReplyDelayMs = c.delayMs;
    return script;
  }());
  LoadFrames({20});
  RunJob(DeviceType::Keyboard, 0);

  EXPECT_EQ(CountText("Got Ack\n"), c.codeText == std::string("Got Ack\n") ? 1u : 0u);
  EXPECT_EQ(CountText("Got Nack\n"), c.codeText == std::string("Got Nack\n") ? 1u : 0u);
  EXPECT_EQ(CountText("Retry..."), c.reopened ? 1u : 0u);
  EXPECT_EQ(pauses(), c.reopened ? (std::vector<platform::Millis>{2000, 5000})
                                 : (std::vector<platform::Millis>{2000}));
  EXPECT_EQ(device.announces().size(), 1u);
  // A late reply is dropped by the purge before the transfer: the frame's exchange is clean.
  const auto frames = device.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].speed, B57600);
  EXPECT_EQ(job_->progressCount.load(), 2u * 22 + 4);
  win::COMMTIMEOUTS timeouts;
  ASSERT_TRUE(win::GetCommTimeouts(job_->portHandle.load(), &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 1000u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 500u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 5000u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 500u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 5000u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AnnounceReplyTest,
    ::testing::Values(AnnounceCase{"Ack", DeviceScript::AckReply(0x04), 0, "Got Ack\n", false},
                      AnnounceCase{"Refusal", DeviceScript::AckReply(0x05), 0, "Got Nack\n", false},
                      AnnounceCase{"OtherCode", DeviceScript::AckReply(0x33), 0, "", false},
                      AnnounceCase{"ThirteenBytes", Bytes(13, 0x04), 0, "", false},
                      AnnounceCase{"None", std::nullopt, 0, "", true},
                      AnnounceCase{"AfterTheWindow", DeviceScript::AckReply(0x04), 5500, "", true}),
    [](const ::testing::TestParamInfo<AnnounceCase>& tested) {
      return std::string(tested.param.name);
    });

TEST_F(WorkerTest, RefusedFrameIsSentAgainAndCountedOnce) {
  ScriptedDevice& device = AddDevice("COM1", FrameReplies({{0x05}, {0x05}, {0x11}}));
  LoadFrames({30});
  RunJob(DeviceType::Keyboard, 0);

  const auto frames = device.frames();
  ASSERT_EQ(frames.size(), 3u);
  for (const Received& frame : frames) EXPECT_EQ(frame.bytes, FrameAt(0, 32));
  EXPECT_EQ(CountText("\n\nfailed\n\n\n"), 2u);
  EXPECT_EQ(CountText("\nGot [2] len 1 0x5\n"), 2u);
  EXPECT_EQ(job_->progressCount.load(), 2u * 32 + 4);
  EXPECT_TRUE(surface_.calls().empty());
}

TEST_F(WorkerTest, ByteAlreadyThereCompletesAtOnceWithTheSameTextWhateverItIs) {
  // The device answers the first frame twice: the second byte is waiting when the next frame's
  // read is issued.
  ScriptedDevice& device = AddDevice("COM1", FrameReplies({{0x11, 0x42}}));
  LoadFrames({10, 10});
  RunJob(DeviceType::Keyboard, 0);

  EXPECT_EQ(CountText("\nGot [1] 0x11\n"), 1u);
  EXPECT_EQ(CountText("\n\nfailed\n\n\n"), 1u);  // 0x42 is a refusal all the same
  EXPECT_EQ(device.frames().size(), 3u);
  EXPECT_EQ(job_->progressCount.load(), 2u * 12 + 2u * 12 + 4);
}

TEST_F(WorkerTest, FourthRefusalEndsTheJobAndLeavesThePortOpenForTheSamePort) {
  ScriptedDevice& device =
      AddDevice("COM3", FrameReplies({{0x05}, {0x05}, {0x05}, {0x80}, {0x05}, {0x05}, {0x05}}));
  LoadFrames({40});
  job_->progressCount.store(1234);
  RunJob(DeviceType::Keyboard, 2);

  EXPECT_EQ(device.frames().size(), 4u);
  EXPECT_EQ(CountText("\n\nfailed\n\n\n"), 3u);
  EXPECT_EQ(CountText("\nGot [2] len 1 0xffffff80\n"), 1u);
  EXPECT_EQ(surface_.calls(), Calls({"message: No Respond\n Please Retry Again", "update: on"}));
  EXPECT_EQ(texts().back(), "Leave thread while");
  EXPECT_EQ(job_->state.load(), JobState::Idle);
  EXPECT_EQ(job_->progressCount.load(), 0u);
  EXPECT_FALSE(job_->transferEnded.load());
  const win::HANDLE port = job_->portHandle.load();
  ASSERT_NE(port, 0u);

  // The operator still selects COM3: the same handle, no fresh open and no pause; the resend
  // count starts again, so three more refusals are survived.
  const std::size_t reopensBefore = CountText("REopen COM port!!!!\n\n\n");
  RunJob(DeviceType::Keyboard, 2);
  EXPECT_EQ(CountText("REopen COM port!!!!\n\n\n"), reopensBefore);
  EXPECT_EQ(pauses(), std::vector<platform::Millis>{2000});
  EXPECT_EQ(job_->portHandle.load(), port);
  EXPECT_EQ(device.announces().size(), 2u);
  EXPECT_EQ(device.frames().size(), 8u);
  EXPECT_EQ(job_->progressCount.load(), 2u * 42 + 4);
  EXPECT_EQ(surface_.calls().size(), 2u);
}

TEST_F(WorkerTest, AnotherSelectedPortAfterAFailureClosesTheOpenOneAndOpensTheChosen) {
  ScriptedDevice& first = AddDevice("COM3", FrameReplies({{0x05}, {0x05}, {0x05}, {0x05}}));
  ScriptedDevice& second = AddDevice("COM5");
  LoadFrames({40});
  RunJob(DeviceType::Keyboard, 2);
  const win::HANDLE failedPort = job_->portHandle.load();
  ASSERT_NE(failedPort, 0u);

  RunJob(DeviceType::Keyboard, 4);
  EXPECT_EQ(CountText("REopen COM port!!!!\n\n\n"), 2u);
  EXPECT_EQ(pauses(), (std::vector<platform::Millis>{2000, 2000}));
  win::DCB settings;
  EXPECT_FALSE(win::GetCommState(failedPort, &settings));  // closed
  EXPECT_EQ(first.announces().size(), 1u);
  EXPECT_EQ(first.frames().size(), 4u);
  EXPECT_EQ(second.announces().size(), 1u);
  EXPECT_EQ(second.frames().size(), 1u);
  EXPECT_EQ(job_->progressCount.load(), 2u * 42 + 4);
}

TEST_F(WorkerTest, SilentDeviceIsGivenUpAfterSixEmptyPeriods) {
  ScriptedDevice& device = AddDevice("COM1", FrameReplies({{}}));
  LoadFrames({10});
  RunJob(DeviceType::Keyboard, 0);

  EXPECT_EQ(device.frames().size(), 1u);
  EXPECT_EQ(CountText("\nGot [2] len 0 Still Wait....\n"), 6u);
  EXPECT_EQ(CountText("\nNot Got \n"), 0u);
  EXPECT_EQ(surface_.calls(), Calls({"message: No Respond\n Please Retry Again", "update: on"}));
  EXPECT_EQ(texts().back(), "Leave thread while");
  EXPECT_EQ(job_->state.load(), JobState::Idle);
  EXPECT_NE(job_->portHandle.load(), 0u);
}

TEST_F(WorkerTest, SilenceWhileALongFrameIsStillGoingOutDoesNotCount) {
  // The device reads nothing for eight periods once the frame starts to arrive: the write stays
  // under way (a pseudo-terminal holds far less than 64 KB), then the frame is accepted.
  ScriptedDevice& device = AddDevice("COM1", [] {
    DeviceScript script;
    script.stallAtFrame = 0;
    script.stallMs = 8 * 5500;
    return script;
  }());
  LoadFrames({65535});
  RunJob(DeviceType::Joystick, 0);

  EXPECT_GE(CountText("\nGot [2] len 0 Still Wait....\n"), 6u);
  ASSERT_EQ(device.frames().size(), 1u);
  EXPECT_EQ(device.frames()[0].bytes, FrameAt(0, 65537));
  EXPECT_TRUE(surface_.calls().empty());
  EXPECT_EQ(job_->progressCount.load(), 2u * 65537 + 4);
}

TEST_F(WorkerTest, HangUpGivesTwoFailedCompletionsAndTheNoResponseFailure) {
  DeviceScript script;
  script.hangUpAtFrame = 0;
  AddDevice("COM1", script);
  LoadFrames({10, 10});
  RunJob(DeviceType::Keyboard, 0);

  EXPECT_EQ(CountText("\nNot Got \n"), 2u);
  EXPECT_EQ(CountText("failnum>=2\n"), 1u);
  EXPECT_EQ(TextsFrom("failnum>=2\n"),
            (std::vector<std::string>{"failnum>=2\n", "Leave thread while"}));
  EXPECT_EQ(surface_.calls(), Calls({"message: No Respond\n Please Retry Again", "update: on"}));
  EXPECT_EQ(job_->progressCount.load(), 0u);
}

// A line that hung up is dead for good: the worker closes it instead of keeping it for the next
// job, which opens the port afresh once the device is back and announces to it as usual.
TEST_F(WorkerTest, PortThatHungUpIsClosedAndOpenedAfreshWhenTheDeviceIsBack) {
  DeviceScript script;
  script.hangUpAtFrame = 0;
  AddDevice("COM1", script);
  LoadFrames({10});
  RunJob(DeviceType::Keyboard, 0);
  EXPECT_EQ(surface_.calls(), Calls({"message: No Respond\n Please Retry Again", "update: on"}));
  EXPECT_EQ(job_->state.load(), JobState::Idle);
  EXPECT_EQ(job_->portHandle.load(), 0u);

  ScriptedDevice& back = AddDevice("COM1");
  RunJob(DeviceType::Keyboard, 0);
  EXPECT_EQ(CountText("REopen COM port!!!!\n\n\n"), 2u);
  EXPECT_EQ(CountText("Retry..."), 0u);
  EXPECT_EQ(pauses(), (std::vector<platform::Millis>{2000, 2000}));
  const auto announces = back.announces();
  ASSERT_EQ(announces.size(), 1u);
  EXPECT_EQ(announces[0].speed, B9600);
  const auto frames = back.frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, FrameAt(0, 12));
  EXPECT_EQ(frames[0].speed, B57600);
  EXPECT_EQ(job_->progressCount.load(), 2u * 12 + 4);
  EXPECT_EQ(surface_.calls().size(), 2u);
}

TEST_F(WorkerTest, PortClosedByTheDialogMidExchangeEndsTheJobCleanly) {
  DeviceScript script = FrameReplies({{}});
  script.onFrame = [this](std::size_t) { win::CloseHandle(job_->portHandle.exchange(0)); };
  AddDevice("COM1", script);
  LoadFrames({10});
  RunJob(DeviceType::Keyboard, 0);

  EXPECT_EQ(CountText("failnum>=2\n"), 1u);
  EXPECT_EQ(surface_.calls(), Calls({"message: No Respond\n Please Retry Again", "update: on"}));
  EXPECT_EQ(job_->portHandle.load(), 0u);
}

// The walk ends at the end of the image, and at a frame that the image does not hold whole: that
// frame is never sent and nothing beyond the image is read.
TEST_F(WorkerTest, WalkEndsWhereTheImageEnds) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> lengths;
    std::int32_t frameBytes;
    std::size_t framesSent;
    std::vector<std::string> endPass;
    std::uint32_t progress;
  };
  const std::vector<Case> cases = {
      {"empty", {}, 0, 0, {"i 0 frameSize 2 \n", "i 0 isize 0 \n", "Leave thread while"}, 4},
      {"lone byte", {10}, 1, 0, {"i 0 frameSize 2 \n", "i 0 isize 1 \n", "Leave thread while"}, 4},
      {"second frame runs past",
       {10, 10},
       17,
       1,
       {"i 12 frameSize 2 \n", "i 12 isize 17 \n", "Leave thread while"},
       2 * 12 + 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedDevice& device = AddDevice("COM1");
    LoadFrames(c.lengths);
    job_->frameBytes = c.frameBytes;
    RunJob(DeviceType::Keyboard, 0);

    EXPECT_EQ(device.frames().size(), c.framesSent);
    EXPECT_EQ(LastTexts(3), c.endPass);
    EXPECT_EQ(job_->progressCount.load(), c.progress);
    EXPECT_TRUE(job_->transferEnded.load());
    win::CloseHandle(job_->portHandle.exchange(0));
  }
}

struct SpeedCase {
  DeviceType type;
  speed_t announce;
  speed_t transfer;
};

TEST_F(WorkerTest, LineSpeedsFollowTheDeviceFamily) {
  const std::vector<SpeedCase> cases = {
      {DeviceType::Kestrane, B57600, B57600},
      {DeviceType::ReaderA, B9600, B9600},
      {DeviceType::ReaderB, B9600, B9600},
  };
  for (const SpeedCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.type));
    ScriptedDevice& device = AddDevice("COM1");
    LoadFrames({10});
    RunJob(c.type, 0);

    const auto announces = device.announces();
    ASSERT_EQ(announces.size(), 1u);
    const AnnounceFrame expected = BuildAnnounceFrame(*job_);
    EXPECT_EQ(announces[0].bytes, Bytes(expected.begin(), expected.end()));
    EXPECT_EQ(announces[0].speed, c.announce);
    const auto frames = device.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].speed, c.transfer);
    win::CloseHandle(job_->portHandle.exchange(0));
  }
}

TEST_F(WorkerTest, OpenFailureReportsAndLeavesNoPort) {
  struct Case {
    std::int32_t portIndex;
    const char* name;
  };
  // No selection names COM0; COM4 is not mapped to any device.
  for (const Case& c : {Case{-1, "\\\\.\\COM0"}, Case{3, "COM4"}}) {
    SCOPED_TRACE(c.name);
    job_->progressCount.store(77);
    const std::size_t before = texts().size();
    const std::size_t callsBefore = surface_.calls().size();
    RunJob(DeviceType::Keyboard, c.portIndex);

    const auto all = texts();
    EXPECT_EQ(
        std::vector<std::string>(all.begin() + static_cast<long>(before), all.end()),
        (std::vector<std::string>{"Start Go Go\n", c.name, "\n", "REopen COM port!!!!\n\n\n"}));
    const auto calls = surface_.calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<long>(callsBefore), calls.end()),
              Calls({"message: Open COM Failed\n Please Retry Again", "update: on"}));
    EXPECT_EQ(job_->state.load(), JobState::Idle);
    EXPECT_EQ(job_->portHandle.load(), 0u);
    EXPECT_EQ(job_->progressCount.load(), 77u);
  }
}

TEST_F(WorkerTest, PortHeldElsewhereGivesTheOpenFailure) {
  AddDevice("COM1");
  const win::HANDLE holder =
      win::CreateFileA("COM1", win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                       win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, 0);
  ASSERT_NE(holder, win::INVALID_HANDLE_VALUE);
  LoadFrames({10});
  RunJob(DeviceType::Keyboard, 0);
  win::CloseHandle(holder);

  EXPECT_EQ(surface_.calls(),
            Calls({"message: Open COM Failed\n Please Retry Again", "update: on"}));
  EXPECT_EQ(job_->state.load(), JobState::Idle);
  EXPECT_EQ(job_->portHandle.load(), 0u);
}

TEST_F(WorkerTest, FailedReopenTakesTheOpenFailurePath) {
  AddDevice("COM2");
  FailSecondResolveOf("COM2");
  LoadFrames({10});
  RunJob(DeviceType::Joystick, 1);

  EXPECT_EQ(TextsFrom("Retry..."), (std::vector<std::string>{"Retry...", "COM2", "\n"}));
  EXPECT_EQ(surface_.calls(),
            Calls({"message: Open COM Failed\n Please Retry Again", "update: on"}));
  EXPECT_EQ(job_->state.load(), JobState::Idle);
  EXPECT_EQ(job_->portHandle.load(), 0u);
}

}  // namespace
}  // namespace devlink
