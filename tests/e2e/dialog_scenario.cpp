#include "dialog_scenario.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "dialog_operator.h"
#include "modal_helpers.h"
#include "tools/pkg/package_maker.h"

namespace e2e {
namespace {

using devsimtest::Bytes;

constexpr const char* kReopened = "Retry...";
constexpr const char* kLoaded = "Open File";
constexpr int kEndPassCount = 4;  // the worker's count at the end of the image, beyond the frames

std::string PackageBytes(const Package& package) {
  return pkg::BuildPackage(MakeOptionsFor(package), ImageOf(package));
}

bool ReportsASanitizerFinding(const std::string& output) {
  return output.find("Sanitizer") != std::string::npos ||
         output.find("runtime error:") != std::string::npos;
}

class ScenarioRun {
 public:
  explicit ScenarioRun(const Scenario& scenario);
  ~ScenarioRun();
  ScenarioRun(const ScenarioRun&) = delete;
  ScenarioRun& operator=(const ScenarioRun&) = delete;

  void Run();

 private:
  std::vector<std::string> SimulatorSwitches() const;
  std::string Write(const std::string& name, const std::string& bytes) const;
  void PrepareFirstUpdate();
  void PickPort();
  void RemoveTheCause();
  void RunClosingProcess();
  void ExpectFramesAtTheTransferSpeed();
  void ExpectNoFrameAfterTheFailingOne();
  void ExpectFailure(const ShownMessage& shown);
  void ExpectSuccess(const ShownMessage& shown);
  void FollowingUpdateSucceeds();

