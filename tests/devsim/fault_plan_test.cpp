#include "tools/devsim/fault_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace devsim {
namespace {

// The answers to frame 0 sent `sendings` times, then frame 1 once, in transfer `transfer`.
std::vector<FrameAnswer> Answers(FaultPlan& plan, std::uint32_t transfer, int sendings) {
  plan.StartTransfer(transfer);
  std::vector<FrameAnswer> answers;
  for (int i = 0; i < sendings; ++i) answers.push_back(plan.OnFrame(0).answer);
  answers.push_back(plan.OnFrame(1).answer);
  return answers;
}

using A = FrameAnswer;

TEST(FaultPlanTest, RefusesAndGarblesTheTimesAskedThenAccepts) {
  Options options;
  options.refusals = {{0, 2}};
  options.garbageFrames = {{0, 1}};
  FaultPlan plan(options);
  EXPECT_EQ(Answers(plan, 0, 4),
            (std::vector<A>{A::kGarbageByte, A::kRefuse, A::kRefuse, A::kAccept, A::kAccept}));
}

TEST(FaultPlanTest, FaultsActOnTheFirstTransferUnlessEveryTransferIsAsked) {
  Options options;
  options.refusals = {{0, 1}};
  options.noAnnounceReply = true;
  FaultPlan once(options);
  EXPECT_EQ(Answers(once, 0, 2), (std::vector<A>{A::kRefuse, A::kAccept, A::kAccept}));
  EXPECT_EQ(Answers(once, 1, 1), (std::vector<A>{A::kAccept, A::kAccept}));
  EXPECT_EQ(once.OnAnnounce(), AnnounceAnswer::kAccept);

  options.everyTransfer = true;
  FaultPlan every(options);
  EXPECT_EQ(Answers(every, 0, 1), (std::vector<A>{A::kRefuse, A::kAccept}));
  EXPECT_EQ(Answers(every, 1, 1), (std::vector<A>{A::kRefuse, A::kAccept}));
  EXPECT_EQ(every.OnAnnounce(), AnnounceAnswer::kNone);
}

TEST(FaultPlanTest, HangUpComesBeforeSilenceAndSilenceLasts) {
  Options options;
  options.silentFrom = 1;
  options.hangupAt = 2;
  options.refusals = {{1, 3}};
  FaultPlan plan(options);
  plan.StartTransfer(0);
  EXPECT_EQ(plan.OnFrame(0).answer, A::kAccept);
  EXPECT_EQ(plan.OnFrame(1).answer, A::kSilent);
  EXPECT_EQ(plan.OnFrame(1).answer, A::kSilent);
  EXPECT_EQ(plan.OnFrame(2).answer, A::kHangUp);
}

}  // namespace
}  // namespace devsim
