// Hundreds of updates in one process against ovrin-devsim, with refusals and with hang-ups: the
// updater's open descriptors, threads and resident memory must stay where they were after the
// first runs. The worker's pauses and time-outs run on a compressed clock; the simulator keeps
// real time.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tests/e2e/worker_harness.h"
#include "tests/support/devsim_child.h"

// Present only in a build with AddressSanitizer or ThreadSanitizer.
extern "C" void __asan_init() __attribute__((weak));
extern "C" void __tsan_init() __attribute__((weak));

namespace e2e {
namespace {

constexpr std::uint32_t kClockScale = 20;
// Allocator noise (a few tens of KiB seen); half a KiB kept per update over 500 updates, or a
// few KiB per hang-up over 50, goes beyond it.
constexpr long kResidentNoiseKb = 256;

struct ProcessFigures {
  long descriptors;
  long threads;
  long residentKb;
};

long EntriesIn(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

// The sanitizers keep memory of their own for every thread the process has started (the port
// layer starts one per open port), and AddressSanitizer holds freed memory back in a quarantine,
// so under them the resident figure grows without any leak of the updater; there it is reported
// only, and AddressSanitizer's leak checker watches memory instead.
bool ResidentMemoryIsTheUpdaters() {
  return __asan_init == nullptr && __tsan_init == nullptr;
}

ProcessFigures Measure() {
  long sizePages = 0;
  long residentPages = 0;
  std::ifstream("/proc/self/statm") >> sizePages >> residentPages;
  return {EntriesIn("/proc/self/fd"), EntriesIn("/proc/self/task"),
          residentPages * (sysconf(_SC_PAGESIZE) / 1024)};
}

long Highest(const std::vector<ProcessFigures>& samples, std::size_t from, std::size_t to,
             long ProcessFigures::*figure) {
  long highest = 0;
  for (std::size_t i = from; i < to; ++i) highest = std::max(highest, samples[i].*figure);
  return highest;
}

// The last tenth of the runs against the first tenth.
void ExpectFlat(const std::vector<ProcessFigures>& samples, const char* what, double seconds) {
  ASSERT_GE(samples.size(), 10u);
  const std::size_t tenth = samples.size() / 10;
  const std::size_t lastFrom = samples.size() - tenth;
  const auto first = [&](long ProcessFigures::*f) { return Highest(samples, 0, tenth, f); };
  const auto last = [&](long ProcessFigures::*f) {
    return Highest(samples, lastFrom, samples.size(), f);
  };
  std::printf(
      "%s: %zu runs in %.1f s; descriptors %ld -> %ld, threads %ld -> %ld, resident %ld KiB "
      "-> %ld KiB (highest of the first and the last tenth)\n",
      what, samples.size(), seconds, first(&ProcessFigures::descriptors),
      last(&ProcessFigures::descriptors), first(&ProcessFigures::threads),
      last(&ProcessFigures::threads), first(&ProcessFigures::residentKb),
      last(&ProcessFigures::residentKb));
  EXPECT_LE(last(&ProcessFigures::descriptors), first(&ProcessFigures::descriptors));
  EXPECT_LE(last(&ProcessFigures::threads), first(&ProcessFigures::threads));
  if (ResidentMemoryIsTheUpdaters()) {
    EXPECT_LE(last(&ProcessFigures::residentKb),
              first(&ProcessFigures::residentKb) + kResidentNoiseKb);
  }
}

class WorkerEnduranceTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetClockScale(kClockScale); }
  void TearDown() override { platform::SetClockScale(1); }

  // Runs `cycle` `runs` times, measuring the process after each; the cycle returns false to stop.
  void Endure(const char* what, int runs, const std::function<bool(int)>& cycle) {
    std::vector<ProcessFigures> samples;
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < runs; ++run) {
      if (!cycle(run)) return;
      samples.push_back(Measure());
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ExpectFlat(samples, what, took.count());
  }

  // The Update command and its job to the end of the image, then the completion.
  bool UpdateCompletes(int run) {
    harness_.RunUpdate(0);
    const bool delivered = harness_.surfaceCalls().empty() &&
                           harness_.job().transferEnded.load(std::memory_order_acquire) &&
                           devsimtest::ReadFile(received_) == harness_.image();
    EXPECT_TRUE(delivered) << "run " << run;
    harness_.Complete();
    return delivered;
  }

  bool FailsWithNoResponse(int run) {
    harness_.RunUpdate(0);
    const bool failed =
        harness_.surfaceCalls() ==
        std::vector<std::string>{"message: No Respond\n Please Retry Again", "update:on"};
    EXPECT_TRUE(failed) << "run " << run;
    return failed;
  }

  job::testing::TempDir folder_;
  std::string received_ = folder_.PathOf("received.bin");
  WorkerHarness harness_;
};

TEST_F(WorkerEnduranceTest, FiveHundredUpdatesWithARefusalEach) {
  harness_.UsePackage("keyboard", FramesOfLengths({14, 14, 14, 14}));
  std::unique_ptr<devsimtest::DevsimChild> device;
  std::size_t logRead = 0;
  Endure("updates with a refusal each", 500, [&](int run) {
    // A fresh device now and then, so that the copy of its log this process keeps stays small
    // and does not show as growth of its own.
    if (run % 50 == 0) {
      device = std::make_unique<devsimtest::DevsimChild>(std::vector<std::string>{
          "--no-frame-log", "--refuse-frame", "1:1", "--every-transfer", "--image-out", received_});
      harness_.MapPort("COM1", device->PortPath());
      logRead = 0;
    }
    if (!UpdateCompletes(run)) return false;
    // Reading the log as it comes keeps the simulator from stalling on a full pipe.
    logRead = device->WaitForLog("fault=refuse", logRead);
    return logRead != std::string::npos && harness_.CountText("\n\nfailed\n\n\n") == 1;
  });
}

TEST_F(WorkerEnduranceTest, FiftyHangUpsEachFollowedByASuccessfulRetry) {
  const std::string link = folder_.PathOf("port");
  harness_.MapPort("COM1", link);
  harness_.UsePackage("keyboard", FramesOfLengths({14, 14, 14, 14}));
  Endure("hang-ups, each followed by a retry", 50, [&](int run) {
    devsimtest::DevsimChild device({"--no-frame-log", "--hangup-at", "2", "--come-back", "50",
                                    "--link", link, "--image-out", received_});
    return FailsWithNoResponse(run) && !device.NextOutputLine().empty() && UpdateCompletes(run);
  });
}

}  // namespace
}  // namespace e2e