  const Scenario& scenario_;
  const std::string dir_;
  const std::string imageOut_;
  const std::string link_;
  const Bytes image_;
  const std::string goodPackage_;
  devsimtest::DevsimChild simulator_;
  DebugLog debug_;
  DialogOperator dialog_;
  std::optional<HoldingProcess> portHolder_;
  std::optional<HoldingProcess> fileHolder_;
};

ScenarioRun::ScenarioRun(const Scenario& scenario)
    : scenario_(scenario),
      dir_(devsimtest::TempDir()),
      imageOut_(dir_ + "/received.bin"),
      link_(dir_ + "/port"),
      image_(ImageOf(scenario.package)),
      goodPackage_(Write("good.pkg", PackageBytes(scenario.package))),
      simulator_(SimulatorSwitches()) {}

ScenarioRun::~ScenarioRun() {
  if (::testing::Test::HasFailure()) {
    std::fprintf(stderr, "--- updater debug output ---\n%s\n--- simulator log ---\n%s\n",
                 debug_.All().c_str(), CurrentLog(simulator_).c_str());
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> ScenarioRun::SimulatorSwitches() const {
  std::vector<std::string> switches = scenario_.simulator;
  switches.insert(switches.end(), {"--image-out", imageOut_});
  if (scenario_.port == PortPick::ComingBack) switches.insert(switches.end(), {"--link", link_});
  return switches;
}

std::string ScenarioRun::Write(const std::string& name, const std::string& bytes) const {
  const std::string path = dir_ + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

void ScenarioRun::Run() {
  ASSERT_FALSE(simulator_.PortPath().empty()) << "the simulator did not start";
  ResolvePorts(scenario_.port == PortPick::ComingBack ? link_ : simulator_.PortPath(),
               dir_ + "/no-such-port");
  if (scenario_.closeAt) {
    RunClosingProcess();
  } else {
    PrepareFirstUpdate();
    dialog_.PressUpdate();
    const std::optional<ShownMessage> shown = dialog_.NextMessage();
    ASSERT_TRUE(shown.has_value()) << "no message after the first Update";
    if (scenario_.reopens) {
      EXPECT_EQ(debug_.Count(kReopened) > 0, *scenario_.reopens);
    }
    if (scenario_.transferSpeed) ExpectFramesAtTheTransferSpeed();
    if (scenario_.message != nullptr &&
        std::string_view(scenario_.message) == job::kMsgUpdateSuccess) {
      ExpectSuccess(*shown);
    } else {
      ExpectFailure(*shown);
      RemoveTheCause();
    }
  }
  FollowingUpdateSucceeds();
}

void ScenarioRun::PrepareFirstUpdate() {
  switch (scenario_.firstFile) {
    case FirstFile::Good:
      ASSERT_TRUE(dialog_.Browse(goodPackage_));
      break;
    case FirstFile::NotChosen:
      break;
    case FirstFile::Missing: {
      const std::string gone = Write("gone.pkg", PackageBytes(scenario_.package));
      ASSERT_TRUE(dialog_.Browse(gone));
      std::filesystem::remove(gone);
      break;
    }
    case FirstFile::HeldElsewhere:
      fileHolder_.emplace(goodPackage_);
      ASSERT_TRUE(fileHolder_->Holds());
      ASSERT_TRUE(dialog_.Browse(goodPackage_));
      break;
    case FirstFile::Refused:
      ASSERT_TRUE(dialog_.Browse(Write("refused.pkg", scenario_.refused(scenario_.package))));
      break;
  }
  PickPort();
}

void ScenarioRun::PickPort() {
  switch (scenario_.port) {
    case PortPick::Simulator:
    case PortPick::ComingBack:
      dialog_.SelectPort(0);
      break;
    case PortPick::NoneSelected:
      dialog_.SelectPort(-1);
      break;
    case PortPick::Missing:
      dialog_.SelectPort(1);
      break;
    case PortPick::HeldElsewhere:
      portHolder_.emplace(simulator_.PortPath());
      ASSERT_TRUE(portHolder_->Holds());
      dialog_.SelectPort(0);
      break;
  }
}

// What the technician does about the failure before pressing Update again.
void ScenarioRun::RemoveTheCause() {
  if (scenario_.port != PortPick::Simulator && scenario_.port != PortPick::ComingBack) {
    dialog_.SelectPort(0);
  }
  if (scenario_.port == PortPick::ComingBack) {
    ASSERT_FALSE(simulator_.NextOutputLine().empty()) << "the port did not come back";
  }
  if (portHolder_) portHolder_->Release();
  if (fileHolder_) fileHolder_->Release();
  if (scenario_.firstFile == FirstFile::NotChosen || scenario_.firstFile == FirstFile::Missing ||
      scenario_.firstFile == FirstFile::Refused) {
    ASSERT_TRUE(dialog_.Browse(goodPackage_));
  }
}

void ScenarioRun::RunClosingProcess() {
  const ClosingRun run =
      e2e::RunClosingProcess(*scenario_.closeAt, simulator_.PortPath(), goodPackage_, dir_);
  EXPECT_EQ(run.exitStatus, kClosedCleanly) << run.output;
  EXPECT_FALSE(ReportsASanitizerFinding(run.output)) << run.output;
  const std::string& log = CurrentLog(simulator_);
  const std::vector<LoggedFrame> frames = LoggedFrames(log);
  if (scenario_.closeAt == CloseStage::Announce) {
    EXPECT_NE(log.find("announce transfer=0"), std::string::npos) << "closed before the announce";
    EXPECT_TRUE(frames.empty()) << "closed after the announce";
  }
  if (scenario_.closeAt == CloseStage::Transfer) {
    EXPECT_FALSE(frames.empty()) << "closed before the transfer";
    for (const LoggedFrame& frame : frames) {
      EXPECT_LT(frame.index, scenario_.package.frames - 1) << "the transfer ran to its end";
    }
  }
  ASSERT_TRUE(dialog_.Browse(goodPackage_));
  dialog_.SelectPort(0);
}

void ScenarioRun::ExpectFramesAtTheTransferSpeed() {
  const std::vector<LoggedFrame> frames = LoggedFrames(CurrentLog(simulator_));
  EXPECT_FALSE(frames.empty());
  for (const LoggedFrame& frame : frames) EXPECT_EQ(frame.speed, *scenario_.transferSpeed);
}

void ScenarioRun::ExpectNoFrameAfterTheFailingOne() {
  const std::vector<LoggedFrame> frames = LoggedFrames(CurrentLog(simulator_));
  bool failingFrameArrived = false;
  for (const LoggedFrame& frame : frames) {
    if (frame.transfer != 0) continue;
    EXPECT_LE(frame.index, *scenario_.failingFrame) << "a frame after the failing one was sent";
    failingFrameArrived = failingFrameArrived || frame.index == *scenario_.failingFrame;
  }
  EXPECT_TRUE(failingFrameArrived);
}

void ScenarioRun::ExpectFailure(const ShownMessage& shown) {
  if (scenario_.message == nullptr) {
    EXPECT_TRUE(shown.stopIcon) << shown.text.toStdString();
  } else {
    EXPECT_EQ(shown.text, QString(scenario_.message));
    EXPECT_FALSE(shown.stopIcon);
  }
  EXPECT_EQ(shown.caption, ui::testing::ProgramTitle());
  EXPECT_TRUE(dialog_.WaitUntil([&] { return dialog_.State().updateEnabled; }));
  const DialogState state = dialog_.State();
  EXPECT_EQ(state.browseEnabled, scenario_.after.browseEnabled);
  EXPECT_EQ(state.packageLoaded, scenario_.after.packageLoaded);
  EXPECT_EQ(state.portOpen, scenario_.after.portOpen);
  if (scenario_.failingFrame) ExpectNoFrameAfterTheFailingOne();
}

void ScenarioRun::ExpectSuccess(const ShownMessage& shown) {
  EXPECT_EQ(shown.text, QString(job::kMsgUpdateSuccess));
  EXPECT_EQ(shown.caption, ui::testing::ProgramTitle());
  // While the operator reads it: the bar at the final count, "100", the port already closed.
  EXPECT_EQ(shown.behind.percent, QStringLiteral("100"));
  EXPECT_EQ(shown.behind.bar, static_cast<int>(2 * image_.size()) + kEndPassCount);
  EXPECT_FALSE(shown.behind.updateEnabled);
  EXPECT_FALSE(shown.behind.browseEnabled);
  EXPECT_FALSE(shown.behind.portOpen);
  EXPECT_EQ(devsimtest::ReadFile(imageOut_), image_) << "the device holds another image";

  // Then the opening condition, after the pause that follows the message.
  EXPECT_TRUE(dialog_.WaitUntil([&] { return dialog_.State().packageLoaded == 0; }));
  const DialogState state = dialog_.State();
  EXPECT_TRUE(state.updateEnabled);
  EXPECT_TRUE(state.browseEnabled);
  EXPECT_EQ(state.percent, QStringLiteral("0"));
  EXPECT_EQ(state.bar, 0);
  EXPECT_FALSE(state.portOpen);
  EXPECT_TRUE(NobodyHolds(goodPackage_)) << "the package file is still open";
  EXPECT_TRUE(NobodyHolds(scenario_.port == PortPick::ComingBack ? link_ : simulator_.PortPath()))
      << "the port is still open";
}

void ScenarioRun::FollowingUpdateSucceeds() {
  const bool loadsAgain = dialog_.State().packageLoaded == 0;
  const std::size_t loads = debug_.Count(kLoaded);
  dialog_.PressUpdate();
  const std::optional<ShownMessage> shown = dialog_.NextMessage();
  ASSERT_TRUE(shown.has_value()) << "no message after the following Update";
  // After a worker failure the loaded image is sent again without reading the file.
  EXPECT_EQ(debug_.Count(kLoaded), loads + (loadsAgain ? 1 : 0));
  ExpectSuccess(*shown);
}

}  // namespace

Bytes ImageOf(const Package& package) {
  std::vector<Bytes> frames;
  for (int i = 0; i < package.frames; ++i) {
    const auto length = static_cast<std::uint16_t>(package.frameBytes - 2 + 2 * i);
    frames.push_back(devsimtest::MakeFrame(length, static_cast<std::uint8_t>(i + 1)));
  }
  return devsimtest::Join(frames);
}

pkg::MakeOptions MakeOptionsFor(const Package& package) {
  pkg::MakeOptions options;
  options.kind = pkg::FindPackageKind(package.type);
  options.extraEntryId = package.extraEntryId;
  options.trailing = package.trailing;
  return options;
}

void RunScenario(const Scenario& scenario) {
  ScenarioRun(scenario).Run();
}

}  // namespace e2e
