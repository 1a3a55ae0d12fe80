#include "platform/framework/dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QWindow>
#include <algorithm>
#include <cstring>

#include "platform/framework/label_fit.h"
#include "platform/framework/win_app.h"

namespace framework {

bool EntryMatches(UINT message, UINT notifyCode, int controlId, const Message& m) {
  if (message != m.message) return false;
  if (message != WM_COMMAND) return true;
  const auto id = static_cast<int>(m.wParam & 0xFFFF);
  const auto code = static_cast<UINT>((m.wParam >> 16) & 0xFFFF);
  return id == (controlId & 0xFFFF) && code == notifyCode;
}

namespace {

bool IsClass(const ControlTemplate& control, const char* className) {
  return std::strcmp(control.className, className) == 0;
}

bool IsTextStatic(const ControlTemplate& control) {
  return IsClass(control, kStaticClass) && (control.style & SS_TYPEMASK) != SS_ICON;
}

bool IsIconStatic(const ControlTemplate& control) {
  return IsClass(control, kStaticClass) && (control.style & SS_TYPEMASK) == SS_ICON;
}

// What a screen reader calls the control: a static text standing right before a control without
// a caption of its own names it; buttons and statics carry their own text; an icon its name.
QString AccessibleName(const ControlTemplate& control, const ControlTemplate* previous) {
  if (IsIconStatic(control)) return QString::fromUtf8(control.icon ? control.icon->name : "");
  const bool ownCaption = IsTextStatic(control) || IsClass(control, kButtonClass);
  if (!ownCaption && previous != nullptr && IsTextStatic(*previous) && *previous->text != '\0') {
    return QString::fromUtf8(previous->text).remove(QLatin1Char('&'));
  }
  return QString::fromUtf8(control.text).remove(QLatin1Char('&'));
}

constexpr int kComboDroppedItemsMinimum = 1;

// The dialogs handling a message, innermost last: a dialog opened from a handler with no owner
// of its own belongs to the one whose handler opened it.
std::vector<CDialog*>& DialogsHandling() {
  static std::vector<CDialog*> dialogs;
  return dialogs;
}

}  // namespace

// The Qt window of a template dialog: builds the controls and turns Qt's events into the
// dialog's messages.
class DialogWindow : public QDialog {
 public:
  DialogWindow(CDialog& dialog, const DialogTemplate& dialogTemplate, QWidget* owner)
      : QDialog(owner), dialog_(dialog), units_(DialogFont(dialogTemplate)) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    setFont(DialogFont(dialogTemplate));
    setFixedSize(units_.X(dialogTemplate.width), units_.Y(dialogTemplate.height));
    BuildSystemMenu();
    BuildControls(dialogTemplate);
  }

  const DialogUnits& units() const { return units_; }
  QMenu* systemMenu() const { return systemMenu_; }
  QWidget* control(std::size_t index) const {
    return index < controls_.size() ? controls_[index].data() : nullptr;
  }

  void StartTimer(UINT_PTR id, UINT elapse) {
    StopTimer(id);
    timers_[id] = startTimer(static_cast<int>(std::min<UINT>(elapse, INT32_MAX)));
  }
  bool StopTimer(UINT_PTR id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return false;
    killTimer(found->second);
    timers_.erase(found);
    return true;
  }

