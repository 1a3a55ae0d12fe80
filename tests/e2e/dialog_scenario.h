// One update scenario through the dialog, the worker and the simulator: the fault, the package,
// what the operator is told, the state the dialog is left in, and the Update that follows.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dialog_close_child.h"
#include "job/operator_surface.h"
#include "tools/pkg/package_maker.h"

namespace e2e {

// The package the device should end up with: `frames` frames of distinct content, the first of
// `frameBytes` bytes on the line (length prefix included), each following one 2 bytes longer.
struct Package {
  const char* type = "keyboard";
  int frames = 4;
  int frameBytes = 40;
  std::optional<std::int32_t> extraEntryId = {};  // a second entry after the one sent
  std::string trailing = {};                      // text after the last payload
};

// The image the package holds, and the options that make the package.
std::vector<std::uint8_t> ImageOf(const Package& package);
pkg::MakeOptions MakeOptionsFor(const Package& package);

// Which port the operator picks, and what is behind it.
enum class PortPick {
  Simulator,      // COM01, the simulator's port
  ComingBack,     // COM01, a link to the simulator's current port (it hangs up and comes back)
  NoneSelected,   // the list left without a selection
  Missing,        // COM02, a device that does not exist
  HeldElsewhere,  // COM01, held open and locked by another process
};

// What the first Update is given to load instead of the good package.
enum class FirstFile {
  Good,
  NotChosen,      // Update before any Browse
  Missing,        // chosen, then removed
  HeldElsewhere,  // the good package, held open and locked by another process
  Refused,        // the row's refused bytes
};

// The state after a failure has been dismissed (Update is enabled again in every case).
struct After {
  bool browseEnabled = false;
  std::int32_t packageLoaded = 0;
  bool portOpen = false;
};
inline constexpr After kAfterRefusedPackage{true, 0, false};
inline constexpr After kAfterOpenFailed{false, 1, false};
inline constexpr After kAfterNoResponse{false, 1, true};

// Refused package contents, built from the good package.
using RefusedBytes = std::string (*)(const Package& good);

struct Scenario {
  const char* name;
  std::vector<std::string> simulator = {};  // the simulator's switches
  Package package = {};
  PortPick port = PortPick::Simulator;
  FirstFile firstFile = FirstFile::Good;
  RefusedBytes refused = nullptr;
  // The first Update's message; nullptr: the framework's stop-icon box of a file error.
  const char* message = job::kMsgUpdateSuccess;
  After after = {};                      // after a failure
  std::optional<int> failingFrame = {};  // no later frame may reach the device
  // Whether the first job re-opened the port after its announce.
  std::optional<bool> reopens = {};
  std::optional<int> transferSpeed = {};  // the line speed every frame goes at
  std::optional<CloseStage> closeAt = {};
};

inline void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

// A row's test name.
inline std::string NameOfRow(const ::testing::TestParamInfo<Scenario>& row) {
  return row.param.name;
}

// Runs the scenario in a dialog of this process (the close scenarios in a process of their own)
// and checks every step with GoogleTest expectations.
void RunScenario(const Scenario& scenario);

}  // namespace e2e
