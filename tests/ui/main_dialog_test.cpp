// The main dialog driven as an operator would: keyboard, system menu and About box, file
// selection, Update without a chosen file, the progress tick and completion, closing, and the
// worker's calls.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "job/package_format.h"
#include "modal_helpers.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/win32_kernel.h"
#include "ui/about_dialog.h"
#include "ui/resource.h"
#include "ui/resources.h"
#include "ui/updater_dialog.h"
#include "ui/worker_surface.h"

namespace ui {
namespace {

using framework::IDCANCEL;
using framework::IDOK;
using testing::DismissNextMessageBox;
using testing::OnNextModal;
using testing::SeenMessageBox;

constexpr std::size_t kEdit = 1, kBrowse = 2, kCombo = 4, kProgress = 5, kUpdate = 6, kPercent = 7;

class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    job::UpdateJob& job = job::TheUpdateJob();
    job.packageFile.Close();
    job.packageLoaded = 0;
    job.payloadChars = 0;
    job.progressCount = 0;
    job.transferEnded = false;
    job.portHandle = 0;
    job.state = job::JobState::Idle;
    platform::SetDebugSink([this](std::string_view text) {
      std::lock_guard lock(debugMutex_);
      debug_.emplace_back(text);
    });
    ASSERT_TRUE(dialog_.Create());
  }
  void TearDown() override {
    platform::SetDebugSink({});
    platform::SetClockScale(1);
  }

  std::vector<std::string> Debug() {
    std::lock_guard lock(debugMutex_);
    return debug_;
  }
  QWidget* Control(std::size_t index) { return dialog_.ControlWidget(index); }
  QPushButton* Button(std::size_t index) { return qobject_cast<QPushButton*>(Control(index)); }
  QString PercentText() { return qobject_cast<QLabel*>(Control(kPercent))->text(); }
  void Tick() { dialog_.SendMessage(framework::WM_TIMER, TIMER_PROGRESS); }

  std::string WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // Browse, and pick `path` in the file dialog.
  void ChooseWithBrowse(const std::string& path) {
    auto choose = OnNextModal<QFileDialog>([&](QFileDialog* files) {
      files->selectFile(QString::fromStdString(path));
      static_cast<QDialog*>(files)->accept();
    });
    Button(kBrowse)->click();
  }

  QTemporaryDir dir_;
  CUpdaterDialog dialog_{nullptr, [](job::UpdateJob&, job::OperatorSurface&) { return true; }};
  std::mutex debugMutex_;
  std::vector<std::string> debug_;
};

TEST_F(MainDialogTest, EnterInThePathBoxEndsTheDialogWithOkAndReadsThePathBack) {
  QTest::keyClicks(Control(kEdit), "/typed/path");
  QTest::keyClick(Control(kEdit), Qt::Key_Return);
  EXPECT_EQ(dialog_.Result(), IDOK);
  EXPECT_FALSE(dialog_.Window()->isVisible());
  EXPECT_EQ(dialog_.FilePath(), "/typed/path");
}

TEST_F(MainDialogTest, EnterOnAPushButtonClicksIt) {
  Button(kUpdate)->setFocus();
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  QTest::keyClick(Button(kUpdate), Qt::Key_Return);
  EXPECT_TRUE(seen.seen);  // Update ran instead of OK
  EXPECT_EQ(dialog_.Result(), -1);
  EXPECT_TRUE(dialog_.Window()->isVisible());
}

TEST_F(MainDialogTest, EscapeEndsTheDialogWithCancelAndLeavesThePortOpen) {
  const win::HANDLE port = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  job::TheUpdateJob().portHandle = port;
  QTest::keyClick(Control(kCombo), Qt::Key_Escape);
  EXPECT_EQ(dialog_.Result(), IDCANCEL);
  EXPECT_EQ(job::TheUpdateJob().portHandle.load(), port);
  win::CloseHandle(port);
}

TEST_F(MainDialogTest, CloseBoxClosesAnOpenPortThenCancels) {
  const win::HANDLE port = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  job::TheUpdateJob().portHandle = port;
  dialog_.Window()->close();
  EXPECT_EQ(dialog_.Result(), IDCANCEL);
  EXPECT_EQ(job::TheUpdateJob().portHandle.load(), 0u);
  EXPECT_EQ(win::WaitForSingleObject(port, 0), win::WAIT_FAILED);  // closed
}

TEST_F(MainDialogTest, ModalRunEndsOnEscape) {
  dialog_.DestroyWindow();
  auto press = OnNextModal<QDialog>(
      [](QDialog* window) { QTest::keyClick(window->focusWidget(), Qt::Key_Escape); });
  EXPECT_EQ(dialog_.DoModal(), IDCANCEL);
  EXPECT_EQ(dialog_.Window(), nullptr);
}

