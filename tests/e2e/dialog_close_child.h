// Closing the dialog while the updater is at a given stage, in a process of its own that runs the
// real application entry, so that what happens as the process ends is part of the test.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace e2e {

enum class CloseStage { Idle, Announce, Transfer, WorkerMessage, SuccessMessage };

inline constexpr const char* kCloseChildFlag = "--close-child";

// Exit status of the closing process when everything held: the port closed and free, the worker
// back from the operator surface once the window was gone, nothing reported by a sanitizer.
inline constexpr int kClosedCleanly = 0;

struct ClosingRun {
  int exitStatus = -1;  // -1: it did not end within the patience and was killed
  std::string output;   // its standard output and standard error
};

// Runs this test program again as the closing process; `dir` receives its output.
ClosingRun RunClosingProcess(CloseStage stage, const std::string& portPath,
                             const std::string& packagePath, const std::string& dir);

// The closing process's entry: kCloseChildFlag STAGE PORT PACKAGE.
int ClosingProcessMain(int argc, char** argv);

}  // namespace e2e
