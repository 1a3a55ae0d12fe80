#include "dialog_close_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "dialog_operator.h"
#include "job/operator_surface.h"
#include "job/update_job.h"
#include "ui/resource.h"
#include "ui/updater_app.h"

extern char** environ;

namespace e2e {
namespace {

// Exit statuses of the closing process that name what did not hold.
constexpr int kStageNotReached = 10;
constexpr int kPortLeftOpen = 11;
constexpr int kPortStillHeld = 12;
constexpr int kWorkerNotBack = 13;
constexpr int kMessageOutlivedTheDialog = 14;

constexpr int kScriptTickMs = 20;
constexpr int kStagePatienceMs = 60000;
// How long a message box may stay up once the dialog that owns it has been closed.
constexpr int kMessagePatienceAfterCloseMs = 3000;
// The Keyboard pause after opening the port, then a second into the three-second reply window.
constexpr int kIntoAnnounceMs = 3000;
constexpr const char* kLeftFrameLoop = "Leave thread while";

constexpr std::array<std::pair<CloseStage, std::string_view>, 5> kStageNames{{
    {CloseStage::Idle, "idle"},
    {CloseStage::Announce, "announce"},
    {CloseStage::Transfer, "transfer"},
    {CloseStage::WorkerMessage, "worker-message"},
    {CloseStage::SuccessMessage, "success-message"},
}};

std::string_view NameOf(CloseStage stage) {
  for (const auto& [s, name] : kStageNames) {
    if (s == stage) return name;
  }
  return {};
}

std::optional<CloseStage> StageNamed(std::string_view name) {
  for (const auto& [stage, n] : kStageNames) {
    if (n == name) return stage;
  }
  return std::nullopt;
}

template <class T>
T* Control(QWidget* dialog, int id) {
  return dialog->findChild<T*>(QString::number(id));
}

// What the closing process found out while its dialog ran.
struct ClosingOutcome {
  bool stageReached = false;
  bool messageOutlivedTheDialog = false;
  std::size_t leftLoopBeforeClose = 0;
};

// Operates the dialog up to the stage, then closes it as the window manager's close button does.
class ClosingScript : public QObject {
 public:
  ClosingScript(QWidget* dialog, CloseStage stage, QString package, DebugLog& debug,
                ClosingOutcome& outcome)
      : QObject(dialog),
        dialog_(dialog),
        stage_(stage),
        package_(std::move(package)),
        debug_(debug),
        outcome_(outcome) {
    connect(&tick_, &QTimer::timeout, this, [this] { Step(); });
    tick_.start(kScriptTickMs);
    QTimer::singleShot(kStagePatienceMs, this, [this] {
      if (outcome_.stageReached) return;
      std::fprintf(stderr, "closing process: stage not reached\n");
      CloseDialog();
    });
  }

 private:
  enum class Phase { Browse, ChoosingFile, Update, Waiting, Closing };

  void Step() {
    if (phase_ == Phase::Closing) return;
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != dialog_) {
      Answer(modal);
      return;
    }
    switch (phase_) {
      case Phase::Browse:
        phase_ = Phase::ChoosingFile;
        ClickLater(ui::IDC_BROWSE);
        break;
      case Phase::ChoosingFile:
        if (Control<QLineEdit>(dialog_, ui::IDC_FILE_PATH)->text() != package_) break;
        Control<QComboBox>(dialog_, ui::IDC_COM_PORT)->setCurrentIndex(0);
        phase_ = Phase::Update;
        if (stage_ == CloseStage::Idle) ReachStage();
        break;
      case Phase::Update:
        phase_ = Phase::Waiting;
        ClickLater(ui::IDC_UPDATE);
        break;
      case Phase::Waiting:
        WatchForStage();
        break;
      case Phase::Closing:
        break;
    }
  }

  void WatchForStage() {
    if (stage_ == CloseStage::Announce && !announceTimed_ &&
        debug_.Count("REopen COM port!!!!\n\n\n") > 0) {
      announceTimed_ = true;
      QTimer::singleShot(kIntoAnnounceMs, this, [this] { ReachStage(); });
    }
    const QString percent = Control<QLabel>(dialog_, ui::IDC_PERCENT)->text();
    if (stage_ == CloseStage::Transfer && percent != "0" && percent != "100") ReachStage();
  }

  void Answer(QWidget* modal) {
    if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      if (answeredFiles_) return;
      answeredFiles_ = true;
      files->findChild<QLineEdit*>("fileNameEdit")->setText(package_);
      QTimer::singleShot(0, files, [files] { static_cast<QDialog*>(files)->accept(); });
      return;
    }
    auto* box = qobject_cast<QMessageBox*>(modal);
    if (box == nullptr) return;
    const bool awaited =
        (stage_ == CloseStage::WorkerMessage && box->text() == job::kMsgNoRespond) ||
        (stage_ == CloseStage::SuccessMessage && box->text() == job::kMsgUpdateSuccess);
    if (awaited) {
      ReachStage();  // the box stays up: the dialog is closed behind it
    } else {
      std::fprintf(stderr, "closing process: unexpected message \"%s\"\n",
                   box->text().toUtf8().constData());
      box->button(QMessageBox::Ok)->click();
    }
  }

