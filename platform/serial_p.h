// Inside of the serial layer: one open port, its pending overlapped transfers and the I/O thread
// that carries them on.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/kernel_object_p.h"
#include "platform/win32_types.h"

namespace win::detail {

// One overlapped read or write under way. Its bytes move only while the port's mutex is held, so
// whoever removes it under that mutex knows its buffer is no longer touched.
struct Transfer {
  OVERLAPPED* record = nullptr;
  std::shared_ptr<Event> event;
  bool isRead = true;
  unsigned char* into = nullptr;
  const unsigned char* from = nullptr;
  DWORD length = 0;
  DWORD done = 0;
  platform::Millis totalDeadline = 0;
  platform::Millis interval = 0;  // 0: no interval time-out
  platform::Millis lastByteAt = 0;
  bool endOnFirstByte = false;

  bool Finished(platform::Millis now) const;
  platform::Millis NextDeadline() const;
};

// Tests only: the next `count` reads of the line, on any port, fail with `error` (an errno value)
// without reaching the device.
void FailNextLineReads(int error, int count);

class SerialPort final : public KernelObject {
 public:
  // Opens and configures the device at `path`; null with the Windows error in `error`.
  static std::shared_ptr<SerialPort> Open(const std::string& path, DWORD& error);
  ~SerialPort() override;
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Ends every transfer (aborted), stops the I/O thread and releases the device.
  void Close() override;

  BOOL GetState(DCB& dcb);
  BOOL SetState(const DCB& dcb);
  BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
  BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
  BOOL ClearError(COMSTAT* status);
  BOOL Purge(DWORD flags);
  BOOL Read(void* buffer, DWORD length, DWORD* read, OVERLAPPED& record,
            std::shared_ptr<Event> event);
  BOOL Write(const void* data, DWORD length, DWORD* written, OVERLAPPED& record,
             std::shared_ptr<Event> event);
  // Returns once no transfer of this port uses `record` any more.
  void AwaitEnd(const OVERLAPPED& record);
  BOOL Cancel(const OVERLAPPED* record);

 private:
  SerialPort(int fd, int wake);
  bool StartIo();

  bool Uses(const OVERLAPPED& record, bool reads, bool writes) const;
  bool AbortWhere(std::deque<Transfer>& queue, const OVERLAPPED* record);
  BOOL Begin(std::deque<Transfer>& queue, Transfer transfer, DWORD* count);
  int Move(Transfer& transfer, bool hungUp);
  int MoveIn(Transfer& transfer, bool hungUp);
  int MoveOut(Transfer& transfer, bool hungUp);
  bool CompletesAtOnce(const Transfer& transfer) const;
  void Finish(Transfer& transfer, DWORD error);
  void Service(std::deque<Transfer>& queue, short revents);
  platform::Millis NextDeadline() const;
  void IoLoop();
  void Wake();
  void DrainWake();

  int fd_;          // guarded by mutex_; -1 once closed
  const int wake_;  // wakes the I/O thread from poll()
  std::mutex mutex_;
  std::condition_variable changed_;  // a transfer ended, or the port closed
  bool closed_ = false;              // guarded by mutex_
  COMMTIMEOUTS timeouts_{};          // guarded by mutex_
  std::deque<Transfer> reads_;       // guarded by mutex_; the front one is being served
  std::deque<Transfer> writes_;      // guarded by mutex_; the front one is being served
  std::thread ioThread_;
};

}  // namespace win::detail
