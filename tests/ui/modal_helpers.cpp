#include "modal_helpers.h"

#include <QAbstractButton>
#include <QApplication>

#include "platform/framework/win_app.h"

namespace ui::testing {

std::unique_ptr<QTimer> OnNextModal(const std::function<bool(QWidget*)>& matches,
                                    std::function<void(QWidget*)> action) {
  auto timer = std::make_unique<QTimer>();
  timer->setInterval(5);
  QTimer* raw = timer.get();
  QObject::connect(raw, &QTimer::timeout, raw, [raw, matches, action] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || !modal->isVisible() || !matches(modal)) return;
    raw->stop();
    action(modal);
  });
  timer->start();
  return timer;
}

std::unique_ptr<QTimer> DismissNextMessageBox(SeenMessageBox& seen,
                                              std::function<void()> whileShown) {
  return OnNextModal<QMessageBox>([&seen, whileShown](QMessageBox* box) {
    seen.seen = true;
    seen.caption = box->windowTitle();
    seen.text = box->text();
    seen.icon = box->icon();
    seen.format = box->textFormat();
    seen.buttonCount = static_cast<int>(box->buttons().size());
    if (whileShown) whileShown();
    box->button(QMessageBox::Ok)->click();
  });
}

QString ProgramTitle() {
  return QString::fromStdString(framework::ExecutableTitle());
}

}  // namespace ui::testing
