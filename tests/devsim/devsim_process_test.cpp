// ovrin-devsim run as the updater meets it: a child process behind a real pseudo-terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/devsim_child.h"

namespace devsimtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

const Bytes kKeyboardAnnounce = {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x88,
                                 0x10, 0x46, 0x69, 0x72, 0x6D, 0x77, 0x61, 0x72, 0x65, 0x55,
                                 0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0xF6, 0x5A, 0xF2};
const Bytes kReaderAAnnounce = {0xF0, 0xFF, 0x00, 0xFF, 0xFF, 0x88, 0x14, 0x46, 0x69, 0x72,
                                0x6D, 0x77, 0x61, 0x72, 0x65, 0x55, 0x70, 0x64, 0x61, 0x74,
                                0x65, 0x41, 0x50, 0x20, 0x20, 0x20, 0x20, 0x19, 0xBC, 0xF2};
const Bytes kReaderBAnnounce = {0xF0, 0xAA, 0xAA, 0xFF, 0xFF, 0x88, 0x14, 0x46, 0x69, 0x72,
                                0x6D, 0x77, 0x61, 0x72, 0x65, 0x55, 0x70, 0x64, 0x61, 0x74,
                                0x65, 0x41, 0x50, 0x20, 0x20, 0x20, 0x20, 0x60, 0x65, 0xF2};

class DevsimProcessTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Ending cleanly on SIGTERM also shows that nothing went wrong inside it meanwhile.
    if (child_) {
      EXPECT_EQ(child_->Terminate(), 0) << child_->Log();
    }
    std::filesystem::remove_all(dir_);
  }

  // Starts the simulator, keeping the image it receives in this test's directory.
  DevsimChild& Start(std::vector<std::string> switches) {
    switches.insert(switches.begin(), {"--image-out", ImagePath()});
    child_ = std::make_unique<DevsimChild>(switches);
    EXPECT_FALSE(child_->PortPath().empty());
    return *child_;
  }

  std::string ImagePath() const { return dir_ + "/image.bin"; }

  // The announce at 9600 bit/s and its answer, as a Keyboard job makes it.
  Bytes Announce(PortEnd& port, const Bytes& announce = kKeyboardAnnounce) {
    port.SetSpeed(B9600);
    EXPECT_TRUE(port.Send(announce));
    return port.Receive(14);
  }

  // Sends each frame and collects the one-byte answer it gets.
  Bytes SendFrames(PortEnd& port, const std::vector<Bytes>& frames) {
    Bytes answers;
    for (const auto& frame : frames) {
      EXPECT_TRUE(port.Send(frame));
      const Bytes answer = port.Receive(1);
      answers.push_back(answer.empty() ? 0xEE : answer[0]);
    }
    return answers;
  }

  std::string dir_ = TempDir();
  std::unique_ptr<DevsimChild> child_;
};

struct AnnounceCase {
  const char* name;
  std::vector<std::string> switches;
  const Bytes* announce;
  const char* variant;
  std::uint8_t code;
  friend void PrintTo(const AnnounceCase& c, std::ostream* out) { *out << c.name; }
};

class AnnounceAnswerTest : public DevsimProcessTest,
                           public ::testing::WithParamInterface<AnnounceCase> {};

TEST_P(AnnounceAnswerTest, RepliesWithFourteenBytesCarryingTheCode) {
  auto& device = Start(GetParam().switches);
  PortEnd port(device.PortPath());
  const Bytes reply = Announce(port, *GetParam().announce);
  ASSERT_EQ(reply.size(), 14u);
  EXPECT_EQ(reply[9], GetParam().code);
  char code[3];
  std::snprintf(code, sizeof code, "%02X", GetParam().code);
  EXPECT_NE(device.WaitForLog(std::string("announce transfer=0 variant=") + GetParam().variant +
                              " speed=9600 reply=" + code),
            std::string::npos)
      << device.Log();
}