TEST_F(MainDialogTest, SystemMenuEndsWithTheAboutItem) {
  const QList<QAction*> actions = dialog_.GetSystemMenu(framework::FALSE)->GetSafeMenu()->actions();
  ASSERT_GE(actions.size(), 4);
  EXPECT_EQ(actions[0]->data().toUInt(), framework::SC_MOVE);
  EXPECT_EQ(actions[1]->data().toUInt(), framework::SC_CLOSE);
  EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
  EXPECT_EQ(actions.last()->text(), QStringLiteral("About Mirelton(&A)..."));
  EXPECT_EQ(actions.last()->data().toUInt(), ID_SYS_ABOUT);
}

TEST_F(MainDialogTest, SystemMenuCloseClosesTheDialog) {
  dialog_.GetSystemMenu(framework::FALSE)->GetSafeMenu()->actions()[1]->trigger();
  EXPECT_EQ(dialog_.Result(), IDCANCEL);
}

TEST_F(MainDialogTest, AltSpaceAndRightClickOpenTheSystemMenu) {
  QMenu* menu = dialog_.GetSystemMenu(framework::FALSE)->GetSafeMenu();
  QTest::keyClick(Control(kEdit), Qt::Key_Space, Qt::AltModifier);
  QTRY_VERIFY(menu->isVisible());
  menu->hide();
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(2, 2),
                          dialog_.Window()->mapToGlobal(QPoint(2, 2)));
  QApplication::sendEvent(dialog_.Window(), &click);
  QTRY_VERIFY(menu->isVisible());
  menu->hide();
  EXPECT_TRUE(qobject_cast<QLineEdit*>(Control(kEdit))->text().isEmpty());
}

TEST_F(MainDialogTest, AboutBoxOpensFreshEachTime) {
  QAction* about = dialog_.GetSystemMenu(framework::FALSE)->GetSafeMenu()->actions().last();
  int shown = 0;
  for (const Qt::Key closeKey : {Qt::Key_Return, Qt::Key_Escape}) {
    auto inspect = OnNextModal<QDialog>([&](QDialog* box) {
      ++shown;
      EXPECT_EQ(box->windowTitle(), QStringLiteral("About Ovrin Controller Firmware Update AP"));
      EXPECT_FALSE(box->property("seen").isValid());  // nothing survives from the last showing
      box->setProperty("seen", true);
      EXPECT_EQ(box->parentWidget(), dialog_.Window());
      EXPECT_TRUE(box->findChild<QPushButton*>()->isDefault());
      QTest::keyClick(box->focusWidget(), closeKey);
    });
    about->trigger();
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  }
  EXPECT_EQ(shown, 2);
  // Any id 16 to 31 is the About item; the system's own commands are not.
  auto inspect = OnNextModal<QDialog>([](QDialog* box) { box->reject(); });
  dialog_.SendMessage(framework::WM_SYSCOMMAND, ID_SYS_ABOUT | 0xF);
  EXPECT_FALSE(inspect->isActive());
}

