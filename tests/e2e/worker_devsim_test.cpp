// The worker against ovrin-devsim over a real pseudo-terminal, on the real clock: whole updates
// checked against the image the device received, refusals, the failures the operator sees, and
// a device that is unplugged mid-transfer and plugged in again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "job/update_job.h"
#include "tests/e2e/worker_harness.h"
#include "tests/support/devsim_child.h"

namespace e2e {
namespace {

using job::JobState;

const std::string kNoRespond = "message: No Respond\n Please Retry Again";
const std::string kOpenComFailed = "message: Open COM Failed\n Please Retry Again";

class WorkerDevsimTest : public ::testing::Test {
 protected:
  // The simulator with `switches`, keeping what it received in a file, on the port list's first
  // item (or, with a link, on the link that follows its port across a hang-up).
  devsimtest::DevsimChild& StartDevice(std::vector<std::string> switches,
                                       const std::string& link = {}) {
    switches.insert(switches.end(), {"--image-out", received_});
    if (!link.empty()) switches.insert(switches.end(), {"--link", link});
    device_ = std::make_unique<devsimtest::DevsimChild>(switches);
    harness_.MapPort("COM1", link.empty() ? device_->PortPath() : link);
    return *device_;
  }

  Bytes Received() const { return devsimtest::ReadFile(received_); }

  // Each line in turn, after the one before it; the log's end when all were found, else npos.
  std::size_t WaitForLogLines(const std::vector<std::string>& lines, std::size_t from = 0) {
    for (const std::string& line : lines) {
      from = device_->WaitForLog(line, from);
      if (from == std::string::npos) {
        ADD_FAILURE() << "missing from the device's log: " << line << "\n" << device_->Log();
        return from;
      }
    }
    return from;
  }

  void ExpectCompleteUpdate() {
    EXPECT_TRUE(harness_.surfaceCalls().empty());
    EXPECT_EQ(harness_.job().state.load(), JobState::Running);
    EXPECT_TRUE(harness_.job().transferEnded.load(std::memory_order_acquire));
    EXPECT_EQ(harness_.job().progressCount.load(), 2 * harness_.image().size() + 4);
    EXPECT_EQ(Received(), harness_.image());
  }

  void ExpectOpenFailure() {
    EXPECT_EQ(harness_.texts(), (std::vector<std::string>{"Start Go Go\n", "COM1", "\n",
                                                          "REopen COM port!!!!\n\n\n"}));
    EXPECT_EQ(harness_.surfaceCalls(), (std::vector<std::string>{kOpenComFailed, "update:on"}));
    EXPECT_EQ(harness_.job().state.load(), JobState::Idle);
    EXPECT_EQ(harness_.job().portHandle.load(), 0u);
  }