INSTANTIATE_TEST_SUITE_P(
    Variants, AnnounceAnswerTest,
    ::testing::Values(AnnounceCase{"Keyboard", {}, &kKeyboardAnnounce, "Keyboard", 0x04},
                      AnnounceCase{"ReaderA", {}, &kReaderAAnnounce, "ReaderA", 0x04},
                      AnnounceCase{"ReaderB", {}, &kReaderBAnnounce, "ReaderB", 0x04},
                      AnnounceCase{
                          "Refused", {"--refuse-announce"}, &kKeyboardAnnounce, "Keyboard", 0x05}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(DevsimProcessTest, AnnounceWithBadCrcGetsNoReply) {
  auto& device = Start({});
  PortEnd port(device.PortPath());
  Bytes corrupt = kKeyboardAnnounce;
  corrupt[28] ^= 0x01;
  ASSERT_TRUE(port.Send(corrupt));
  EXPECT_NE(device.WaitForLog("announce-rejected reason=crc speed=9600"), std::string::npos);
  // Had the bad one been answered, its reply would come before this one's.
  const Bytes reply = Announce(port);
  ASSERT_EQ(reply.size(), 14u);
  EXPECT_EQ(reply[0], 0xF0);
  EXPECT_EQ(reply[9], 0x04);
}

TEST_F(DevsimProcessTest, AcknowledgesWholeFramesAndKeepsTheImage) {
  auto& device = Start({});
  PortEnd port(device.PortPath());
  ASSERT_EQ(Announce(port).size(), 14u);
  port.SetSpeed(B57600);
  // The longest frame, the shortest, and one whose first byte is the announce's start byte with
  // the announce's end byte where an announce would end.
  Bytes startsLikeAnnounce = MakeFrame(0xF0FF, 7);
  startsLikeAnnounce[29] = 0xF2;
  const std::vector<Bytes> frames = {MakeFrame(256), MakeFrame(0), MakeFrame(0xFFFF, 3),
                                     startsLikeAnnounce, MakeFrame(3)};
  EXPECT_THAT(SendFrames(port, frames), ElementsAre(0x11, 0x11, 0x11, 0x11, 0x11));
  EXPECT_EQ(ReadFile(ImagePath()), Join(frames));
  EXPECT_NE(device.WaitForLog("frame transfer=0 index=2 size=65537 speed=57600 reply=11"),
            std::string::npos)
      << device.Log();
  EXPECT_THAT(device.Log(), HasSubstr("speed from=9600 to=57600"));
}

struct RepeatCase {
  const char* name;
  std::vector<std::string> switches;
  Bytes answers;  // to frame 0 sent until accepted, then to frame 1
  friend void PrintTo(const RepeatCase& c, std::ostream* out) { *out << c.name; }
};

class RepeatedFrameTest : public DevsimProcessTest,
                          public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(RepeatedFrameTest, AnswersEachSendingUntilAcceptedAndCountsTheFrameOnce) {
  auto& device = Start(GetParam().switches);
  PortEnd port(device.PortPath(), B57600);
  const std::vector<Bytes> frames = {MakeFrame(100, 1), MakeFrame(50, 2)};
  Bytes answers;
  for (const auto& frame : frames) {
    std::uint8_t answer = 0;
    for (int sending = 0; sending < 5 && answer != 0x11; ++sending) {
      answer = SendFrames(port, {frame})[0];
      answers.push_back(answer);
    }
  }
  EXPECT_EQ(answers, GetParam().answers);
  EXPECT_EQ(ReadFile(ImagePath()), Join(frames));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RepeatedFrameTest,
    ::testing::Values(
        RepeatCase{"Plain", {}, {0x11, 0x11}},
        RepeatCase{"Delayed", {"--reply-delay", "20"}, {0x11, 0x11}},
        RepeatCase{"RefusedTwice", {"--refuse-frame", "0:2"}, {0x05, 0x05, 0x11, 0x11}},
        RepeatCase{"SecondRefused", {"--refuse-frame=1:1"}, {0x11, 0x05, 0x11}},
        RepeatCase{"GarbageTwice", {"--garbage-frame", "0:2"}, {0xE3, 0x00, 0x11, 0x11}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(DevsimProcessTest, GarbageAnswersEverythingWithNoiseAndAcceptsNothing) {
  auto& device = Start({"--garbage"});
  PortEnd port(device.PortPath());
  const Bytes noise = {0xE3, 0x00, 0x7F, 0x80, 0xFF, 0x5A, 0x0D};
  ASSERT_TRUE(port.Send(kKeyboardAnnounce));
  EXPECT_EQ(port.Receive(noise.size()), noise);
  ASSERT_TRUE(port.Send(MakeFrame(8)));
  EXPECT_EQ(port.Receive(noise.size()), noise);
  EXPECT_TRUE(ReadFile(ImagePath()).empty());
}

TEST_F(DevsimProcessTest, SilentFromFrameReadsOnButAnswersNothing) {
  auto& device = Start({"--silent-from", "1"});
  PortEnd port(device.PortPath(), B57600);
  EXPECT_THAT(SendFrames(port, {MakeFrame(10)}), ElementsAre(0x11));
  ASSERT_TRUE(port.Send(MakeFrame(20)));
  auto seen =
      device.WaitForLog("frame transfer=0 index=1 size=22 speed=57600 reply=none fault=silent");
  ASSERT_NE(seen, std::string::npos) << device.Log();
  ASSERT_TRUE(port.Send(MakeFrame(20)));
  EXPECT_NE(device.WaitForLog("index=1 size=22 speed=57600 reply=none fault=silent", seen),
            std::string::npos);
  // A stray acknowledgement would come before the announce's reply.
  const Bytes reply = Announce(port);
  ASSERT_EQ(reply.size(), 14u);
  EXPECT_EQ(reply[0], 0xF0);
}

TEST_F(DevsimProcessTest, NoAnnounceReplyThenFramesOnTheReopenedPort) {
  auto& device = Start({"--no-announce-reply"});
  const std::vector<Bytes> frames = {MakeFrame(30, 4), MakeFrame(40, 5)};
  {
    PortEnd port(device.PortPath());
    ASSERT_TRUE(port.Send(kKeyboardAnnounce));
    EXPECT_NE(device.WaitForLog("reply=none fault=no-reply"), std::string::npos);
  }
  PortEnd reopened(device.PortPath(), B57600);
  ASSERT_TRUE(reopened.IsOpen());
  EXPECT_THAT(SendFrames(reopened, frames), ElementsAre(0x11, 0x11));
  EXPECT_EQ(ReadFile(ImagePath()), Join(frames));
}

bool HungUp(const PortEnd& port) {
  pollfd watched{port.Fd(), POLLIN, 0};
  if (poll(&watched, 1, kPatienceMs) <= 0 || (watched.revents & POLLHUP) == 0) return false;
  const std::uint8_t byte = 0;
  return write(port.Fd(), &byte, 1) < 0 && errno == EIO;
}

TEST_F(DevsimProcessTest, HangUpAtFrameThenThePortComesBackBehindTheLink) {
  const std::string link = dir_ + "/com1";
  auto& device = Start({"--hangup-at", "1", "--come-back", "20", "--link", link});
  const auto firstPath = std::filesystem::read_symlink(link);
  EXPECT_EQ(firstPath, device.PortPath());
  {
    PortEnd port(link, B57600);
    EXPECT_THAT(SendFrames(port, {MakeFrame(10)}), ElementsAre(0x11));
    ASSERT_TRUE(port.Send(MakeFrame(20)));
    EXPECT_TRUE(HungUp(port));
    EXPECT_NE(device.WaitForLog("hangup transfer=0 index=1"), std::string::npos);
  }
  const std::string secondPath = device.NextOutputLine();
  ASSERT_FALSE(secondPath.empty());
  EXPECT_EQ(std::filesystem::read_symlink(link), secondPath);
  PortEnd port(link);
  const Bytes reply = Announce(port);
  ASSERT_EQ(reply.size(), 14u);
  port.SetSpeed(B57600);
  // The hang-up was the first transfer's fault; the retry goes through.
  EXPECT_THAT(SendFrames(port, {MakeFrame(10), MakeFrame(20)}), ElementsAre(0x11, 0x11));
  EXPECT_EQ(ReadFile(ImagePath()), Join({MakeFrame(10), MakeFrame(20)}));
  EXPECT_EQ(device.Terminate(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST_F(DevsimProcessTest, HangUpWithoutComeBackEndsTheSimulator) {
  auto& device = Start({"--hangup-at", "0"});
  PortEnd port(device.PortPath(), B57600);
  ASSERT_TRUE(port.Send(MakeFrame(10)));
  EXPECT_TRUE(HungUp(port));
  EXPECT_EQ(device.WaitForExit(), 0);
}

TEST_F(DevsimProcessTest, EndsByItselfAfterTheTransfersAskedFor) {
  auto& device = Start({"--exit-after-transfers", "1", "--idle-ms", "20"});
  PortEnd port(device.PortPath(), B57600);
  EXPECT_THAT(SendFrames(port, {MakeFrame(10)}), ElementsAre(0x11));
  EXPECT_EQ(device.WaitForExit(), 0);
  EXPECT_THAT(device.Log(), HasSubstr("transfer-end transfer=0 frames=1 bytes=12 reason=idle"));
}

TEST_F(DevsimProcessTest, PartialFrameIsDroppedAfterAQuietSecond) {
  auto& device = Start({});
  PortEnd port(device.PortPath(), B57600);
  const Bytes frame = MakeFrame(100);
  ASSERT_TRUE(port.Send(std::span(frame).first(40)));
  EXPECT_NE(device.WaitForLog("partial dropped=40 reason=quiet"), std::string::npos);
  EXPECT_THAT(SendFrames(port, {frame}), ElementsAre(0x11));
  EXPECT_EQ(ReadFile(ImagePath()), frame);
}

TEST_F(DevsimProcessTest, PacedLineDeliversEveryFrameAndASlowFrameKeepsTheTransfer) {
  // The second frame takes about 104 ms on the line, longer than the idle time: its bytes on the
  // way must keep the transfer going, or the image would restart with it.
  auto& device = Start({"--pace", "--turnaround", "1", "--idle-ms", "50"});
  PortEnd port(device.PortPath());
  ASSERT_EQ(Announce(port).size(), 14u);
  port.SetSpeed(B57600);
  const std::vector<Bytes> frames = {MakeFrame(1, 2), MakeFrame(600, 1)};
  EXPECT_THAT(SendFrames(port, frames), ElementsAre(0x11, 0x11));
  EXPECT_EQ(ReadFile(ImagePath()), Join(frames));
  EXPECT_EQ(device.Terminate(), 0);
  EXPECT_THAT(device.Log(), Not(HasSubstr("transfer-start transfer=1")));
}

class BadArgumentsTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadArgumentsTest, ExitWithStatusTwoAndTheUsage) {
  DevsimChild device(GetParam());
  EXPECT_EQ(device.WaitForExit(), 2);
  EXPECT_THAT(device.Log(), HasSubstr("usage: ovrin-devsim"));
  EXPECT_TRUE(device.PortPath().empty());
}

INSTANTIATE_TEST_SUITE_P(CommandLines, BadArgumentsTest,
                         ::testing::Values(std::vector<std::string>{"--no-such-switch"},
                                           std::vector<std::string>{"--refuse-frame", "3"},
                                           std::vector<std::string>{"--refuse-frame", "3:0"},
                                           std::vector<std::string>{"--silent-from", "x"},
                                           std::vector<std::string>{"--hangup-at"},
                                           std::vector<std::string>{"--come-back", "100"},
                                           std::vector<std::string>{"--baud", "9600"},
                                           std::vector<std::string>{"--idle-ms", "0"},
                                           std::vector<std::string>{"stray"}));

}  // namespace
}  // namespace devsimtest
