// The main dialog: package file, port list, Update, progress; the operator surface of the job
// code; the worker thread behind it.
#pragma once

#include <functional>

#include "job/operator_surface.h"
#include "job/update_job.h"
#include "platform/framework/dialog.h"

namespace ui {

// Starts the worker thread with `surface`; false when it cannot be started.
using WorkerStarter = std::function<bool(job::UpdateJob& job, job::OperatorSurface& surface)>;
// Starts link::UpdateWorker on a detached thread, once per process: a later dialog reuses it.
bool StartUpdateWorker(job::UpdateJob& job, job::OperatorSurface& surface);

// Shown when the events or the worker thread cannot be created; Update then stays disabled.
inline constexpr const char* kMsgServiceFailed =
    " The update service could not be started\n Please Restart";

// Where a `cx` x `cy` icon goes to stand centred in `client` (quotients truncated toward zero).
framework::CPoint CenteredIconOrigin(const framework::CRect& client, int cx, int cy);

class CUpdaterDialog : public framework::CDialog, public job::OperatorSurface {
 public:
  explicit CUpdaterDialog(framework::CWnd* parent = nullptr,
                          WorkerStarter startWorker = StartUpdateWorker);
  ~CUpdaterDialog() override;

  void ShowOperatorMessage(const char* text) override;
  void EnableUpdateButton(bool enabled) override;
  void EnableBrowseButton(bool enabled) override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPosition(std::uint32_t position) override;
  void SetPercentText(const char* text) override;

  const framework::CString& FilePath() const { return filePath; }
  const framework::CProgressCtrl& ProgressBar() const { return progressBar; }

 protected:
  void DoDataExchange(framework::CDataExchange* dx) override;
  framework::BOOL OnInitDialog() override;
  bool OnWndMsg(const framework::Message& message, framework::LRESULT& result) override;

  void OnSysCommand(framework::UINT id, framework::LPARAM lParam);
  void OnPaint();
  framework::HICON OnQueryDragIcon();
  void OnBrowse();
  void OnUpdateFirmware();
  void OnTimer(framework::UINT_PTR timerId);
  void OnClose();

 private:
  bool StartUpdateService();
  void CompleteJob();

  static const framework::MessageMapEntry<CUpdaterDialog> kMessageMap[];

  framework::CStatic percentText;
  framework::CComboBox portCombo;
  framework::CProgressCtrl progressBar;
  framework::CString filePath;
  framework::HICON appIcon;

  WorkerStarter startWorker_;
  job::UpdateJob& job_;
};

}  // namespace ui
