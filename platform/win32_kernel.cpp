#include "platform/win32_kernel.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/kernel_object_p.h"

namespace win {
namespace detail {
namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(mutex_);
    const HANDLE handle = nextHandle_++;
    objects_.emplace(handle, std::move(object));
    return handle;
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<KernelObject> Take(HANDLE handle) {
    std::lock_guard lock(mutex_);
    const auto it = objects_.find(handle);
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  std::mutex mutex_;
  HANDLE nextHandle_ = 1;
  std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects_;
};

// Never destroyed: objects still open at exit (a port with its I/O thread) are left to the end of
// the process instead of being torn down under threads that may still use them.
HandleTable& Table() {
  static auto* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  return Table().Add(std::move(object));
}
std::shared_ptr<KernelObject> FindObject(HANDLE handle) {
  return Table().Find(handle);
}
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle) {
  return Table().Take(handle);
}

BOOL Fail(DWORD error) {
  t_lastError = error;
  return FALSE;
}

std::shared_ptr<Event> Event::Make(bool manualReset, bool initialState) {
  const int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  return std::shared_ptr<Event>(new Event(fd, manualReset));
}

Event::~Event() {
  close(fd_);
}

void Event::Set() {
  const std::uint64_t one = 1;
  // Only fails when the counter is saturated, which leaves the event signalled anyway.
  [[maybe_unused]] const ssize_t ignored = write(fd_, &one, sizeof one);
}

void Event::Reset() {
  Consume();
}

bool Event::Consume() {
  std::uint64_t count = 0;
  return read(fd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

bool Event::Wait(platform::Millis ms) {
  const bool forever = ms < 0;
  const platform::Millis deadline = forever ? 0 : platform::ClockNow() + ms;
  for (;;) {
    const platform::Millis left =
        forever ? 0 : std::max<platform::Millis>(0, deadline - platform::ClockNow());
    pollfd fds{fd_, POLLIN, 0};
    const int ready = poll(&fds, 1, forever ? -1 : platform::RealTimeoutMs(left));
    if (ready > 0 && (manualReset_ || Consume())) return true;
    if (ready == 0 && !forever && left == 0) return false;
    if (ready < 0 && errno != EINTR) return false;
    // Interrupted, woken a little before the deadline, or another waiter took the signal.
  }
}

}  // namespace detail

DWORD GetLastError() {
  return detail::t_lastError;
}
void SetLastError(DWORD error) {
  detail::t_lastError = error;
}

HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) {
  auto event = detail::Event::Make(manualReset != FALSE, initialState != FALSE);
  if (!event) {
    detail::Fail(platform::WinErrorFromErrno(errno));
    return 0;
  }
  return detail::AddHandle(std::move(event));
}

BOOL SetEvent(HANDLE event) {
  const auto object = detail::FindAs<detail::Event>(event);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  object->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  const auto object = detail::FindAs<detail::Event>(event);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  object->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE event, DWORD milliseconds) {
  const auto object = detail::FindAs<detail::Event>(event);
  if (!object) {
    detail::Fail(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const platform::Millis ms = milliseconds == INFINITE ? -1 : platform::Millis{milliseconds};
  return object->Wait(ms) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL CloseHandle(HANDLE object) {
  const auto taken = detail::TakeHandle(object);
  if (!taken) return detail::Fail(ERROR_INVALID_HANDLE);
  taken->Close();
  return TRUE;
}

void Sleep(DWORD milliseconds) {
  platform::ClockSleep(platform::Millis{milliseconds});
}

}  // namespace win