TEST_F(MainDialogTest, IconCentringTruncatesTowardZero) {
  const struct { int width, x; } cases[] = {{36, 2}, {31, 0}, {28, -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(CenteredIconOrigin({0, 0, c.width, c.width}, 32, 32).x, c.x) << c.width;
    EXPECT_EQ(CenteredIconOrigin({0, 0, c.width, c.width}, 32, 32).y, c.x) << c.width;
  }
}

TEST_F(MainDialogTest, MinimisedDialogPaintsItsIconCentredOnTheBackground) {
  framework::CRect client;
  dialog_.GetClientRect(&client);
  const framework::CPoint at = CenteredIconOrigin(client, 32, 32);
  const QImage icon = framework::LoadIcon(AppIconResource())->Picture(32).toImage();
  const QColor background = dialog_.Window()->palette().color(QPalette::Window);
  const QImage open = dialog_.Window()->grab().toImage();
  EXPECT_EQ(open.pixelColor(at.x + 16, at.y + 24), background);  // no icon while open

  dialog_.Window()->showMinimized();
  ASSERT_TRUE(dialog_.IsIconic());
  const QImage painted = dialog_.Window()->grab().toImage();
  EXPECT_EQ(painted.pixelColor(1, 1), background);
  // Rows of the icon that the path box, drawn over the dialog, leaves uncovered.
  for (const QPoint p : {QPoint(16, 24), QPoint(8, 27), QPoint(20, 30), QPoint(1, 25)}) {
    const QColor expected = icon.pixelColor(p).alpha() == 0 ? background : icon.pixelColor(p);
    EXPECT_EQ(painted.pixelColor(at.x + p.x(), at.y + p.y()), expected) << p.x() << "," << p.y();
  }
}

TEST_F(MainDialogTest, BrowseCancelChangesNothingAndChoosingReplacesTypedText) {
  const std::string package = WriteFile("keyboard.pkg", "x");
  auto* edit = qobject_cast<QLineEdit*>(Control(kEdit));
  QTest::keyClicks(edit, "typed");
  auto cancel = OnNextModal<QFileDialog>([](QFileDialog* files) {
    EXPECT_EQ(files->fileMode(), QFileDialog::ExistingFile);
    EXPECT_EQ(files->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_LE(files->nameFilters().size(), 1);  // every file, no list of types
    EXPECT_TRUE(files->nameFilters().join("").contains("*"));
    files->reject();
  });
  Button(kBrowse)->click();
  EXPECT_FALSE(cancel->isActive());
  EXPECT_EQ(edit->text(), QStringLiteral("typed"));
  EXPECT_EQ(dialog_.FilePath(), "");

  ChooseWithBrowse(package);
  EXPECT_EQ(dialog_.FilePath(), package);
  EXPECT_EQ(edit->text(), QString::fromStdString(package));
}

TEST_F(MainDialogTest, TypedPathHasNoEffectOnUpdate) {
  const std::string package = WriteFile("typed.pkg", std::string(700, '0'));
  QTest::keyClicks(Control(kEdit), QString::fromStdString(package));
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  Button(kUpdate)->click();
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.text, QStringLiteral(" Please Choice a Update File\n"));
  EXPECT_EQ(seen.caption, testing::ProgramTitle());
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.format, Qt::PlainText);
  EXPECT_EQ(seen.buttonCount, 1);
  EXPECT_TRUE(Button(kUpdate)->isEnabled());
  EXPECT_TRUE(Button(kBrowse)->isEnabled());
}

TEST_F(MainDialogTest, FileErrorWhileLoadingShowsTheStopIconBox) {
  // A Keyboard package whose selected payload would start before the file does.
  job::PackageHeader header;
  const auto& signatures = job::KnownSignatures();
  const auto keyboard = std::find_if(signatures.begin(), signatures.end(), [](const auto& s) {
    return s.deviceType == job::DeviceType::Keyboard;
  });
  std::copy(keyboard->bytes.begin(), keyboard->bytes.end(), header.bytes.begin());
  job::WriteEntry(header, 0, {2, -1000, {}});
  job::WriteEntry(header, 1, {1, 8, {}});
  const std::string package =
      WriteFile("negative.pkg", std::string(header.bytes.begin(), header.bytes.end()) + "0004AABB");
  ChooseWithBrowse(package);
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  Button(kUpdate)->click();
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.icon, QMessageBox::Critical) << seen.text.toStdString();
  EXPECT_EQ(seen.caption, testing::ProgramTitle());
  EXPECT_EQ(job::TheUpdateJob().packageLoaded, 0);
  EXPECT_TRUE(Button(kUpdate)->isEnabled());
}

// A job that the worker has finished: the package file open, the port open, the count given.
class ProgressTest : public MainDialogTest {
 protected:
  void SetUp() override {
    MainDialogTest::SetUp();
    platform::SetClockScale(1000);  // the 2-second pause after success
    job::UpdateJob& job = job::TheUpdateJob();
    ASSERT_TRUE(job.packageFile.Open(WriteFile("job.pkg", std::string(728, '0')), 0));
    job.packageLoaded = 1;
    job.payloadChars = 100;
    job.state = job::JobState::Running;
    port_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    job.portHandle = port_;
    dialog_.SetProgressRange(728);
    dialog_.EnableUpdateButton(false);
    dialog_.EnableBrowseButton(false);
    dialog_.SetTimer(TIMER_PROGRESS, 1000);
  }
  win::HANDLE port_ = 0;
};

TEST_F(ProgressTest, TickShowsTheCountAgainstThePayloadCappedAtOneHundred) {
  const struct {
    std::uint32_t count;
    const char* text;
  } cases[] = {{0, "0"}, {49, "49"}, {99, "99"}, {104, "100"}};
  for (const auto& c : cases) {
    job::TheUpdateJob().progressCount = c.count;
    Tick();  // the worker is still in its frame loop: no completion
    EXPECT_EQ(PercentText(), QString(c.text));
    EXPECT_EQ(dialog_.ProgressBar().GetPos(), c.count);
  }
  EXPECT_EQ(job::TheUpdateJob().packageLoaded, 1);
  EXPECT_EQ(job::TheUpdateJob().portHandle.load(), port_);
  EXPECT_FALSE(Button(kUpdate)->isEnabled());
}

