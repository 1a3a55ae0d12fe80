// ovrin-update: the firmware updater. COM<n> reaches /dev/com<n> when it exists, else
// /dev/ttyS<n-1>.
#include "platform/serial.h"
#include "ui/updater_app.h"

namespace {

// The process's application object, constructed before the entry point runs.
ui::CUpdaterApp theApp;

}  // namespace

int main(int argc, char** argv) {
  return ui::RunUpdaterApp(argc, argv, win::DefaultPortResolver);
}
