// The framework under a small dialog of its own: message-map dispatch, timers, the file-error
// box, the 32-bit progress bar, and calls from another thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QtTest/QTest>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "modal_helpers.h"
#include "platform/framework/dialog.h"
#include "platform/framework/ui_call_gate.h"

namespace ui {
namespace {

using namespace framework;
using testing::DismissNextMessageBox;
using testing::SeenMessageBox;

constexpr int kThrowButton = 100;
constexpr int kProgress = 101;

const std::array<ControlTemplate, 2> kControls = {{
    {kThrowButton, kButtonClass, "Throw", 4, 4, 40, 14, WS_CHILD | WS_VISIBLE | WS_TABSTOP},
    {kProgress, kProgressClass, "", 4, 24, 80, 10, WS_CHILD | WS_VISIBLE},
}};
const DialogTemplate kTemplate{1, "Probe",  "新細明體", 10, 100, 40, WS_POPUP | WS_CAPTION,
                               0, kControls};

class ProbeDialog : public CDialog {
 public:
  ProbeDialog() : CDialog(kTemplate) {}
  int ticks = 0;
  bool killOnTick = false;
  UINT_PTR lastTimer = 0;

 protected:
  bool OnWndMsg(const Message& message, LRESULT& result) override;

 private:
  void OnThrow() { throw platform::CFileException(EIO, "/packages/probe.pkg"); }
  void OnTimer(UINT_PTR id) {
    ++ticks;
    lastTimer = id;
    if (killOnTick) KillTimer(id);
  }
  static const MessageMapEntry<ProbeDialog> kMap[];
};

const MessageMapEntry<ProbeDialog> ProbeDialog::kMap[] = {
    OnBnClicked(kThrowButton, &ProbeDialog::OnThrow),
    OnWmTimer(&ProbeDialog::OnTimer),
};

bool ProbeDialog::OnWndMsg(const Message& message, LRESULT& result) {
  return DispatchMessageMap<ProbeDialog>(*this, kMap, message, result);
}

TEST(Framework, FileErrorThrownByAHandlerShowsTheStopIconBox) {
  ProbeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen);
  qobject_cast<QPushButton*>(dialog.ControlWidget(0))->click();
  ASSERT_TRUE(seen.seen);
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.caption, testing::ProgramTitle());
  EXPECT_TRUE(seen.text.contains(QStringLiteral("/packages/probe.pkg"))) << seen.text.toStdString();
  EXPECT_TRUE(dialog.Window()->isVisible());  // the handler ended, the dialog goes on
}

TEST(Framework, TimerTicksWithItsIdAndStopsForGoodWhenKilled) {
  ProbeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  dialog.SetTimer(7, 5);
  dialog.SetTimer(7, 5);  // replaces the first: one timer with id 7
  dialog.killOnTick = true;
  QTRY_COMPARE(dialog.ticks, 1);
  EXPECT_EQ(dialog.lastTimer, 7u);
  EXPECT_FALSE(dialog.KillTimer(7));  // nothing left under that id
  QTest::qWait(50);
  EXPECT_EQ(dialog.ticks, 1);
}

TEST(Framework, ProgressBarTakesTheWholeUnsignedRange) {
  ProbeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  CProgressCtrl progress;
  progress.Attach(dialog.ControlWidget(1));
  auto* bar = qobject_cast<QProgressBar*>(dialog.ControlWidget(1));
  progress.SetRange32(0, 0xFFFFFFFFu);
  progress.SetPos(0x80000000u);
  EXPECT_EQ(progress.GetPos(), 0x80000000u);
  EXPECT_NEAR(double(bar->value()) / bar->maximum(), 0.5, 1e-6);  // half way along
  progress.SetPos(0xFFFFFFFFu);
  EXPECT_EQ(bar->value(), bar->maximum());
  progress.SetRange32(0, 1000);
  EXPECT_EQ(progress.GetPos(), 1000u);  // the position follows a range that shrinks under it
  progress.SetPos(5000);                // beyond the end: the bar stands at its end
  EXPECT_EQ(bar->value(), 1000);
  EXPECT_EQ(progress.GetPos(), 1000u);
}

TEST(Framework, CallFromAnotherThreadRunsOnTheUiThreadAndHoldsTheCaller) {
  ProbeDialog dialog;
  ASSERT_TRUE(dialog.Create());
  UiCallGate gate;
  gate.Open(dialog.Window());
  std::atomic<bool> returned{false};
  SeenMessageBox seen;
  auto watch = DismissNextMessageBox(seen, [&] { EXPECT_FALSE(returned.load()); });
  std::thread caller([&] {
    gate.Run([&] { dialog.MessageBox("from the worker"); });
    returned = true;
  });
  QTRY_VERIFY(returned.load());
  caller.join();
  EXPECT_TRUE(seen.seen);
  EXPECT_EQ(seen.text, QStringLiteral("from the worker"));
}

TEST(Framework, CallsQueuedWhenTheWindowGoesAwayAreReleasedUnrun) {
  auto dialog = std::make_unique<ProbeDialog>();
  ASSERT_TRUE(dialog->Create());
  UiCallGate gate;
  gate.Open(dialog->Window());
  std::atomic<bool> ran{false};
  std::atomic<bool> queued{false};
  std::thread caller([&] {
    queued = true;
    EXPECT_FALSE(gate.Run([&] { ran = true; }));
  });
  while (!queued.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // let the call be queued
  dialog.reset();  // the UI thread never got to the call
  caller.join();
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(gate.Run([&] { ran = true; }));  // and later calls return at once
  EXPECT_FALSE(ran.load());
}

}  // namespace
}  // namespace ui
