// Dialogs built from templates: the window and its controls come from a DialogTemplate, messages
// go through the class's message map and then to the default dialog handling, and data exchange
// moves values between members and controls.
#pragma once

#include <QDialog>
#include <map>
#include <memory>
#include <vector>

#include "platform/framework/dialog_template.h"
#include "platform/framework/dialog_units.h"
#include "platform/framework/message_map.h"
#include "platform/framework/wnd.h"

namespace framework {

class CDialog;
class DialogWindow;

class CDataExchange {
 public:
  CDataExchange(CDialog& dialog, BOOL saveAndValidate)
      : m_pDlgWnd(&dialog), m_bSaveAndValidate(saveAndValidate) {}
  CDialog* m_pDlgWnd;
  BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
};

// Binds `control` to the dialog's control `id`; a control already bound stays as it is.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
// Moves the text of the control `id` to or from `value`.
void DDX_Text(CDataExchange* dx, int id, CString& value);

class CDialog : public CWnd {
 public:
  // Without a parent, the application's main window (when there is one) owns the dialog.
  explicit CDialog(const DialogTemplate& dialogTemplate, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the window, runs the initialisation, shows it and runs it modally until EndDialog;
  // the window is gone when it returns. The result is EndDialog's, or -1 when a window is open.
  virtual INT_PTR DoModal();
  // Creates the window, runs the initialisation and shows it, without a modal loop: EndDialog
  // then only hides it. For driving a dialog from a test's own event loop.
  BOOL Create();
  void DestroyWindow();
  void EndDialog(int result);

  BOOL UpdateData(BOOL saveAndValidate = TRUE);

  // The control `id` (the first with that id), or null.
  CWnd* GetDlgItem(int id);
  void SetDlgItemText(int id, const char* text);

  // Window timers: WM_TIMER with the id every `elapse` ms; the same id again replaces the timer.
  UINT_PTR SetTimer(UINT_PTR id, UINT elapse, void* callback = nullptr);
  BOOL KillTimer(UINT_PTR id);

  // The dialog's own system menu (Move, Close and what is appended); Alt+Space and a right click
  // on the dialog's background open it.
  CMenu* GetSystemMenu(BOOL revert);
  HICON SetIcon(HICON icon, BOOL bigIcon);
  BOOL IsIconic() const;
  void GetClientRect(CRect* rect) const;
  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

  // Message entry from the window: the message map, then the default handling. A file-layer
  // error thrown by a handler ends the handler and shows the framework's file-error box.
  LRESULT WindowProc(const Message& message);

  // For tests and automation: the window, and each control by its place in the template.
  QDialog* Window() const;
  QWidget* ControlWidget(std::size_t templateIndex) const;
  const DialogTemplate& Template() const { return template_; }
  const DialogUnits& Units() const;
  // EndDialog's result, once it has run.
  int Result() const { return result_; }

 protected:
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  virtual void DoDataExchange(CDataExchange* /*dx*/) {}
  // The class's message map; the default handles nothing.
  virtual bool OnWndMsg(const Message& /*message*/, LRESULT& /*result*/) { return false; }
  // The default handling of the message being handled.
  LRESULT Default();

 private:
  LRESULT DefWindowProc(const Message& message);
  void CreateWindowFromTemplate();
  QWidget* Owner() const;

  const DialogTemplate& template_;
  CWnd* parent_;
  std::unique_ptr<DialogWindow> window_;
  std::unique_ptr<CMenu> systemMenu_;
  std::map<int, std::unique_ptr<CWnd>> items_;
  std::vector<Message> handling_;
  int result_ = -1;
  bool ended_ = false;
};

}  // namespace framework
