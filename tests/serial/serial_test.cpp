// The serial layer over real pseudo-terminals: the test holds the master side as the device and
// the layer opens the slave side as "COM1".
#include "platform/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_p.h"
#include "platform/win32_kernel.h"

namespace {

using namespace win;

// The device side of a pseudo-terminal.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) std::abort();
    slavePath_ = ptsname(master_);
  }
  ~Pty() { HangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int Master() const { return master_; }

  void Send(const std::vector<BYTE>& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads exactly `count` bytes, waiting for them as long as it takes.
  std::vector<BYTE> Receive(std::size_t count) const {
    std::vector<BYTE> bytes(count);
    std::size_t got = 0;
    while (got < count) {
      const ssize_t n = read(master_, bytes.data() + got, count - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }

  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slavePath_;
};

HANDLE OpenPort(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, 0);
}

std::vector<BYTE> Pattern(std::size_t size) {
  std::vector<BYTE> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(i * 7 + i / 251);
  return bytes;
}

class SerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPortResolver([path = pty_.SlavePath()](std::string_view name) {
      return name == "COM1" ? path : std::string();
    });
    port_ = OpenPort("COM1");
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    read_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    write_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }

  void TearDown() override {
    if (port_ != 0) CloseHandle(port_);
    CloseHandle(read_.hEvent);
    CloseHandle(write_.hEvent);
    SetPortResolver(nullptr);
    platform::SetClockScale(1);
  }

  void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS timeouts{interval, multiplier, constant, multiplier, constant};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  }

  // Waits until the port has `count` bytes queued for reading.
  void AwaitInput(DWORD count) {
    COMSTAT status;
    for (int i = 0; i < 2000; ++i) {
      ASSERT_TRUE(ClearCommError(port_, nullptr, &status));
      if (status.cbInQue >= count) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "input never arrived";
  }

  // Issues a read that must go pending and waits for its end; returns GetOverlappedResult's result.
  BOOL PendingRead(BYTE* buffer, DWORD length, DWORD& count) {
    DWORD ignored = 0;
    EXPECT_FALSE(ReadFile(port_, buffer, length, &ignored, &read_));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(read_.hEvent, INFINITE), WAIT_OBJECT_0);
    return GetOverlappedResult(port_, &read_, &count, FALSE);
  }

  Pty pty_;
  HANDLE port_ = 0;
  OVERLAPPED read_;
  OVERLAPPED write_;
};

TEST(PortNames, OnlyComWithANumberFromOneReachesTheResolver) {
  std::vector<std::string> asked;
  SetPortResolver([&](std::string_view name) {
    asked.emplace_back(name);
    return std::string();
  });
  for (const char* name : {"COM0", "COM1", "\\\\.\\COM10", "garbage", "COM01", "COM", "COM2x",
                           "\\\\.\\LPT1", "com3"}) {
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE) << name;
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
  }
  SetPortResolver(nullptr);
  EXPECT_EQ(asked, (std::vector<std::string>{"COM1", "COM10"}));
}

TEST(PortNames, DefaultResolverPrefersTheComAlias) {
  EXPECT_EQ(DefaultPortResolver("COM0"), "");
  EXPECT_EQ(DefaultPortResolver("LPT1"), "");
  const std::string expected = access("/dev/com7", F_OK) == 0 ? "/dev/com7" : "/dev/ttyS6";
  EXPECT_EQ(DefaultPortResolver("COM7"), expected);
}

