// Events, handles and the per-thread error code of the kernel layer.
#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/win32_kernel.h"

namespace {

using namespace win;

class EventTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetClockScale(1); }
};

TEST_F(EventTest, ManualResetStaysSignalledUntilReset) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST_F(EventTest, AutoResetIsTakenByOneWait) {
  const HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  CloseHandle(event);
}

TEST_F(EventTest, TimedWaitRunsOnThePlatformClock) {
  platform::SetClockScale(100);
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  const platform::Millis start = platform::ClockNow();
  EXPECT_EQ(WaitForSingleObject(event, 3000), WAIT_TIMEOUT);
  EXPECT_GE(platform::ClockNow() - start, 3000);
  CloseHandle(event);
}

TEST_F(EventTest, WaitEndsWhenAnotherThreadSets) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread setter([event] { SetEvent(event); });
  EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
  setter.join();
  CloseHandle(event);
}

TEST_F(EventTest, ClosedHandleFailsAndIsNeverReused) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  const HANDLE next = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_NE(next, event);
  EXPECT_NE(next, INVALID_HANDLE_VALUE);
  CloseHandle(next);
}

TEST_F(EventTest, LastErrorBelongsToTheThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seen = 0;
  std::thread other([&] {
    SetLastError(ERROR_GEN_FAILURE);
    seen = GetLastError();
  });
  other.join();
  EXPECT_EQ(seen, ERROR_GEN_FAILURE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
