#include "platform/framework/ui_call_gate.h"

#include <QThread>
#include <memory>

namespace framework {

struct UiCallGate::Pending {
  std::function<void()> call;
  bool finished = false;
};

void UiCallGate::Open(QObject* window) {
  Close();
  std::lock_guard lock(mutex_);
  window_ = window;
  closeOnDestroy_ = QObject::connect(window, &QObject::destroyed, [this] { Close(); });
}

void UiCallGate::Close() {
  {
    std::lock_guard lock(mutex_);
    if (window_ == nullptr) return;
    QObject::disconnect(closeOnDestroy_);
    window_ = nullptr;
    ++generation_;
  }
  finished_.notify_all();
}

bool UiCallGate::Run(std::function<void()> call) {
  std::unique_lock lock(mutex_);
  if (window_ == nullptr) return false;
  if (window_->thread() == QThread::currentThread()) {
    lock.unlock();
    call();
    return true;
  }
  auto pending = std::make_shared<Pending>();
  pending->call = std::move(call);
  const std::uint64_t generation = generation_;
  QMetaObject::invokeMethod(
      window_, [this, pending, generation] { Execute(*pending, generation); },
      Qt::QueuedConnection);
  finished_.wait(lock, [&] { return pending->finished || generation_ != generation; });
  return pending->finished;
}

void UiCallGate::Execute(Pending& pending, std::uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    if (generation_ != generation) return;
  }
  pending.call();
  {
    std::lock_guard lock(mutex_);
    pending.finished = true;
  }
  finished_.notify_all();
}

}  // namespace framework