  void ShowSystemMenu(const QPoint& globalPosition) { systemMenu_->popup(globalPosition); }
  void MarkEnding() { ending_ = true; }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (!HandleKey(*event)) QDialog::keyPressEvent(event);
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress && HandleKey(*static_cast<QKeyEvent*>(event))) {
      return true;
    }
    return QDialog::eventFilter(watched, event);
  }

  void closeEvent(QCloseEvent* event) override {
    if (ending_) {
      event->accept();
      return;
    }
    event->ignore();
    dialog_.WindowProc({WM_CLOSE, 0, 0});
  }

  void timerEvent(QTimerEvent* event) override {
    const auto found = std::find_if(timers_.begin(), timers_.end(), [&](const auto& timer) {
      return timer.second == event->timerId();
    });
    if (found == timers_.end()) return QDialog::timerEvent(event);
    dialog_.WindowProc({WM_TIMER, found->first, 0});
  }

  void paintEvent(QPaintEvent* /*event*/) override { dialog_.WindowProc({WM_PAINT, 0, 0}); }

  void contextMenuEvent(QContextMenuEvent* event) override {
    QWidget* under = childAt(event->pos());
    if (under == nullptr || qobject_cast<QLabel*>(under) != nullptr) {
      ShowSystemMenu(event->globalPos());
    }
  }

 private:
  void Command(int id) { dialog_.WindowProc({WM_COMMAND, MakeCommandParam(id, BN_CLICKED), 0}); }

  // Escape cancels; Enter clicks the push button that has the focus and anywhere else issues the
  // default button's command (IDOK when there is none); Alt+Space opens the system menu and
  // Alt+F4 closes, as the window manager's would.
  bool HandleKey(const QKeyEvent& event) {
    const auto modifiers = event.modifiers() & ~Qt::KeypadModifier;
    if (modifiers == Qt::AltModifier && event.key() == Qt::Key_Space) {
      ShowSystemMenu(mapToGlobal(QPoint(0, 0)));
      return true;
    }
    if (modifiers == Qt::AltModifier && event.key() == Qt::Key_F4) {
      dialog_.WindowProc({WM_SYSCOMMAND, SC_CLOSE, 0});
      return true;
    }
    if (modifiers != Qt::NoModifier) return false;
    if (event.key() == Qt::Key_Escape) {
      Command(IDCANCEL);
      return true;
    }
    if (event.key() == Qt::Key_Return || event.key() == Qt::Key_Enter) {
      if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
      } else {
        Command(defaultCommand_);
      }
      return true;
    }
    return false;
  }

  void BuildSystemMenu() {
    systemMenu_ = new QMenu(this);
    systemMenu_->addAction(tr("&Move"))->setData(QVariant::fromValue<qulonglong>(SC_MOVE));
    systemMenu_->addAction(tr("&Close"))->setData(QVariant::fromValue<qulonglong>(SC_CLOSE));
    connect(systemMenu_, &QMenu::triggered, this, [this](QAction* action) {
      dialog_.WindowProc({WM_SYSCOMMAND, static_cast<WPARAM>(action->data().toULongLong()), 0});
    });
  }

  void BuildControls(const DialogTemplate& dialogTemplate) {
    const ControlTemplate* previous = nullptr;
    QWidget* previousWidget = nullptr;
    for (const ControlTemplate& control : dialogTemplate.controls) {
      QWidget* widget = CreateControl(control);
      widget->setObjectName(control.id == IDC_STATIC
                                ? QStringLiteral("static%1").arg(controls_.size())
                                : QString::number(control.id));
      widget->setAccessibleName(AccessibleName(control, previous));
      if (auto* label = qobject_cast<QLabel*>(previousWidget);
          label != nullptr && previous != nullptr && IsTextStatic(*previous) &&
          !IsTextStatic(control)) {
        label->setBuddy(widget);
      }
      widget->setEnabled((control.style & WS_DISABLED) == 0);
      if ((control.style & WS_VISIBLE) == 0) widget->hide();
      widget->installEventFilter(this);
      if (previousWidget != nullptr) setTabOrder(previousWidget, widget);
      controls_.emplace_back(widget);
      previous = &control;
      previousWidget = widget;
    }
  }

  QWidget* CreateControl(const ControlTemplate& control) {
    const QRect area = units_.Rect(control.x, control.y, control.width, control.height);
    if (IsClass(control, kStaticClass)) return CreateStatic(control, area);
    if (IsClass(control, kEditClass)) return CreateEdit(control, area);
    if (IsClass(control, kButtonClass)) return CreateButton(control, area);
    if (IsClass(control, kComboBoxClass)) return CreateComboBox(control, area);
    return CreateProgress(area);
  }

  QWidget* CreateStatic(const ControlTemplate& control, const QRect& area) {
    auto* label = new QLabel(this);
    label->setFocusPolicy(Qt::NoFocus);
    if (IsIconStatic(control)) {
      // An icon static takes the size of the icon, whatever the template says.
      const int size = GetSystemMetrics(SM_CXICON);
      if (control.icon != nullptr) label->setPixmap(LoadIcon(*control.icon)->Picture(size));
      label->setGeometry(QRect(area.topLeft(), QSize(size, size)));
      return label;
    }
    label->setTextFormat(Qt::PlainText);
    label->setText(QString::fromUtf8(control.text));
    const bool right = (control.exStyle & WS_EX_RIGHT) != 0;
    label->setAlignment((right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignTop);
    label->setGeometry(area);
    GrowLabelToText(*label, area.width());
    return label;
  }

  QWidget* CreateEdit(const ControlTemplate& control, const QRect& area) {
    auto* edit = new QLineEdit(QString::fromUtf8(control.text), this);
    edit->setFrame((control.style & WS_BORDER) != 0);
    SetTabStop(*edit, control);
    edit->setGeometry(area);
    return edit;
  }

  QWidget* CreateButton(const ControlTemplate& control, const QRect& area) {
    auto* button = new QPushButton(QString::fromUtf8(control.text), this);
    const bool isDefault = (control.style & 0xF) == BS_DEFPUSHBUTTON;
    button->setAutoDefault(false);
    button->setDefault(isDefault);
    if (isDefault) defaultCommand_ = control.id;
    SetTabStop(*button, control);
    button->setGeometry(area);
    connect(button, &QPushButton::clicked, this, [this, id = control.id] { Command(id); });
    return button;
  }

  QWidget* CreateComboBox(const ControlTemplate& control, const QRect& area) {
    auto* combo = new QComboBox(this);
    combo->setEditable(false);
    SetTabStop(*combo, control);
    // The template's height is the dropped-down list's; the closed box is as tall as the style
    // draws it at the dialog's font.
    const int closedHeight = combo->sizeHint().height();
    const int itemHeight = combo->fontMetrics().height() + 2;
    combo->setMaxVisibleItems(
        std::max(kComboDroppedItemsMinimum, (area.height() - closedHeight) / itemHeight));
    combo->setGeometry(QRect(area.topLeft(), QSize(area.width(), closedHeight)));
    return combo;
  }

  QWidget* CreateProgress(const QRect& area) {
    auto* bar = new QProgressBar(this);
    bar->setTextVisible(false);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setFocusPolicy(Qt::NoFocus);
    bar->setGeometry(area);
    return bar;
  }

  static void SetTabStop(QWidget& widget, const ControlTemplate& control) {
    widget.setFocusPolicy((control.style & WS_TABSTOP) != 0 ? Qt::StrongFocus : Qt::ClickFocus);
  }

  CDialog& dialog_;
  DialogUnits units_;
  QMenu* systemMenu_ = nullptr;
  std::vector<QPointer<QWidget>> controls_;
  std::map<UINT_PTR, int> timers_;
  int defaultCommand_ = IDOK;
  bool ending_ = false;
};

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.IsAttached()) return;
  if (CWnd* item = dx->m_pDlgWnd->GetDlgItem(id)) control.Attach(item->GetSafeWidget());
}