  void ReachStage() {
    if (phase_ == Phase::Closing) return;
    outcome_.stageReached = true;
    CloseDialog();
  }

  void CloseDialog() {
    phase_ = Phase::Closing;
    tick_.stop();
    outcome_.leftLoopBeforeClose = debug_.Count(kLeftFrameLoop);
    QTimer::singleShot(0, dialog_, [dialog = dialog_] { dialog->close(); });
    QTimer::singleShot(kMessagePatienceAfterCloseMs, this, [this] { DismissLingeringMessage(); });
  }

  // A message box that is still up once its dialog has been closed holds the process; the
  // operator would have to answer it.
  void DismissLingeringMessage() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr) return;
    outcome_.messageOutlivedTheDialog = true;
    std::fprintf(stderr, "closing process: \"%s\" still shown after the dialog was closed\n",
                 box->text().toUtf8().constData());
    box->button(QMessageBox::Ok)->click();
  }

  // A click that opens a modal window runs its own loop; from outside the tick, the tick goes on.
  void ClickLater(int id) {
    QTimer::singleShot(0, this, [this, id] { Control<QAbstractButton>(dialog_, id)->click(); });
  }

  QWidget* dialog_;
  CloseStage stage_;
  QString package_;
  DebugLog& debug_;
  ClosingOutcome& outcome_;
  QTimer tick_;
  Phase phase_ = Phase::Browse;
  bool announceTimed_ = false;
  bool answeredFiles_ = false;
};

class CClosingApp : public ui::CUpdaterApp {
 public:
  CClosingApp(CloseStage stage, QString package, DebugLog& debug, ClosingOutcome& outcome)
      : stage_(stage), package_(std::move(package)), debug_(debug), outcome_(outcome) {}

  framework::BOOL InitInstance() override {
    QTimer::singleShot(0, [this] {
      if (m_pMainWnd == nullptr) return;
      new ClosingScript(m_pMainWnd->GetSafeWidget(), stage_, package_, debug_, outcome_);
    });
    return CUpdaterApp::InitInstance();
  }

 private:
  CloseStage stage_;
  QString package_;
  DebugLog& debug_;
  ClosingOutcome& outcome_;
};

// The worker is at work when the dialog closes in these stages: it must come back from its
// calls on the dialog (which no longer exists) and leave its frame loop.
bool WorkerActiveAt(CloseStage stage) {
  return stage == CloseStage::Transfer || stage == CloseStage::WorkerMessage;
}

int WaitForExit(pid_t pid, int timeoutMs) {
  const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd watched{pidFd, POLLIN, 0};
  if (pidFd < 0 || poll(&watched, 1, timeoutMs) <= 0) kill(pid, SIGKILL);
  if (pidFd >= 0) close(pidFd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ClosingRun RunClosingProcess(CloseStage stage, const std::string& portPath,
                             const std::string& packagePath, const std::string& dir) {
  const std::string outputPath = dir + "/closing-" + std::string(NameOf(stage)) + ".out";
  std::vector<std::string> words{"/proc/self/exe", kCloseChildFlag, std::string(NameOf(stage)),
                                 portPath, packagePath};
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  ClosingRun run;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    run.exitStatus = WaitForExit(pid, kStagePatienceMs + kPatienceMs);
  }
  posix_spawn_file_actions_destroy(&actions);
  std::ifstream output(outputPath);
  run.output.assign(std::istreambuf_iterator<char>(output), std::istreambuf_iterator<char>());
  return run;
}

int ClosingProcessMain(int argc, char** argv) {
  const std::optional<CloseStage> stage = argc == 5 ? StageNamed(argv[2]) : std::nullopt;
  if (!stage) return 2;
  const std::string portPath = argv[3];
  DebugLog debug(DebugLog::Echo::ToStandardError);
  ClosingOutcome outcome;
  CClosingApp app(*stage, QString::fromUtf8(argv[4]), debug, outcome);
  const int exitCode = ui::RunUpdaterApp(argc, argv, [portPath](std::string_view name) {
    return name == "COM1" ? portPath : std::string();
  });
  if (!outcome.stageReached) return kStageNotReached;
  if (outcome.messageOutlivedTheDialog) return kMessageOutlivedTheDialog;
  if (job::TheUpdateJob().portHandle.load() != 0) return kPortLeftOpen;
  if (!NobodyHolds(portPath)) return kPortStillHeld;
  if (WorkerActiveAt(*stage) &&
      !debug.WaitForMore(kLeftFrameLoop, outcome.leftLoopBeforeClose, kPatienceMs)) {
    return kWorkerNotBack;
  }
  return exitCode;
}

}  // namespace e2e
