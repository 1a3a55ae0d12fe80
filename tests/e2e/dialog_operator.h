// The updater's dialog, its real worker and the device simulator, operated as a technician would:
// Browse through the file dialog, a port from the list, Update, and the message boxes answered.
#pragma once

#include <sys/types.h>

#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/devsim_child.h"
#include "ui/updater_dialog.h"

// Readable texts in the expectations' reports.
inline void PrintTo(const QString& text, std::ostream* out) {
  *out << '"' << text.toStdString() << '"';
}

namespace e2e {

// Long enough for the slowest failure: a silent device, six empty periods of 5.5 s after the port
// setup; the tests wait for events, so a good run never waits this long.
inline constexpr int kMessagePatienceMs = 60000;
inline constexpr int kPatienceMs = 10000;

// What the operator sees of the dialog, and what the job holds.
struct DialogState {
  bool updateEnabled = false;
  bool browseEnabled = false;
  QString percent;
  int bar = 0;
  std::int32_t packageLoaded = 0;
  bool portOpen = false;  // the job holds a port handle
};

// A message box as shown, with the dialog behind it at that moment.
struct ShownMessage {
  QString text;
  QString caption;
  bool stopIcon = false;
  DialogState behind;
};

// The updater's debug strings, collected from every thread while it lives.
class DebugLog {
 public:
  // A process of its own also keeps them on standard error, for whoever reads its output.
  enum class Echo { None, ToStandardError };
  explicit DebugLog(Echo echo = Echo::None);
  ~DebugLog();
  DebugLog(const DebugLog&) = delete;
  DebugLog& operator=(const DebugLog&) = delete;

  std::size_t Count(const std::string& text);
  // Waits until `text` has been written more than `seen` times.
  bool WaitForMore(const std::string& text, std::size_t seen, int timeoutMs);
  std::string All();

 private:
  std::mutex mutex_;
  std::condition_variable written_;
  std::vector<std::string> strings_;
};

// The real dialog with the real worker (started once per process), shown without a modal loop.
class DialogOperator {
 public:
  DialogOperator();
  ~DialogOperator();
  DialogOperator(const DialogOperator&) = delete;
  DialogOperator& operator=(const DialogOperator&) = delete;

  // Browse, and the path typed into the file dialog's name box as a person would.
  bool Browse(const std::string& path);
  // -1 leaves the list without a selection.
  void SelectPort(int index);
  // Clicked from outside any timer slot, since a refusal's message box runs a modal loop.
  void PressUpdate();
  // The next message box, recorded with the dialog behind it, then dismissed with OK.
  std::optional<ShownMessage> NextMessage(int timeoutMs = kMessagePatienceMs);
  // Runs the event loop until `condition` holds.
  bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = kPatienceMs);

  DialogState State() const;
  QWidget* Window() const;

 private:
  QWidget* Control(int id) const;

  ui::CUpdaterDialog dialog_;
};

// COM1 (the list's COM01) and COM2 (COM02) name these device paths; every other port is none.
void ResolvePorts(const std::string& com1, const std::string& com2 = {});

// Another process holding `path` open and locked, as a second program holds a port or a file.
class HoldingProcess {
 public:
  explicit HoldingProcess(const std::string& path);
  ~HoldingProcess();
  HoldingProcess(const HoldingProcess&) = delete;
  HoldingProcess& operator=(const HoldingProcess&) = delete;

  bool Holds() const { return holding_; }
  void Release();

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
  bool holding_ = false;
};

// True when another opener could take `path` with an exclusive lock: nobody holds it.
bool NobodyHolds(const std::string& path);

// The simulator's log, with whatever it has written so far read in.
const std::string& CurrentLog(devsimtest::DevsimChild& simulator);

// One "frame ..." line of the simulator's log.
struct LoggedFrame {
  int transfer = -1;
  int index = -1;
  int speed = 0;  // the line speed the updater had set
};
std::vector<LoggedFrame> LoggedFrames(const std::string& log);

}  // namespace e2e
