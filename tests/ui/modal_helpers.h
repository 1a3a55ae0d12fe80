// Finding the modal windows a test has caused (message boxes, the About box, the file dialog)
// as the operator would see them, and dismissing them.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace ui::testing {

// What a message box showed.
struct SeenMessageBox {
  bool seen = false;
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  Qt::TextFormat format = Qt::AutoText;
  int buttonCount = 0;
};

// Runs `action` on the next active modal widget of type T (the poll runs inside whatever modal
// loop is then running). The returned object stops waiting when destroyed.
std::unique_ptr<QTimer> OnNextModal(const std::function<bool(QWidget*)>& matches,
                                    std::function<void(QWidget*)> action);

template <class T>
std::unique_ptr<QTimer> OnNextModal(std::function<void(T*)> action) {
  return OnNextModal([](QWidget* w) { return qobject_cast<T*>(w) != nullptr; },
                     [action](QWidget* w) { action(qobject_cast<T*>(w)); });
}

// Records the next message box into `seen`, runs `whileShown` if given, then presses its OK.
std::unique_ptr<QTimer> DismissNextMessageBox(SeenMessageBox& seen,
                                              std::function<void()> whileShown = {});

// The application title that boxes carry: this test program's file name.
QString ProgramTitle();

}  // namespace ui::testing
