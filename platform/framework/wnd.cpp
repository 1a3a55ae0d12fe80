#include "platform/framework/wnd.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <climits>

#include "platform/framework/label_fit.h"
#include "platform/framework/win_app.h"

namespace framework {
namespace {

QString FromText(const char* text) {
  return QString::fromUtf8(text == nullptr ? "" : text);
}

int ShowBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text) {
  QMessageBox box(icon, caption, text, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
  return IDOK;
}

}  // namespace

int GetSystemMetrics(int index) {
  constexpr int kIconSize = 32;
  return index == SM_CXICON || index == SM_CYICON ? kIconSize : 0;
}

BOOL CWnd::EnableWindow(BOOL enable) {
  if (!widget_) return FALSE;
  const BOOL wasDisabled = widget_->isEnabled() ? FALSE : TRUE;
  widget_->setEnabled(enable != FALSE);
  return wasDisabled;
}

BOOL CWnd::IsWindowEnabled() const {
  return widget_ && widget_->isEnabled() ? TRUE : FALSE;
}

void CWnd::SetWindowText(const char* text) {
  if (!widget_) return;
  const QString value = FromText(text);
  if (auto* label = qobject_cast<QLabel*>(widget_)) {
    label->setText(value);
    GrowLabelToText(*label, label->width());
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget_)) {
    button->setText(value);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget_)) {
    edit->setText(value);
  } else if (widget_->isWindow()) {
    widget_->setWindowTitle(value);
  }
}

CString CWnd::GetWindowText() const {
  if (!widget_) return {};
  if (auto* label = qobject_cast<QLabel*>(widget_)) return label->text().toStdString();
  if (auto* button = qobject_cast<QAbstractButton*>(widget_)) return button->text().toStdString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget_)) return edit->text().toStdString();
  return widget_->windowTitle().toStdString();
}

int CWnd::MessageBox(const char* text, const char* caption, UINT /*type: MB_OK only*/) {
  const QString title =
      caption == nullptr ? QString::fromStdString(AfxGetAppTitle()) : FromText(caption);
  return ShowBox(widget_, QMessageBox::NoIcon, title, FromText(text));
}

void ReportFileException(const platform::CFileException& error, QWidget* owner) {
  ShowBox(owner, QMessageBox::Critical, QString::fromStdString(AfxGetAppTitle()),
          QString::fromUtf8(error.what()));
}

int CComboBox::GetCurSel() const {
  auto* combo = qobject_cast<QComboBox*>(widget_);
  return combo == nullptr || combo->currentIndex() < 0 ? CB_ERR : combo->currentIndex();
}

int CComboBox::SetCurSel(int index) {
  auto* combo = qobject_cast<QComboBox*>(widget_);
  if (combo == nullptr || index >= combo->count()) return CB_ERR;
  combo->setCurrentIndex(index < 0 ? -1 : index);
  return index < 0 ? CB_ERR : index;
}

int CComboBox::GetCount() const {
  auto* combo = qobject_cast<QComboBox*>(widget_);
  return combo == nullptr ? CB_ERR : combo->count();
}

int CComboBox::AddString(const char* text) {
  auto* combo = qobject_cast<QComboBox*>(widget_);
  if (combo == nullptr) return CB_ERR;
  const int selected = combo->currentIndex();
  combo->addItem(FromText(text));
  combo->setCurrentIndex(selected);  // adding an item never selects it
  return combo->count() - 1;
}

void CProgressCtrl::SetRange32(std::uint32_t lower, std::uint32_t upper) {
  lower_ = lower;
  upper_ = upper;
  Apply();
}

void CProgressCtrl::GetRange(std::uint32_t& lower, std::uint32_t& upper) const {
  lower = lower_;
  upper = upper_;
}

std::uint32_t CProgressCtrl::SetPos(std::uint32_t position) {
  const std::uint32_t previous = position_;
  position_ = position;
  Apply();
  return previous;
}

std::uint32_t CProgressCtrl::Clamped(std::uint32_t value) const {
  return value < lower_ ? lower_ : value > upper_ ? upper_ : value;
}

int CProgressCtrl::Scaled(std::uint32_t value) const {
  const bool halve = upper_ > static_cast<std::uint32_t>(INT_MAX);
  return static_cast<int>(halve ? value / 2 : value);
}

// A position outside the range stands at its nearest end, as the control keeps it.
void CProgressCtrl::Apply() {
  position_ = Clamped(position_);
  auto* bar = qobject_cast<QProgressBar*>(widget_);
  if (bar == nullptr) return;
  bar->setRange(Scaled(lower_), Scaled(upper_));
  bar->setValue(Scaled(position_));
}

BOOL CMenu::AppendMenu(UINT flags, UINT_PTR id, const char* text) {
  if (!menu_) return FALSE;
  if ((flags & MF_SEPARATOR) != 0) {
    menu_->addSeparator();
    return TRUE;
  }
  QAction* action = menu_->addAction(FromText(text));
  action->setData(QVariant::fromValue<qulonglong>(id));
  return TRUE;
}

CPaintDC::CPaintDC(CWnd* window) : painter_(window->GetSafeWidget()) {}

void CPaintDC::DrawIcon(int x, int y, HICON icon) {
  if (icon == nullptr) return;
  const int size = GetSystemMetrics(SM_CXICON);
  painter_.drawPixmap(x, y, icon->Picture(size));
}

void CPaintDC::FillSolidRect(const CRect& rect, const QColor& color) {
  painter_.fillRect(QRect(rect.left, rect.top, rect.Width(), rect.Height()), color);
}

}  // namespace framework