TEST_F(ProgressTest, TickAfterAWorkerFailureShowsZeroAndDoesNotComplete) {
  job::TheUpdateJob().progressCount = 0;
  job::TheUpdateJob().transferEnded = false;
  job::TheUpdateJob().state = job::JobState::Idle;
  Tick();
  EXPECT_EQ(PercentText(), QStringLiteral("0"));
  EXPECT_EQ(qobject_cast<QProgressBar*>(Control(kProgress))->value(), 0);
  EXPECT_EQ(job::TheUpdateJob().packageLoaded, 1);
}

TEST_F(ProgressTest, CompletionWaitsForTheWorkerThenRunsItsStepsInOrder) {
  job::UpdateJob& job = job::TheUpdateJob();
  job.progressCount = 104;
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen, [&] {
    // While the operator reads the message: the bar at the final count, "100", the port closed,
    // the timer stopped, and nothing reset yet.
    EXPECT_EQ(PercentText(), QStringLiteral("100"));
    EXPECT_EQ(dialog_.ProgressBar().GetPos(), 104u);
    EXPECT_EQ(job.portHandle.load(), 0u);
    EXPECT_EQ(win::WaitForSingleObject(port_, 0), win::WAIT_FAILED);
    EXPECT_FALSE(dialog_.KillTimer(TIMER_PROGRESS));
    EXPECT_EQ(job.packageLoaded, 1);
    EXPECT_FALSE(Button(kUpdate)->isEnabled());
    EXPECT_EQ(Debug(), std::vector<std::string>{"Done the updrade!!\n"});
  });
  Tick();  // count reached, but the worker has not left its frame loop
  EXPECT_FALSE(seen.seen);
  EXPECT_EQ(job.portHandle.load(), port_);

  job.transferEnded.store(true, std::memory_order_release);
  Tick();
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.text, QStringLiteral(" Update Success\n"));
  EXPECT_EQ(seen.caption, testing::ProgramTitle());
  EXPECT_TRUE(Button(kUpdate)->isEnabled());
  EXPECT_TRUE(Button(kBrowse)->isEnabled());
  EXPECT_EQ(job.state.load(), job::JobState::Idle);
  EXPECT_EQ(job.progressCount.load(), 0u);
  EXPECT_EQ(PercentText(), QStringLiteral("0"));
  EXPECT_EQ(dialog_.ProgressBar().GetPos(), 0u);
  EXPECT_FALSE(job.packageFile.IsOpen());
  EXPECT_EQ(job.packageLoaded, 0);
  EXPECT_EQ(Debug(), (std::vector<std::string>{"Done the updrade!!\n", "Close File"}));
}

TEST_F(ProgressTest, EmptyImageShowsOneHundredAndCompletesOnceTheWorkerIsBack) {
  job::UpdateJob& job = job::TheUpdateJob();
  job.payloadChars = 0;
  job.progressCount = 4;
  Tick();
  EXPECT_EQ(PercentText(), QStringLiteral("100"));
  EXPECT_EQ(job.packageLoaded, 1);
  job.transferEnded = true;
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  Tick();
  EXPECT_EQ(seen.text, QStringLiteral(" Update Success\n"));
  EXPECT_EQ(job.packageLoaded, 0);
}

TEST_F(MainDialogTest, WorkerCallsReachTheDialogUntilItsWindowIsGone) {
  WorkerSurface& surface = TheWorkerSurface();
  std::atomic<bool> returned{false};
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen, [&] { EXPECT_FALSE(returned.load()); });
  std::thread worker([&] {
    surface.ShowOperatorMessage(job::kMsgNoRespond);
    surface.EnableUpdateButton(false);
    returned = true;
  });
  QTRY_VERIFY(returned.load());
  worker.join();
  EXPECT_EQ(seen.text, QStringLiteral(" No Respond\n Please Retry Again"));
  EXPECT_FALSE(Button(kUpdate)->isEnabled());

  dialog_.DestroyWindow();
  SeenMessageBox after;
  auto none = DismissNextMessageBox(after);
  std::thread late([&] { surface.ShowOperatorMessage(job::kMsgOpenComFailed); });
  late.join();  // returns at once, showing nothing
  QTest::qWait(20);
  EXPECT_FALSE(after.seen);
}

TEST(MainDialogStart, FailureToStartTheWorkerIsReportedAndUpdateStaysDisabled) {
  CUpdaterDialog dialog(nullptr, [](job::UpdateJob&, job::OperatorSurface&) { return false; });
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  ASSERT_TRUE(dialog.Create());
  EXPECT_EQ(seen.text, QString(kMsgServiceFailed));
  EXPECT_FALSE(dialog.ControlWidget(kUpdate)->isEnabled());
  EXPECT_TRUE(dialog.ControlWidget(kBrowse)->isEnabled());
}

}  // namespace
}  // namespace ui