void DDX_Text(CDataExchange* dx, int id, CString& value) {
  CWnd* item = dx->m_pDlgWnd->GetDlgItem(id);
  if (item == nullptr) return;
  if (dx->m_bSaveAndValidate != FALSE) {
    value = item->GetWindowText();
  } else {
    item->SetWindowText(value.c_str());
  }
}

CDialog::CDialog(const DialogTemplate& dialogTemplate, CWnd* parent)
    : template_(dialogTemplate), parent_(parent) {}

CDialog::~CDialog() {
  DestroyWindow();
}

INT_PTR CDialog::DoModal() {
  if (window_) return -1;
  CreateWindowFromTemplate();
  window_->setWindowModality(Qt::ApplicationModal);
  if (Create() != FALSE && !ended_) window_->exec();
  const int result = result_;
  DestroyWindow();
  return result;
}

BOOL CDialog::Create() {
  if (!window_) CreateWindowFromTemplate();
  const LRESULT focusFirst = WindowProc({WM_INITDIALOG, 0, 0});
  if (!window_) return FALSE;
  if (ended_) return TRUE;
  if (focusFirst != FALSE) {
    const auto first = std::find_if(template_.controls.begin(), template_.controls.end(),
                                    [](const ControlTemplate& c) { return c.style & WS_TABSTOP; });
    if (first != template_.controls.end()) {
      ControlWidget(std::size_t(first - template_.controls.begin()))->setFocus();
    }
  }
  window_->show();
  return TRUE;
}

void CDialog::CreateWindowFromTemplate() {
  result_ = -1;
  ended_ = false;
  window_ = std::make_unique<DialogWindow>(*this, template_, Owner());
  widget_ = window_.get();
  systemMenu_ = std::make_unique<CMenu>(window_->systemMenu());
}

void CDialog::DestroyWindow() {
  if (!window_) return;
  if (CWinApp* app = AfxGetApp(); app != nullptr && app->m_pMainWnd == this) {
    app->m_pMainWnd = nullptr;
  }
  systemMenu_.reset();
  items_.clear();
  window_.reset();
}

void CDialog::EndDialog(int result) {
  result_ = result;
  ended_ = true;
  if (!window_) return;
  window_->MarkEnding();
  // A box still open over the dialog (the worker's failure message, say) ends with it: its own
  // loop would otherwise keep the dialog's loop, and the program, from ending.
  for (QDialog* owned : window_->findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) {
    if (owned->isVisible()) owned->done(QDialog::Rejected);
  }
  window_->done(result);
}

QWidget* CDialog::Owner() const {
  if (parent_ != nullptr) return parent_->GetSafeWidget();
  CWinApp* app = AfxGetApp();
  if (app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this) {
    return app->m_pMainWnd->GetSafeWidget();
  }
  const auto& handling = DialogsHandling();
  const auto opener = std::find_if(handling.rbegin(), handling.rend(),
                                   [this](CDialog* d) { return d != this && d->Window(); });
  return opener == handling.rend() ? nullptr : (*opener)->Window();
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange dx(*this, saveAndValidate);
  DoDataExchange(&dx);
  return TRUE;
}

