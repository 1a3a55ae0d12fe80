// Windows of the framework: the base window over a Qt widget, message boxes, the system menu,
// painting, and the controls that dialogs bind (static text, combo box, progress bar).
#pragma once

#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "platform/file.h"
#include "platform/framework/icon.h"
#include "platform/framework/types.h"

namespace framework {

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd() = default;

  // The widget behind the window, or null once it is gone.
  QWidget* GetSafeWidget() const { return widget_; }
  bool IsAttached() const { return !widget_.isNull(); }
  void Attach(QWidget* widget) { widget_ = widget; }

  BOOL EnableWindow(BOOL enable = TRUE);
  BOOL IsWindowEnabled() const;
  // Static text that does not fit its label makes the label grow (to the left when the text is
  // aligned right), so that no text is clipped.
  void SetWindowText(const char* text);
  CString GetWindowText() const;

  // A modal box with the text exactly as given, plain, with one OK button and no icon, owned by
  // this window; the caption is the application title unless one is given. Returns IDOK.
  int MessageBox(const char* text, const char* caption = nullptr, UINT type = MB_OK);

 protected:
  QPointer<QWidget> widget_;
};

// The framework's stop-icon box describing a file-layer error, owned by `owner`.
void ReportFileException(const platform::CFileException& error, QWidget* owner);

class CStatic : public CWnd {};

class CComboBox : public CWnd {
 public:
  // 0-based index of the selected item, CB_ERR when none is.
  int GetCurSel() const;
  int SetCurSel(int index);
  int GetCount() const;
  int AddString(const char* text);
};

// A progress bar with a 32-bit unsigned range and position; a position outside the range is
// kept at its nearest end. The bar draws in int steps, so values above INT_MAX are halved on
// their way to it.
class CProgressCtrl : public CWnd {
 public:
  void SetRange32(std::uint32_t lower, std::uint32_t upper);
  void GetRange(std::uint32_t& lower, std::uint32_t& upper) const;
  std::uint32_t SetPos(std::uint32_t position);  // returns the previous position
  std::uint32_t GetPos() const { return position_; }

 private:
  int Scaled(std::uint32_t value) const;
  std::uint32_t Clamped(std::uint32_t value) const;
  void Apply();
  std::uint32_t lower_ = 0;
  std::uint32_t upper_ = 100;
  std::uint32_t position_ = 0;
};

// A window's menu; the system menu of a dialog is one. Its commands reach the dialog's
// WM_SYSCOMMAND handling.
class CMenu {
 public:
  explicit CMenu(QMenu* menu) : menu_(menu) {}
  // MF_SEPARATOR, or MF_STRING with a command id and a text ("&" marks the access key).
  BOOL AppendMenu(UINT flags, UINT_PTR id = 0, const char* text = nullptr);
  QMenu* GetSafeMenu() const { return menu_; }

 private:
  QPointer<QMenu> menu_;
};

// Painting inside a WM_PAINT handler.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd* window);
  void DrawIcon(int x, int y, HICON icon);
  void FillSolidRect(const CRect& rect, const QColor& color);

 private:
  QPainter painter_;
};

}  // namespace framework