TEST(PortNames, MissingDeviceIsFileNotFound) {
  SetPortResolver([](std::string_view) { return std::string("/dev/nonexistent-port"); });
  EXPECT_EQ(OpenPort("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  SetPortResolver(nullptr);
}

TEST_F(SerialTest, PortIsExclusiveUntilClosed) {
  EXPECT_EQ(OpenPort("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  ASSERT_TRUE(CloseHandle(port_));
  port_ = OpenPort("COM1");
  EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

TEST_F(SerialTest, PortThatAnotherProcessLocksDoesNotOpen) {
  ASSERT_TRUE(CloseHandle(port_));
  port_ = 0;
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  if (child == 0) {
    close(release[1]);
    const int fd = open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    const char done = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    char ignored = 0;
    if (write(ready[1], &done, 1) != 1 || read(release[0], &ignored, 1) < 0) _exit(1);
    _exit(0);
  }
  char locked = 0;
  ASSERT_EQ(read(ready[0], &locked, 1), 1);
  ASSERT_EQ(locked, 'y');
  EXPECT_EQ(OpenPort("COM1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  close(release[1]);
  waitpid(child, nullptr, 0);
  for (int fd : {ready[0], ready[1], release[0]}) close(fd);
  port_ = OpenPort("COM1");
  EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

TEST_F(SerialTest, LineSpeedReachesTheDeviceSide) {
  const std::pair<DWORD, speed_t> speeds[] = {{9600, B9600}, {57600, B57600}, {115200, B115200}};
  for (const auto& [rate, code] : speeds) {
    const DCB wanted{rate, 8, NOPARITY, ONESTOPBIT};
    ASSERT_TRUE(SetCommState(port_, &wanted)) << rate << " " << GetLastError();
    DCB back;
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, rate);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    termios device{};
    ASSERT_EQ(tcgetattr(pty_.Master(), &device), 0);
    EXPECT_EQ(cfgetospeed(&device), code);
  }
}

TEST_F(SerialTest, FramingIsAppliedOrRefusedNeverMisreported) {
  // A pseudo-terminal keeps 8N1 whatever it is asked; a real UART takes these.
  const DCB framings[] = {{9600, 7, EVENPARITY, TWOSTOPBITS}, {1200, 5, ODDPARITY, ONESTOPBIT}};
  for (const DCB& wanted : framings) {
    if (!SetCommState(port_, &wanted)) {
      EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
      continue;
    }
    DCB back;
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.ByteSize, wanted.ByteSize);
    EXPECT_EQ(back.Parity, wanted.Parity);
    EXPECT_EQ(back.StopBits, wanted.StopBits);
  }
  const DCB invalid[] = {{12345, 8, NOPARITY, ONESTOPBIT},
                         {9600, 9, NOPARITY, ONESTOPBIT},
                         {9600, 8, 3, ONESTOPBIT},
                         {9600, 8, NOPARITY, 1}};
  for (const DCB& wanted : invalid) {
    EXPECT_FALSE(SetCommState(port_, &wanted));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

TEST_F(SerialTest, ReadCompletesAtOnceWhenTheBytesAreThere) {
  SetTimeouts(1000, 500, 5000);
  pty_.Send({1, 2, 3});
  AwaitInput(3);
  BYTE buffer[3] = {};
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(port_, buffer, 3, &count, &read_));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + 3), (std::vector<BYTE>{1, 2, 3}));
}

TEST_F(SerialTest, PendingReadCompletesThroughItsEvent) {
  SetTimeouts(1000, 500, 5000);
  BYTE byte = 0;
  DWORD count = 99;
  ASSERT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(WaitForSingleObject(read_.hEvent, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));  // the record is taken
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  pty_.Send({0x11});
  EXPECT_EQ(WaitForSingleObject(read_.hEvent, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(byte, 0x11);
}

TEST_F(SerialTest, BytesOfAShortImmediateReadAreKeptForItsCompletion) {
  SetTimeouts(0, 0, 0);
  pty_.Send({1, 2, 3});
  AwaitInput(3);
  BYTE buffer[5] = {};
  DWORD ignored = 0;
  ASSERT_FALSE(ReadFile(port_, buffer, 5, &ignored, &read_));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  pty_.Send({4, 5});
  DWORD count = 0;
  ASSERT_TRUE(GetOverlappedResult(port_, &read_, &count, TRUE));
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + count), (std::vector<BYTE>{1, 2, 3, 4, 5}));
}

TEST_F(SerialTest, TotalTimeoutEndsAnEmptyReadAfterMultiplierTimesCountPlusConstant) {
  platform::SetClockScale(100);
  SetTimeouts(1000, 500, 5000);
  BYTE buffer[2];
  DWORD count = 99;
  const platform::Millis start = platform::ClockNow();
  ASSERT_TRUE(PendingRead(buffer, 2, count));
  EXPECT_EQ(count, 0u);
  EXPECT_GE(platform::ClockNow() - start, 500 * 2 + 5000);
}

TEST_F(SerialTest, IntervalTimeoutEndsAPartialReplyWithWhatCame) {
  platform::SetClockScale(10);
  SetTimeouts(1000, 500, 5000);
  BYTE buffer[50];
  DWORD ignored = 0;
  const platform::Millis start = platform::ClockNow();
  ASSERT_FALSE(ReadFile(port_, buffer, 50, &ignored, &read_));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const std::vector<BYTE> reply = Pattern(14);
  pty_.Send(reply);
  ASSERT_EQ(WaitForSingleObject(read_.hEvent, INFINITE), WAIT_OBJECT_0);
  DWORD count = 0;
  ASSERT_TRUE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(std::vector<BYTE>(buffer, buffer + count), reply);
  EXPECT_LT(platform::ClockNow() - start, 500 * 50 + 5000);  // ended by the interval, not the total
}

TEST_F(SerialTest, ReadWithNoWaitingReturnsWhatIsThere) {
  SetTimeouts(MAXDWORD, 0, 0);
  BYTE buffer[10];
  DWORD count = 99;
  ASSERT_TRUE(ReadFile(port_, buffer, 10, &count, &read_));
  EXPECT_EQ(count, 0u);
}

TEST_F(SerialTest, ReadForTheFirstByteEndsWithItOrEmptyAfterTheConstant) {
  platform::SetClockScale(100);
  SetTimeouts(MAXDWORD, MAXDWORD, 1000);
  BYTE buffer[10];
  DWORD count = 99;
  ASSERT_TRUE(PendingRead(buffer, 10, count));
  EXPECT_EQ(count, 0u);
  SetTimeouts(MAXDWORD, MAXDWORD, 1000000);
  DWORD ignored = 0;
  ASSERT_FALSE(ReadFile(port_, buffer, 10, &ignored, &read_));
  pty_.Send({0x7F});
  ASSERT_TRUE(GetOverlappedResult(port_, &read_, &count, TRUE));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(buffer[0], 0x7F);
}

TEST_F(SerialTest, HangUpFailsPendingAndImmediateReads) {
  SetTimeouts(0, 0, 0);
  BYTE byte = 0;
  DWORD ignored = 0;
  ASSERT_FALSE(ReadFile(port_, &byte, 1, &ignored, &read_));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  pty_.HangUp();
  ASSERT_EQ(WaitForSingleObject(read_.hEvent, INFINITE), WAIT_OBJECT_0);
  DWORD count = 0;
  EXPECT_FALSE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &ignored, &read_));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialTest, ImmediateReadFailureLeavesThePortUsable) {
  SetTimeouts(1000, 500, 5000);
  pty_.Send({0x11});
  AwaitInput(1);
  detail::FailNextLineReads(EBADF, 1);
  BYTE byte = 0;
  DWORD count = 0;
  EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(HasOverlappedIoCompleted(&read_));
  ASSERT_TRUE(ReadFile(port_, &byte, 1, &count, &read_));
  EXPECT_EQ(byte, 0x11);
}

TEST_F(SerialTest, LongFrameGoesOutWholeWhileTheDeviceReadsSlowly) {
  SetTimeouts(1000, 500, 5000);
  const std::vector<BYTE> frame = Pattern(65537);
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(port_, frame.data(), 65537, &written, &write_));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  std::vector<BYTE> received;
  while (received.size() < frame.size()) {
    const auto chunk = pty_.Receive(std::min<std::size_t>(4096, frame.size() - received.size()));
    ASSERT_FALSE(chunk.empty());
    received.insert(received.end(), chunk.begin(), chunk.end());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(received, frame);
  ASSERT_EQ(WaitForSingleObject(write_.hEvent, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, FALSE));
  EXPECT_EQ(written, 65537u);
}

TEST_F(SerialTest, SecondWriteOnARecordWaitsForTheFirst) {
  const std::vector<BYTE> frame = Pattern(65537);
  const std::vector<BYTE> tail = {0xE1, 0xE2, 0xE3};
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(port_, frame.data(), 65537, &written, &write_));
  std::atomic<bool> returned{false};
  std::thread second([&] {
    DWORD count = 0;
    WriteFile(port_, tail.data(), 3, &count, &write_);
    returned.store(true, std::memory_order_release);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load(std::memory_order_acquire));  // nobody reads, so the first is stuck
  std::vector<BYTE> expected = frame;
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(pty_.Receive(expected.size()), expected);
  second.join();
  EXPECT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
  EXPECT_EQ(written, 3u);
}

TEST_F(SerialTest, WriteTimeoutEndsAStuckWriteWithWhatWentOut) {
  platform::SetClockScale(100);
  COMMTIMEOUTS timeouts{0, 0, 0, 0, 2000};
  ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
  const std::vector<BYTE> frame = Pattern(65537);
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(port_, frame.data(), 65537, &written, &write_));
  ASSERT_TRUE(GetOverlappedResult(port_, &write_, &written, TRUE));
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 65537u);
  EXPECT_EQ(pty_.Receive(written), std::vector<BYTE>(frame.begin(), frame.begin() + written));
}

TEST_F(SerialTest, PurgeDropsReceivedBytesAndAbortsTheRead) {
  pty_.Send({1, 2, 3, 4, 5});
  AwaitInput(5);
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
  COMSTAT status;
  ASSERT_TRUE(ClearCommError(port_, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  BYTE byte = 0;
  DWORD count = 0;
  ASSERT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
  ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
  EXPECT_FALSE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(SerialTest, CancelEndsTheReadAndLeavesTheBytesForTheNext) {
  BYTE byte = 0;
  DWORD count = 0;
  ASSERT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
  ASSERT_TRUE(CancelIoEx(port_, &read_));
  EXPECT_TRUE(HasOverlappedIoCompleted(&read_));
  EXPECT_EQ(WaitForSingleObject(read_.hEvent, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(port_, &read_, &count, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIoEx(port_, &read_));
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  pty_.Send({0x42});
  AwaitInput(1);
  ASSERT_TRUE(ReadFile(port_, &byte, 1, &count, &read_));
  EXPECT_EQ(byte, 0x42);
}

TEST_F(SerialTest, CloseFromAnotherThreadEndsTheReadUnderWay) {
  std::promise<void> pending;
  DWORD completion = 0;
  DWORD reissue = 0;
  std::thread worker([&] {
    BYTE byte = 0;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    pending.set_value();
    WaitForSingleObject(read_.hEvent, INFINITE);
    EXPECT_FALSE(GetOverlappedResult(port_, &read_, &count, FALSE));
    completion = GetLastError();
    EXPECT_FALSE(ReadFile(port_, &byte, 1, &count, &read_));
    reissue = GetLastError();
  });
  pending.get_future().wait();
  EXPECT_TRUE(CloseHandle(port_));
  worker.join();
  EXPECT_EQ(completion, ERROR_OPERATION_ABORTED);
  EXPECT_EQ(reissue, ERROR_INVALID_HANDLE);
  const HANDLE closed = port_;
  port_ = OpenPort("COM1");  // the port can be opened again at once
  EXPECT_NE(port_, INVALID_HANDLE_VALUE);
  EXPECT_NE(port_, closed);
}

TEST_F(SerialTest, CloseFromAnotherThreadReleasesAWriteWaitingForTheRecord) {
  const std::vector<BYTE> frame = Pattern(65537);
  DWORD written = 0;
  ASSERT_FALSE(WriteFile(port_, frame.data(), 65537, &written, &write_));
  DWORD second = 0;
  std::thread worker([&] {
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(port_, frame.data(), 10, &count, &write_));
    second = GetLastError();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(CloseHandle(port_));
  worker.join();
  EXPECT_EQ(second, ERROR_INVALID_HANDLE);
  port_ = 0;
}

}  // namespace
