#include "ui/updater_dialog.h"

#include <system_error>
#include <thread>

#include "job/package_loader.h"
#include "link/update_worker.h"
#include "platform/debug_output.h"
#include "platform/framework/file_dialog.h"
#include "platform/win32_kernel.h"
#include "ui/about_dialog.h"
#include "ui/resource.h"
#include "ui/resources.h"
#include "ui/worker_surface.h"

namespace ui {

using namespace framework;

namespace {

constexpr UINT kProgressPeriodMs = 1000;
constexpr win::DWORD kCompletionPauseMs = 2000;

// Percentage of `total` that `count` is, capped at 100; nothing to send counts as all sent.
std::string PercentText(std::uint32_t count, std::uint32_t total) {
  const std::uint64_t percent = total == 0 ? 100 : std::uint64_t{count} * 100 / total;
  return std::to_string(percent > 100 ? 100 : percent);
}

void ClosePort(job::UpdateJob& job) {
  const win::HANDLE port = job.portHandle.exchange(0, std::memory_order_acq_rel);
  if (port != 0) win::CloseHandle(port);
}

// A fresh unsignalled event for the record, once per process: the worker may hold the one
// made for an earlier dialog.
bool PrepareOverlapped(win::OVERLAPPED& overlapped) {
  overlapped.Offset = 0;
  overlapped.OffsetHigh = 0;
  if (overlapped.hEvent == 0) {
    overlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  }
  return overlapped.hEvent != 0;
}

}  // namespace

bool StartUpdateWorker(job::UpdateJob& job, job::OperatorSurface& surface) {
  static bool started = false;  // UI thread only
  if (started) return true;
  try {
    std::thread([&job, &surface] { devlink::UpdateWorker(job, surface); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  started = true;
  return true;
}

CPoint CenteredIconOrigin(const CRect& client, int cx, int cy) {
  return {(client.Width() - cx + 1) / 2, (client.Height() - cy + 1) / 2};
}

const MessageMapEntry<CUpdaterDialog> CUpdaterDialog::kMessageMap[] = {
    OnWmSysCommand(&CUpdaterDialog::OnSysCommand),
    OnWmPaint(&CUpdaterDialog::OnPaint),
    OnWmQueryDragIcon(&CUpdaterDialog::OnQueryDragIcon),
    OnBnClicked(IDC_BROWSE, &CUpdaterDialog::OnBrowse),
    OnBnClicked(IDC_UPDATE, &CUpdaterDialog::OnUpdateFirmware),
    OnWmTimer(&CUpdaterDialog::OnTimer),
    OnWmClose(&CUpdaterDialog::OnClose),
};

CUpdaterDialog::CUpdaterDialog(CWnd* parent, WorkerStarter startWorker)
    : CDialog(MainDialogTemplate(), parent),
      appIcon(LoadIcon(AppIconResource())),
      startWorker_(std::move(startWorker)),
      job_(job::TheUpdateJob()) {}

CUpdaterDialog::~CUpdaterDialog() {
  DestroyWindow();
}

bool CUpdaterDialog::OnWndMsg(const Message& message, LRESULT& result) {
  return DispatchMessageMap<CUpdaterDialog>(*this, kMessageMap, message, result);
}

void CUpdaterDialog::DoDataExchange(CDataExchange* dx) {
  DDX_Control(dx, IDC_PERCENT, percentText);
  DDX_Control(dx, IDC_COM_PORT, portCombo);
  DDX_Control(dx, IDC_PROGRESS, progressBar);
  DDX_Text(dx, IDC_FILE_PATH, filePath);
}

BOOL CUpdaterDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  if (CMenu* systemMenu = GetSystemMenu(FALSE)) {
    const CString about = LoadResourceString(IDS_ABOUT_MENU);
    if (!about.empty()) {
      systemMenu->AppendMenu(MF_SEPARATOR);
      systemMenu->AppendMenu(MF_STRING, ID_SYS_ABOUT, about.c_str());
    }
  }
  SetIcon(appIcon, TRUE);
  SetIcon(appIcon, FALSE);
  if (!StartUpdateService()) {
    ShowOperatorMessage(kMsgServiceFailed);
    EnableUpdateButton(false);
  }
  return TRUE;
}

bool CUpdaterDialog::StartUpdateService() {
  const bool eventsReady =
      PrepareOverlapped(job_.readOverlapped) && PrepareOverlapped(job_.writeOverlapped);
  job_.state.store(job::JobState::Idle, std::memory_order_release);
  job_.packageLoaded = 0;
  if (!eventsReady) return false;
  WorkerSurface& surface = TheWorkerSurface();
  surface.Attach(*this, Window());
  return startWorker_(job_, surface);
}

void CUpdaterDialog::OnSysCommand(UINT id, LPARAM /*lParam*/) {
  if ((id & 0xFFF0) == ID_SYS_ABOUT) {
    CAboutDialog about;
    about.DoModal();
  } else {
    Default();
  }
}

void CUpdaterDialog::OnPaint() {
  if (IsIconic() == FALSE) {
    Default();
    return;
  }
  CPaintDC dc(this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(&dc), 0);
  CRect client;
  GetClientRect(&client);
  const CPoint origin =
      CenteredIconOrigin(client, GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  dc.DrawIcon(origin.x, origin.y, appIcon);
}

HICON CUpdaterDialog::OnQueryDragIcon() {
  return appIcon;
}

void CUpdaterDialog::OnBrowse() {
  CFileDialog fileDialog(TRUE, nullptr, nullptr, OFN_HIDEREADONLY, nullptr, this);
  if (fileDialog.DoModal() != IDOK) return;
  filePath = fileDialog.GetPathName();
  UpdateData(FALSE);
}

void CUpdaterDialog::OnUpdateFirmware() {
  job::RunUpdateCommand(job_, filePath, portCombo.GetCurSel(), *this,
                        [this] { SetTimer(TIMER_PROGRESS, kProgressPeriodMs); });
}

void CUpdaterDialog::OnTimer(UINT_PTR /*timerId: every tick runs the whole display*/) {
  const std::uint32_t total = job_.payloadChars;
  const std::uint32_t count = job_.progressCount.load(std::memory_order_acquire);
  SetProgressPosition(count);
  SetPercentText(PercentText(count, total).c_str());
  // The worker must be out of the frame loop before the port is closed and the job reset.
  if (count >= total && job_.transferEnded.load(std::memory_order_acquire)) CompleteJob();
  Default();
}

void CUpdaterDialog::CompleteJob() {
  platform::OutputDebugStringA("Done the updrade!!\n");
  KillTimer(TIMER_PROGRESS);
  ClosePort(job_);
  ShowOperatorMessage(job::kMsgUpdateSuccess);
  win::Sleep(kCompletionPauseMs);
  EnableUpdateButton(true);
  EnableBrowseButton(true);
  job_.state.store(job::JobState::Idle, std::memory_order_release);
  job_.progressCount.store(0, std::memory_order_release);
  SetPercentText("0");
  SetProgressPosition(0);
  job_.packageFile.Close();
  platform::OutputDebugStringA("Close File");
  job_.packageLoaded = 0;
}

void CUpdaterDialog::OnClose() {
  ClosePort(job_);
  Default();
}

void CUpdaterDialog::ShowOperatorMessage(const char* text) {
  MessageBox(text, nullptr, MB_OK);
}

void CUpdaterDialog::EnableUpdateButton(bool enabled) {
  if (CWnd* button = GetDlgItem(IDC_UPDATE)) button->EnableWindow(enabled ? TRUE : FALSE);
}

void CUpdaterDialog::EnableBrowseButton(bool enabled) {
  if (CWnd* button = GetDlgItem(IDC_BROWSE)) button->EnableWindow(enabled ? TRUE : FALSE);
}

void CUpdaterDialog::SetProgressRange(std::uint32_t upper) {
  progressBar.SetRange32(0, upper);
}

void CUpdaterDialog::SetProgressPosition(std::uint32_t position) {
  progressBar.SetPos(position);
}

void CUpdaterDialog::SetPercentText(const char* text) {
  SetDlgItemText(IDC_PERCENT, text);
}

}  // namespace ui
