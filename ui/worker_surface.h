// The operator surface that the worker thread holds for the life of the process. Each call is
// carried out on the UI thread by the dialog it is attached to, and holds the worker until done;
// once that dialog's window is gone, calls return at once and touch nothing.
#pragma once

#include "job/operator_surface.h"
#include "platform/framework/ui_call_gate.h"

namespace ui {

class WorkerSurface : public job::OperatorSurface {
 public:
  // UI thread: from now on calls reach `dialog` (its window must exist).
  void Attach(job::OperatorSurface& dialog, QObject* window);

  void ShowOperatorMessage(const char* text) override;
  void EnableUpdateButton(bool enabled) override;
  void EnableBrowseButton(bool enabled) override;
  void SetProgressRange(std::uint32_t upper) override;
  void SetProgressPosition(std::uint32_t position) override;
  void SetPercentText(const char* text) override;

 private:
  void Forward(const std::function<void(job::OperatorSurface&)>& call);

  framework::UiCallGate gate_;
  job::OperatorSurface* dialog_ = nullptr;  // used on the UI thread only, while the gate is open
};

// The process's one instance; never destroyed, since the worker outlives every dialog.
WorkerSurface& TheWorkerSurface();

}  // namespace ui