  job::testing::TempDir folder_;
  std::string received_ = folder_.PathOf("received.bin");
  std::unique_ptr<devsimtest::DevsimChild> device_;
  WorkerHarness harness_;
};

std::string FrameLine(int transfer, int index, std::size_t size, const std::string& rest) {
  return "frame transfer=" + std::to_string(transfer) + " index=" + std::to_string(index) +
         " size=" + std::to_string(size) + " speed=57600 reply=" + rest;
}

// Another process holding the port open and locked, as a terminal program left running does.
class PortHolder {
 public:
  explicit PortHolder(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) HoldUntilReleased(path, ready[1]);
    close(ready[1]);
    close(release_[0]);
    char locked = 0;
    holding_ = read(ready[0], &locked, 1) == 1 && locked == 1;
    close(ready[0]);
  }
  ~PortHolder() {
    close(release_[1]);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool holding() const { return holding_; }

 private:
  // In the child: only calls that are safe after a fork.
  [[noreturn]] void HoldUntilReleased(const std::string& path, int ready) {
    close(release_[1]);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    const char locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
    [[maybe_unused]] const ssize_t told = write(ready, &locked, 1);
    char ignored;
    [[maybe_unused]] const ssize_t released = read(release_[0], &ignored, 1);
    _exit(0);
  }

  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  bool holding_ = false;
};

TEST_F(WorkerDevsimTest, KeyboardUpdateAnnouncesAt9600AndDeliversTheImageAt57600) {
  StartDevice({"--pace"});
  std::vector<std::uint16_t> lengths;
  for (std::uint16_t i = 0; i < 20; ++i) lengths.push_back(static_cast<std::uint16_t>(200 + 7 * i));
  harness_.UsePackage("keyboard", FramesOfLengths(lengths));
  harness_.RunUpdate(0);

  const std::vector<std::string> texts = harness_.texts();
  ASSERT_GE(texts.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(texts.begin(), texts.begin() + 5),
            (std::vector<std::string>{"Start Go Go\n", "COM1", "\n", "REopen COM port!!!!\n\n\n",
                                      "Got Ack\n"}));
  ExpectCompleteUpdate();

  std::vector<std::string> lines{"announce transfer=0 variant=Keyboard speed=9600 reply=04",
                                 "speed from=9600 to=57600"};
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    lines.push_back(FrameLine(0, static_cast<int>(i), lengths[i] + 2u, "11"));
  }
  WaitForLogLines(lines);
  EXPECT_EQ(device_->Log().find("partial"), std::string::npos) << device_->Log();
  harness_.Complete();
  EXPECT_EQ(harness_.job().portHandle.load(), 0u);
}

TEST_F(WorkerDevsimTest, FrameRefusedTwiceIsSentThreeTimesAndCountedOnce) {
  StartDevice({"--refuse-frame", "1:2"});
  harness_.UsePackage("keyboard", FramesOfLengths({60, 60, 60}));
  harness_.RunUpdate(0);

  ExpectCompleteUpdate();
  EXPECT_EQ(harness_.CountText("\n\nfailed\n\n\n"), 2u);
  EXPECT_EQ(harness_.progressAtFramePasses(),
            (std::vector<std::uint32_t>{0, 124, 124, 124, 248, 376}));
  WaitForLogLines({FrameLine(0, 0, 62, "11"), FrameLine(0, 1, 62, "05 fault=refuse attempt=1/2"),
                   FrameLine(0, 1, 62, "05 fault=refuse attempt=2/2"), FrameLine(0, 1, 62, "11"),
                   FrameLine(0, 2, 62, "11")});
}

TEST_F(WorkerDevsimTest, FourRefusalsFailTheJobAndTheRetryReusesTheOpenPort) {
  StartDevice({"--refuse-frame", "1:4"});
  const Bytes image = FramesOfLengths({60, 60, 60});
  harness_.UsePackage("keyboard", image);
  harness_.RunUpdate(0);

  EXPECT_EQ(harness_.surfaceCalls(), (std::vector<std::string>{kNoRespond, "update:on"}));
  EXPECT_EQ(harness_.CountText("\n\nfailed\n\n\n"), 3u);
  EXPECT_EQ(harness_.texts().back(), "Leave thread while");
  EXPECT_EQ(harness_.job().state.load(), JobState::Idle);
  EXPECT_EQ(harness_.job().progressCount.load(), 0u);
  const win::HANDLE port = harness_.job().portHandle.load();
  EXPECT_NE(port, 0u);
  // Nothing after the refused frame reached the device.
  EXPECT_EQ(Received(), Bytes(image.begin(), image.begin() + 62));
  const std::size_t failed = WaitForLogLines({FrameLine(0, 1, 62, "05 fault=refuse attempt=4/4")});
  EXPECT_EQ(device_->Log().find("index=2"), std::string::npos);

  // The operator presses Update again with the same port: the handle is reused, no fresh open.
  harness_.RunUpdate(0);
  EXPECT_EQ(harness_.CountText("REopen COM port!!!!\n\n\n"), 0u);
  EXPECT_EQ(harness_.CountText("Got Ack\n"), 1u);
  EXPECT_EQ(harness_.job().portHandle.load(), port);
  ExpectCompleteUpdate();
  WaitForLogLines(
      {"announce transfer=1 variant=Keyboard speed=9600 reply=04", FrameLine(1, 2, 62, "11")},
      failed);
}

TEST_F(WorkerDevsimTest, PortHeldByAnotherProcessGivesTheOpenFailureUntilItIsReleased) {
  StartDevice({});
  harness_.UsePackage("keyboard", FramesOfLengths({40}));
  {
    PortHolder holder(device_->PortPath());
    ASSERT_TRUE(holder.holding());
    harness_.RunUpdate(0);
    ExpectOpenFailure();
  }
  EXPECT_EQ(device_->Log().find("announce"), std::string::npos);

  harness_.RunUpdate(0);
  ExpectCompleteUpdate();
}

TEST_F(WorkerDevsimTest, MissingPortGivesTheOpenFailure) {
  harness_.UsePackage("keyboard", FramesOfLengths({40}));
  // A device file that is not there, then a name the resolver knows nothing of.
  harness_.MapPort("COM1", folder_.PathOf("no-such-port"));
  harness_.RunUpdate(0);
  ExpectOpenFailure();

  harness_.MapPort("COM1", "");
  harness_.RunUpdate(0);
  ExpectOpenFailure();
}

TEST_F(WorkerDevsimTest, HangUpMidTransferFailsOnTheReadsAndTheReturnedDeviceIsUpdated) {
  const std::string link = folder_.PathOf("port");
  devsimtest::DevsimChild& device = StartDevice({"--hangup-at", "2", "--come-back", "300"}, link);
  const Bytes image = FramesOfLengths({100, 100, 100, 100, 100});
  harness_.UsePackage("keyboard", image);
  harness_.RunUpdate(0);

  EXPECT_EQ(harness_.surfaceCalls(), (std::vector<std::string>{kNoRespond, "update:on"}));
  // The failed reads end the wait at once: no period of silence is waited out.
  EXPECT_EQ(harness_.CountText("\nNot Got \n"), 2u);
  EXPECT_EQ(harness_.CountText("failnum>=2\n"), 1u);
  EXPECT_EQ(harness_.CountText("\nGot [2] len 0 Still Wait....\n"), 0u);
  EXPECT_EQ(harness_.job().state.load(), JobState::Idle);
  EXPECT_EQ(harness_.job().progressCount.load(), 0u);
  // The dead line is not kept for the retry.
  EXPECT_EQ(harness_.job().portHandle.load(), 0u);
  EXPECT_EQ(Received(), Bytes(image.begin(), image.begin() + 2 * 102));
  const std::size_t hungUp = WaitForLogLines({"hangup transfer=0 index=2"});

  ASSERT_FALSE(device.NextOutputLine().empty()) << device.Log();
  harness_.RunUpdate(0);
  EXPECT_EQ(harness_.CountText("REopen COM port!!!!\n\n\n"), 1u);
  EXPECT_EQ(harness_.CountText("Got Ack\n"), 1u);
  EXPECT_EQ(harness_.CountText("Retry..."), 0u);
  ExpectCompleteUpdate();
  WaitForLogLines(
      {"announce transfer=1 variant=Keyboard speed=9600 reply=04", FrameLine(1, 4, 102, "11")},
      hungUp);
}

TEST_F(WorkerDevsimTest, ProgressCountsTwoCharactersPerAcceptedByteAndFourAtTheEnd) {
  StartDevice({});
  harness_.UsePackage("keyboard", FramesOfLengths({100, 100, 50}));
  harness_.RunUpdate(0);

  // The end pass adds its 4 before it writes: the 512 of the third acceptance shows as 516.
  EXPECT_EQ(harness_.progressAtFramePasses(), (std::vector<std::uint32_t>{0, 204, 408, 516}));
  const std::vector<std::string> texts = harness_.texts();
  ASSERT_GE(texts.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(texts.end() - 3, texts.end()),
            (std::vector<std::string>{"i 256 frameSize 2 \n", "i 256 isize 256 \n",
                                      "Leave thread while"}));
  // What the device accepted: 2 x (102 + 102 + 52) = 512 characters.
  WaitForLogLines(
      {FrameLine(0, 0, 102, "11"), FrameLine(0, 1, 102, "11"), FrameLine(0, 2, 52, "11")});
  ExpectCompleteUpdate();
}

}  // namespace
}  // namespace e2e
