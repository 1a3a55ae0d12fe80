// ovrin-demo: the updater's own dialog with COM01 reaching the device simulator's port, so that a
// newcomer can run a complete update without a device and without root.
//
//   ovrin-demo --port PATH                   the dialog, for a person to operate
//   ovrin-demo --port PATH --drive PACKAGE   the dialog driven as an operator would: Browse to
//                                            PACKAGE, choose COM01, press Update; progress and
//                                            the final message are printed, and the exit
//                                            status is 0 only for a successful update
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/framework/wnd.h"
#include "platform/serial.h"
#include "ui/resource.h"
#include "ui/updater_app.h"

namespace {

struct DemoOptions {
  std::string portPath;
  std::string drivenPackage;  // empty: a person operates the dialog
};

DemoOptions g_options;

template <class T>
T* Control(QWidget* dialog, int id) {
  return dialog->findChild<T*>(QString::number(id));
}

bool g_updateSucceeded = false;

// Operates the dialog the way a technician would, one step per tick of a 100 ms timer: Browse to
// the package, choose COM01 once the path shows, press Update, answer the final message.
class OperatorScript : public QObject {
 public:
  explicit OperatorScript(QWidget* dialog) : dialog_(dialog) {
    connect(&tick_, &QTimer::timeout, this, [this] { Step(); });
    tick_.start(100);
  }

 private:
  enum class Stage { Browse, ChoosingFile, Update, Transfer, Resetting };

  void Step() {
    ReportProgress();
    if (QWidget* modal = QApplication::activeModalWidget(); modal != nullptr && modal != dialog_) {
      Answer(modal);
      return;
    }
    switch (stage_) {
      case Stage::Browse:
        std::printf("Browse: %s\n", g_options.drivenPackage.c_str());
        stage_ = Stage::ChoosingFile;
        ClickLater(ui::IDC_BROWSE);
        break;
      case Stage::ChoosingFile:
        if (Control<QLineEdit>(dialog_, ui::IDC_FILE_PATH)->text().isEmpty()) break;
        stage_ = Stage::Update;
        [[fallthrough]];
      case Stage::Update: {
        auto* ports = Control<QComboBox>(dialog_, ui::IDC_COM_PORT);
        ports->setCurrentIndex(0);
        std::printf("Port: %s\nUpdate\n", ports->currentText().toUtf8().constData());
        stage_ = Stage::Transfer;
        ClickLater(ui::IDC_UPDATE);
        break;
      }
      case Stage::Transfer:
        break;
      case Stage::Resetting:
        // Success returns the dialog to its opening condition; a failure leaves Browse disabled.
        if (!g_updateSucceeded || Control<QAbstractButton>(dialog_, ui::IDC_BROWSE)->isEnabled()) {
          std::printf("Closing the dialog.\n");
          tick_.stop();
          dialog_->close();
        }
        break;
    }
  }

  void Answer(QWidget* modal) {
    if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      // Typed into the file name box, as a person would; the dialog's own selection is not taken
      // while that box has the focus.
      files->findChild<QLineEdit*>("fileNameEdit")
          ->setText(QString::fromStdString(g_options.drivenPackage));
      QTimer::singleShot(0, files, [files] { static_cast<QDialog*>(files)->accept(); });
    } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      std::printf("Message: \"%s\"\n", box->text().toUtf8().constData());
      g_updateSucceeded = box->text() == " Update Success\n";
      stage_ = Stage::Resetting;
      box->button(QMessageBox::Ok)->click();
    }
  }

  // A click that opens a modal window runs its own loop; clicking from outside this tick keeps
  // the tick timer free to answer that window.
  void ClickLater(int id) {
    QTimer::singleShot(0, this, [this, id] { Control<QAbstractButton>(dialog_, id)->click(); });
  }

  void ReportProgress() {
    const QString percent = Control<QLabel>(dialog_, ui::IDC_PERCENT)->text();
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    std::printf("Progress: %s %%\n", percent.toUtf8().constData());
  }

  QWidget* dialog_;
  QTimer tick_;
  QString lastPercent_;
  Stage stage_ = Stage::Browse;
};

class CDemoApp : public ui::CUpdaterApp {
 public:
  framework::BOOL InitInstance() override {
    if (!g_options.drivenPackage.empty()) {
      QTimer::singleShot(0, [this] {
        auto* dialog = m_pMainWnd != nullptr ? m_pMainWnd->GetSafeWidget() : nullptr;
        if (dialog != nullptr) new OperatorScript(dialog);
      });
    }
    return CUpdaterApp::InitInstance();
  }
};

CDemoApp theApp;

bool ParseArguments(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port") == 0) {
      g_options.portPath = argv[i + 1];
    } else if (std::strcmp(argv[i], "--drive") == 0) {
      g_options.drivenPackage = argv[i + 1];
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !g_options.portPath.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each step shows as it happens, also in a pipe
  if (!ParseArguments(argc, argv)) {
    std::fprintf(stderr, "usage: ovrin-demo --port PATH [--drive PACKAGE]\n");
    return 2;
  }
  // COM01 in the port list is COM1 to the worker: the simulator. Every other port is real.
  const int exitCode = ui::RunUpdaterApp(argc, argv, [](std::string_view name) {
    return name == "COM1" ? g_options.portPath : win::DefaultPortResolver(name);
  });
  // A driven run tells its caller whether the update succeeded.
  return g_options.drivenPackage.empty() || g_updateSucceeded ? exitCode : 1;
}
