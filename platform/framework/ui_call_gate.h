// Calls from other threads into a window, carried out on the UI thread. The caller waits until
// the call is done, so a message box still holds it until the operator dismisses it. Once the
// window is gone, calls return at once without running, and callers already waiting are let go.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace framework {

class UiCallGate {
 public:
  UiCallGate() = default;
  UiCallGate(const UiCallGate&) = delete;
  UiCallGate& operator=(const UiCallGate&) = delete;
  ~UiCallGate() { Close(); }

  // Opens the gate onto `window`, a UI-thread object; it closes by itself when that is destroyed.
  void Open(QObject* window);
  void Close();
  // Runs `call` on the window's thread (at once when that is the calling thread) and waits for
  // it. False, without running it, when the gate is closed or closes before the call's turn.
  bool Run(std::function<void()> call);

 private:
  struct Pending;
  void Execute(Pending& pending, std::uint64_t generation);

  std::mutex mutex_;
  std::condition_variable finished_;
  QObject* window_ = nullptr;
  std::uint64_t generation_ = 0;  // advances at each close
  QMetaObject::Connection closeOnDestroy_;
};

}  // namespace framework
