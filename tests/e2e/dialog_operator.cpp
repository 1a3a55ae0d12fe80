#include "dialog_operator.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <QtTest/QTest>
#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>

#include "job/update_job.h"
#include "modal_helpers.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "ui/resource.h"

namespace e2e {

DebugLog::DebugLog(Echo echo) {
  platform::SetDebugSink([this, echo](std::string_view text) {
    if (echo == Echo::ToStandardError && write(STDERR_FILENO, text.data(), text.size()) < 0) {
      return;
    }
    {
      std::lock_guard lock(mutex_);
      strings_.emplace_back(text);
    }
    written_.notify_all();
  });
}

DebugLog::~DebugLog() {
  platform::SetDebugSink({});
}

std::size_t DebugLog::Count(const std::string& text) {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(strings_.begin(), strings_.end(), text));
}

bool DebugLog::WaitForMore(const std::string& text, std::size_t seen, int timeoutMs) {
  std::unique_lock lock(mutex_);
  return written_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return static_cast<std::size_t>(std::count(strings_.begin(), strings_.end(), text)) > seen;
  });
}

std::string DebugLog::All() {
  std::lock_guard lock(mutex_);
  std::string all;
  for (const auto& text : strings_) all += text;
  return all;
}

DialogOperator::DialogOperator() {
  dialog_.Create();
}

DialogOperator::~DialogOperator() {
  dialog_.DestroyWindow();
}

QWidget* DialogOperator::Window() const {
  return dialog_.Window();
}

QWidget* DialogOperator::Control(int id) const {
  return Window()->findChild<QWidget*>(QString::number(id));
}

bool DialogOperator::Browse(const std::string& path) {
  const QString wanted = QString::fromStdString(path);
  auto choose = ui::testing::OnNextModal<QFileDialog>([wanted](QFileDialog* files) {
    // The dialog's own selection is not taken while its name box has the focus; typing is.
    files->findChild<QLineEdit*>("fileNameEdit")->setText(wanted);
    QTimer::singleShot(0, files, [files] { static_cast<QDialog*>(files)->accept(); });
  });
  auto* browse = qobject_cast<QAbstractButton*>(Control(ui::IDC_BROWSE));
  QTimer::singleShot(0, browse, [browse] { browse->click(); });
  auto* pathBox = qobject_cast<QLineEdit*>(Control(ui::IDC_FILE_PATH));
  return WaitUntil(
      [&] { return QApplication::activeModalWidget() == nullptr && pathBox->text() == wanted; });
}

void DialogOperator::SelectPort(int index) {
  qobject_cast<QComboBox*>(Control(ui::IDC_COM_PORT))->setCurrentIndex(index);
}

void DialogOperator::PressUpdate() {
  auto* update = qobject_cast<QAbstractButton*>(Control(ui::IDC_UPDATE));
  QTimer::singleShot(0, update, [update] { update->click(); });
}

std::optional<ShownMessage> DialogOperator::NextMessage(int timeoutMs) {
  std::optional<ShownMessage> shown;
  auto answer = ui::testing::OnNextModal<QMessageBox>([&](QMessageBox* box) {
    shown = ShownMessage{box->text(), box->windowTitle(), box->icon() == QMessageBox::Critical,
                         State()};
    box->button(QMessageBox::Ok)->click();
  });
  WaitUntil([&] { return shown.has_value() && QApplication::activeModalWidget() == nullptr; },
            timeoutMs);
  return shown;
}

bool DialogOperator::WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  return QTest::qWaitFor(condition, timeoutMs);
}

DialogState DialogOperator::State() const {
  const job::UpdateJob& job = job::TheUpdateJob();
  return {
      .updateEnabled = Control(ui::IDC_UPDATE)->isEnabled(),
      .browseEnabled = Control(ui::IDC_BROWSE)->isEnabled(),
      .percent = qobject_cast<QLabel*>(Control(ui::IDC_PERCENT))->text(),
      .bar = qobject_cast<QProgressBar*>(Control(ui::IDC_PROGRESS))->value(),
      .packageLoaded = job.packageLoaded,
      .portOpen = job.portHandle.load() != 0,
  };
}

void ResolvePorts(const std::string& com1, const std::string& com2) {
  win::SetPortResolver([com1, com2](std::string_view name) -> std::string {
    if (name == "COM1") return com1;
    if (name == "COM2") return com2;
    return {};
  });
}

HoldingProcess::HoldingProcess(const std::string& path) {
  int ready[2];
  int release[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  if (pipe2(release, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    // Only async-signal-safe calls here: the parent has threads. Its own copy of the release
    // end must go, or the parent's closing it would not be seen.
    close(release[1]);
    close(ready[0]);
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const char held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
    if (write(ready[1], &held, 1) != 1) _exit(1);
    char ignored;
    while (read(release[0], &ignored, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  releaseFd_ = release[1];
  char held = 'n';
  holding_ = pid_ > 0 && read(ready[0], &held, 1) == 1 && held == 'y';
  close(ready[0]);
}

HoldingProcess::~HoldingProcess() {
  Release();
}

void HoldingProcess::Release() {
  if (releaseFd_ >= 0) close(releaseFd_);
  releaseFd_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = -1;
  holding_ = false;
}

bool NobodyHolds(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

const std::string& CurrentLog(devsimtest::DevsimChild& simulator) {
  simulator.WaitForLog("\x01 never logged", 0, 0);
  return simulator.Log();
}

std::vector<LoggedFrame> LoggedFrames(const std::string& log) {
  static const std::regex kFrameLine(R"(^frame transfer=(\d+) index=(\d+) size=\d+ speed=(\d+) )");
  std::vector<LoggedFrame> frames;
  std::istringstream lines(log);
  std::string line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, kFrameLine)) {
      frames.push_back({std::stoi(match[1]), std::stoi(match[2]), std::stoi(match[3])});
    }
  }
  return frames;
}

}  // namespace e2e
