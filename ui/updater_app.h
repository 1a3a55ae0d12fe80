// The application object and the program's entry. The program defines the one static
// CUpdaterApp; RunUpdaterApp runs it with the port resolver of the caller's choice, so that the
// updater and the demo compose the same dialog.
#pragma once

#include "platform/framework/win_app.h"
#include "platform/serial.h"

namespace ui {

class CUpdaterApp : public framework::CWinApp {
 public:
  ~CUpdaterApp() override = default;
  // Runs the main dialog modally; FALSE in every case, which ends the application.
  framework::BOOL InitInstance() override;
};

// Installs `resolver` and runs the process's CUpdaterApp. The command line has no effect; the
// exit code is fixed (0).
int RunUpdaterApp(int argc, char** argv, win::PortResolver resolver);

}  // namespace ui
