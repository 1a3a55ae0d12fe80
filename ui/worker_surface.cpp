#include "ui/worker_surface.h"

#include <string>

namespace ui {

void WorkerSurface::Attach(job::OperatorSurface& dialog, QObject* window) {
  dialog_ = &dialog;
  gate_.Open(window);
}

void WorkerSurface::Forward(const std::function<void(job::OperatorSurface&)>& call) {
  gate_.Run([this, call] { call(*dialog_); });
}

void WorkerSurface::ShowOperatorMessage(const char* text) {
  Forward(
      [copy = std::string(text)](job::OperatorSurface& s) { s.ShowOperatorMessage(copy.c_str()); });
}

void WorkerSurface::EnableUpdateButton(bool enabled) {
  Forward([enabled](job::OperatorSurface& s) { s.EnableUpdateButton(enabled); });
}

void WorkerSurface::EnableBrowseButton(bool enabled) {
  Forward([enabled](job::OperatorSurface& s) { s.EnableBrowseButton(enabled); });
}

void WorkerSurface::SetProgressRange(std::uint32_t upper) {
  Forward([upper](job::OperatorSurface& s) { s.SetProgressRange(upper); });
}

void WorkerSurface::SetProgressPosition(std::uint32_t position) {
  Forward([position](job::OperatorSurface& s) { s.SetProgressPosition(position); });
}

void WorkerSurface::SetPercentText(const char* text) {
  Forward([copy = std::string(text)](job::OperatorSurface& s) { s.SetPercentText(copy.c_str()); });
}

WorkerSurface& TheWorkerSurface() {
  static WorkerSurface* const surface = new WorkerSurface;
  return *surface;
}

}  // namespace ui