CWnd* CDialog::GetDlgItem(int id) {
  if (!window_) return nullptr;
  const auto& controls = template_.controls;
  const auto found = std::find_if(controls.begin(), controls.end(),
                                  [id](const ControlTemplate& c) { return c.id == id; });
  if (found == controls.end()) return nullptr;
  auto& item = items_[id];
  if (!item) item = std::make_unique<CWnd>();
  item->Attach(ControlWidget(std::size_t(found - controls.begin())));
  return item.get();
}

void CDialog::SetDlgItemText(int id, const char* text) {
  if (CWnd* item = GetDlgItem(id)) item->SetWindowText(text);
}

UINT_PTR CDialog::SetTimer(UINT_PTR id, UINT elapse, void* /*callback: none used*/) {
  if (!window_) return 0;
  window_->StartTimer(id, elapse);
  return id;
}

BOOL CDialog::KillTimer(UINT_PTR id) {
  return window_ && window_->StopTimer(id) ? TRUE : FALSE;
}

CMenu* CDialog::GetSystemMenu(BOOL /*revert*/) {
  return systemMenu_.get();
}

HICON CDialog::SetIcon(HICON icon, BOOL bigIcon) {
  return reinterpret_cast<HICON>(
      SendMessage(WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon)));
}

BOOL CDialog::IsIconic() const {
  return window_ && window_->isMinimized() ? TRUE : FALSE;
}

void CDialog::GetClientRect(CRect* rect) const {
  *rect = {};
  if (window_) *rect = {0, 0, window_->width(), window_->height()};
}

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return WindowProc({message, wParam, lParam});
}

LRESULT CDialog::WindowProc(const Message& message) {
  struct Handling {
    std::vector<Message>& messages;
    ~Handling() {
      messages.pop_back();
      DialogsHandling().pop_back();
    }
  };
  handling_.push_back(message);
  DialogsHandling().push_back(this);
  Handling popOnExit{handling_};
  LRESULT result = 0;
  try {
    if (!OnWndMsg(message, result)) result = DefWindowProc(message);
  } catch (const platform::CFileException& error) {
    ReportFileException(error, window_.get());
  }
  return result;
}

LRESULT CDialog::Default() {
  return handling_.empty() ? 0 : DefWindowProc(handling_.back());
}

LRESULT CDialog::DefWindowProc(const Message& message) {
  switch (message.message) {
    case WM_INITDIALOG:
      return OnInitDialog();
    case WM_COMMAND: {
      const auto id = static_cast<int>(message.wParam & 0xFFFF);
      if (id == IDOK) OnOK();
      if (id == IDCANCEL) OnCancel();
      return 0;
    }
    case WM_CLOSE:
      // The dialog manager turns a close request into Cancel.
      return SendMessage(WM_COMMAND, MakeCommandParam(IDCANCEL, BN_CLICKED));
    case WM_SYSCOMMAND:
      if ((message.wParam & 0xFFF0) == SC_CLOSE) return SendMessage(WM_CLOSE);
      if ((message.wParam & 0xFFF0) == SC_MOVE && window_ && window_->windowHandle()) {
        window_->windowHandle()->startSystemMove();
      }
      return 0;
    case WM_SETICON:
      if (window_ && message.lParam != 0) {
        window_->setWindowIcon(reinterpret_cast<HICON>(message.lParam)->icon());
      }
      return 0;
    case WM_ICONERASEBKGND: {
      CRect client;
      GetClientRect(&client);
      reinterpret_cast<CPaintDC*>(message.wParam)
          ->FillSolidRect(client, window_->palette().color(QPalette::Window));
      return 1;
    }
    default:
      return 0;
  }
}

BOOL CDialog::OnInitDialog() {
  for (std::size_t index = 0; index < template_.controls.size(); ++index) {
    const ControlTemplate& control = template_.controls[index];
    if (control.initItems.empty()) continue;
    CComboBox combo;
    combo.Attach(ControlWidget(index));
    for (const char* item : control.initItems) combo.AddString(item);
  }
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  if (UpdateData(TRUE) != FALSE) EndDialog(IDOK);
}

void CDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

QDialog* CDialog::Window() const {
  return window_.get();
}

QWidget* CDialog::ControlWidget(std::size_t templateIndex) const {
  return window_ ? window_->control(templateIndex) : nullptr;
}

const DialogUnits& CDialog::Units() const {
  return window_->units();
}

}  // namespace framework
