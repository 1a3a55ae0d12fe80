// Inside of the kernel-object layer: the handle table and the event object, shared by the event
// calls and the serial port.
#pragma once

#include <memory>

#include "platform/clock.h"
#include "platform/win32_types.h"

namespace win::detail {

// Anything a HANDLE can name. Close runs once, when CloseHandle takes the handle out of the
// table; callers that still hold the object keep it alive until they return.
class KernelObject {
 public:
  virtual ~KernelObject() = default;
  virtual void Close() {}
};

// Enters `object` in the process-wide table under a new handle value (never reused).
HANDLE AddHandle(std::shared_ptr<KernelObject> object);
// The object behind `handle`, or null when the handle is not (or no longer) in the table.
std::shared_ptr<KernelObject> FindObject(HANDLE handle);
// Removes `handle` from the table and returns its object, or null when it was not there.
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> FindAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindObject(handle));
}

// Sets the calling thread's last error and returns FALSE, the shape of every failing call.
BOOL Fail(DWORD error);

// An event on an eventfd: signalled while the counter is non-zero.
class Event final : public KernelObject {
 public:
  // Null when no eventfd could be made (errno tells why).
  static std::shared_ptr<Event> Make(bool manualReset, bool initialState);
  ~Event() override;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when signalled within `ms` of clock time (-1: no limit). An auto-reset event is reset by
  // the wait that sees it signalled.
  bool Wait(platform::Millis ms);

 private:
  Event(int fd, bool manualReset) : fd_(fd), manualReset_(manualReset) {}
  bool Consume();

  const int fd_;
  const bool manualReset_;
};

}  // namespace win::detail
