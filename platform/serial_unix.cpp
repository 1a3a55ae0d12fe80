#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/serial_p.h"

namespace win {
namespace detail {
namespace {

using platform::ClockNow;
using platform::Millis;

constexpr Millis kNever = std::numeric_limits<Millis>::max();

std::atomic<int> g_failingReads{0};
std::atomic<int> g_readFailure{0};

// The injected failure, or 0 when the read goes to the device.
int InjectedReadFailure() {
  int left = g_failingReads.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_failingReads.compare_exchange_weak(left, left - 1, std::memory_order_acquire)) {
      return g_readFailure.load(std::memory_order_relaxed);
    }
  }
  return 0;
}

struct SpeedCode {
  DWORD rate;
  speed_t code;
};

constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

std::optional<speed_t> SpeedCodeFor(DWORD rate) {
  for (const auto& speed : kSpeeds) {
    if (speed.rate == rate) return speed.code;
  }
  return std::nullopt;
}

DWORD RateOf(speed_t code) {
  for (const auto& speed : kSpeeds) {
    if (speed.code == code) return speed.rate;
  }
  return 0;
}

constexpr tcflag_t kCharacterSizes[] = {CS5, CS6, CS7, CS8};
constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CSTOPB;

// The c_cflag framing bits for the DCB's byte size, parity and stop bits.
std::optional<tcflag_t> FramingOf(const DCB& dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return std::nullopt;
  tcflag_t bits = kCharacterSizes[dcb.ByteSize - 5];
  switch (dcb.Parity) {
    case NOPARITY:
      break;
    case ODDPARITY:
      bits |= PARENB | PARODD;
      break;
    case EVENPARITY:
      bits |= PARENB;
      break;
    default:
      return std::nullopt;
  }
  switch (dcb.StopBits) {
    case ONESTOPBIT:
      break;
    case TWOSTOPBITS:
      bits |= CSTOPB;
      break;
    default:
      return std::nullopt;
  }
  return bits;
}

DCB DcbOf(const termios& settings) {
  DCB dcb;
  dcb.BaudRate = RateOf(cfgetospeed(&settings));
  const tcflag_t size = settings.c_cflag & CSIZE;
  for (BYTE bits = 5; bits <= 8; ++bits) {
    if (kCharacterSizes[bits - 5] == size) dcb.ByteSize = bits;
  }
  if ((settings.c_cflag & PARENB) == 0) {
    dcb.Parity = NOPARITY;
  } else {
    dcb.Parity = (settings.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
  }
  dcb.StopBits = (settings.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
  return dcb;
}

// Raw bytes both ways, receiver on, modem lines ignored, no flow control of either kind. VMIN 1
// makes a non-blocking read with nothing there fail with EAGAIN; with VMIN 0 it would return 0,
// which could not be told from a hang-up. The descriptor never blocks: the time-outs are ours.
void MakeRaw(termios& settings) {
  cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cflag &= ~CRTSCTS;
  settings.c_iflag &= ~(IXON | IXOFF | IXANY);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

// Returns 0 or the errno of the step that failed.
int ApplyRaw(int fd) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return errno;
  MakeRaw(settings);
  return tcsetattr(fd, TCSANOW, &settings) == 0 ? 0 : errno;
}

// The driver's fast path for small transfers; a pseudo-terminal refuses it, which is fine.
void TryLowLatency(int fd) {
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  ioctl(fd, TIOCSSERIAL, &serial);
}

// Returns 0 or the errno that keeps the port from being ours.
int TakePort(int fd) {
  if (!isatty(fd)) return errno;
  // Root ignores TIOCEXCL, not flock: the lock is what keeps a second updater out.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno;
  if (ioctl(fd, TIOCEXCL) != 0) return errno;
  return ApplyRaw(fd);
}

Millis TotalDeadline(Millis now, DWORD multiplier, DWORD constant, DWORD length) {
  if (multiplier == 0 && constant == 0) return kNever;
  return now + Millis{multiplier} * length + constant;
}

// The Windows read time-out rules, fixed when the read is issued.
void ApplyReadTimeouts(Transfer& read, const COMMTIMEOUTS& timeouts, Millis now) {
  const bool noInterval = timeouts.ReadIntervalTimeout == MAXDWORD;
  if (noInterval && timeouts.ReadTotalTimeoutMultiplier == 0 &&
      timeouts.ReadTotalTimeoutConstant == 0) {
    read.totalDeadline = now;  // whatever has arrived, at once
  } else if (noInterval && timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
             timeouts.ReadTotalTimeoutConstant != 0 &&
             timeouts.ReadTotalTimeoutConstant != MAXDWORD) {
    read.endOnFirstByte = true;  // whatever has arrived, else the first byte within the constant
    read.totalDeadline = now + timeouts.ReadTotalTimeoutConstant;
  } else {
    read.totalDeadline = TotalDeadline(now, timeouts.ReadTotalTimeoutMultiplier,
                                       timeouts.ReadTotalTimeoutConstant, read.length);
    read.interval = timeouts.ReadIntervalTimeout;
  }
}

// Stores a result in the record: count first, then the status with release, so a reader that sees
// the status also sees the count and the bytes.
void Record(OVERLAPPED& record, DWORD status, DWORD count) {
  record.InternalHigh.store(count, std::memory_order_relaxed);
  record.Internal.store(status, std::memory_order_release);
}

}  // namespace

void FailNextLineReads(int error, int count) {
  g_readFailure.store(error, std::memory_order_relaxed);
  g_failingReads.store(count, std::memory_order_release);
}

bool Transfer::Finished(Millis now) const {
  if (done == length) return true;
  if (endOnFirstByte && done > 0) return true;
  return now >= NextDeadline();
}

Millis Transfer::NextDeadline() const {
  if (interval > 0 && done > 0) return std::min(totalDeadline, lastByteAt + interval);
  return totalDeadline;
}

std::shared_ptr<SerialPort> SerialPort::Open(const std::string& path, DWORD& error) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = platform::WinErrorFromErrno(errno);
    return nullptr;
  }
  int failure = TakePort(fd);
  const int wake = failure == 0 ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (failure == 0 && wake < 0) failure = errno;
  if (failure != 0) {
    close(fd);
    error = platform::WinErrorFromErrno(failure);
    return nullptr;
  }
  TryLowLatency(fd);
  std::shared_ptr<SerialPort> port(new SerialPort(fd, wake));
  if (!port->StartIo()) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  return port;
}

SerialPort::SerialPort(int fd, int wake) : fd_(fd), wake_(wake) {}

bool SerialPort::StartIo() {
  try {
    ioThread_ = std::thread([this] { IoLoop(); });
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

SerialPort::~SerialPort() {
  Close();
  close(wake_);
}

void SerialPort::Close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    AbortWhere(reads_, nullptr);
    AbortWhere(writes_, nullptr);
  }
  changed_.notify_all();
  Wake();
  // The I/O thread holds no reference to the port, so the last one never drops on it and this
  // join is never the thread joining itself.
  if (ioThread_.joinable()) ioThread_.join();
  std::lock_guard lock(mutex_);
  // The exclusive flag outlives our descriptor while another holds the device open.
  ioctl(fd_, TIOCNXCL);
  close(fd_);
  fd_ = -1;
}

BOOL SerialPort::GetState(DCB& dcb) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) return Fail(platform::WinErrorFromErrno(errno));
  dcb = DcbOf(settings);
  return TRUE;
}

BOOL SerialPort::SetState(const DCB& dcb) {
  const auto speed = SpeedCodeFor(dcb.BaudRate);
  const auto framing = FramingOf(dcb);
  if (!speed || !framing) return Fail(ERROR_INVALID_PARAMETER);
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) return Fail(platform::WinErrorFromErrno(errno));
  MakeRaw(settings);
  settings.c_cflag = (settings.c_cflag & ~kFramingBits) | *framing;
  cfsetispeed(&settings, *speed);
  cfsetospeed(&settings, *speed);
  if (tcsetattr(fd_, TCSANOW, &settings) != 0) return Fail(platform::WinErrorFromErrno(errno));
  // tcsetattr succeeds when any part of the change took; read back what the driver kept.
  termios applied{};
  if (tcgetattr(fd_, &applied) != 0) return Fail(platform::WinErrorFromErrno(errno));
  const bool took = cfgetispeed(&applied) == *speed && cfgetospeed(&applied) == *speed &&
                    (applied.c_cflag & kFramingBits) == *framing;
  return took ? TRUE : Fail(ERROR_NOT_SUPPORTED);
}

BOOL SerialPort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  timeouts_ = timeouts;
  return TRUE;
}

BOOL SerialPort::GetTimeouts(COMMTIMEOUTS& timeouts) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  timeouts = timeouts_;
  return TRUE;
}

BOOL SerialPort::ClearError(COMSTAT* status) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return TRUE;
  int input = 0;
  int output = 0;
  if (ioctl(fd_, FIONREAD, &input) != 0 || ioctl(fd_, TIOCOUTQ, &output) != 0) {
    return Fail(platform::WinErrorFromErrno(errno));
  }
  status->cbInQue = static_cast<DWORD>(input);
  status->cbOutQue = static_cast<DWORD>(output);
  return TRUE;
}

BOOL SerialPort::Purge(DWORD flags) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  bool ended = false;
  if ((flags & PURGE_RXABORT) != 0) ended |= AbortWhere(reads_, nullptr);
  if ((flags & PURGE_TXABORT) != 0) ended |= AbortWhere(writes_, nullptr);
  if (ended) {
    changed_.notify_all();
    Wake();
  }
  const bool input = (flags & PURGE_RXCLEAR) != 0;
  const bool output = (flags & PURGE_TXCLEAR) != 0;
  if (!input && !output) return TRUE;
  const int queue = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
  return tcflush(fd_, queue) == 0 ? TRUE : Fail(platform::WinErrorFromErrno(errno));
}

BOOL SerialPort::Read(void* buffer, DWORD length, DWORD* read, OVERLAPPED& record,
                      std::shared_ptr<Event> event) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (Uses(record, true, true)) return Fail(ERROR_INVALID_PARAMETER);
  Transfer transfer{.record = &record,
                    .event = std::move(event),
                    .isRead = true,
                    .into = static_cast<unsigned char*>(buffer),
                    .length = length};
  ApplyReadTimeouts(transfer, timeouts_, ClockNow());
  return Begin(reads_, std::move(transfer), read);
}

BOOL SerialPort::Write(const void* data, DWORD length, DWORD* written, OVERLAPPED& record,
                       std::shared_ptr<Event> event) {
  std::unique_lock lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  changed_.wait(lock, [&] { return closed_ || !Uses(record, false, true); });
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  if (Uses(record, true, false)) return Fail(ERROR_INVALID_PARAMETER);
  Transfer transfer{.record = &record,
                    .event = std::move(event),
                    .isRead = false,
                    .from = static_cast<const unsigned char*>(data),
                    .length = length};
  transfer.totalDeadline = TotalDeadline(ClockNow(), timeouts_.WriteTotalTimeoutMultiplier,
                                         timeouts_.WriteTotalTimeoutConstant, length);
  return Begin(writes_, std::move(transfer), written);
}

// Tries the transfer at once when nothing is ahead of it; completes it there or leaves it to the
// I/O thread.
BOOL SerialPort::Begin(std::deque<Transfer>& queue, Transfer transfer, DWORD* count) {
  if (count != nullptr) *count = 0;
  if (queue.empty()) {
    if (const int error = Move(transfer, false); error != 0) {
      const DWORD code = platform::WinErrorFromErrno(error);
      Record(*transfer.record, code, 0);
      return Fail(code);
    }
    if (transfer.Finished(ClockNow())) {
      if (count != nullptr) *count = transfer.done;
      Finish(transfer, ERROR_SUCCESS);
      return TRUE;
    }
  }
  Record(*transfer.record, STATUS_PENDING, 0);
  if (transfer.event) transfer.event->Reset();
  queue.push_back(std::move(transfer));
  Wake();
  return Fail(ERROR_IO_PENDING);
}

void SerialPort::AwaitEnd(const OVERLAPPED& record) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return !Uses(record, true, true); });
}

BOOL SerialPort::Cancel(const OVERLAPPED* record) {
  std::lock_guard lock(mutex_);
  if (closed_) return Fail(ERROR_INVALID_HANDLE);
  const bool readEnded = AbortWhere(reads_, record);
  const bool writeEnded = AbortWhere(writes_, record);
  if (!readEnded && !writeEnded) return Fail(ERROR_NOT_FOUND);
  changed_.notify_all();
  Wake();
  return TRUE;
}

bool SerialPort::Uses(const OVERLAPPED& record, bool reads, bool writes) const {
  const auto onRecord = [&](const Transfer& transfer) { return transfer.record == &record; };
  return (reads && std::ranges::any_of(reads_, onRecord)) ||
         (writes && std::ranges::any_of(writes_, onRecord));
}

bool SerialPort::AbortWhere(std::deque<Transfer>& queue, const OVERLAPPED* record) {
  const auto aborted = [&](Transfer& transfer) {
    if (record != nullptr && transfer.record != record) return false;
    Finish(transfer, ERROR_OPERATION_ABORTED);
    return true;
  };
  return std::erase_if(queue, aborted) > 0;
}

int SerialPort::Move(Transfer& transfer, bool hungUp) {
  return transfer.isRead ? MoveIn(transfer, hungUp) : MoveOut(transfer, hungUp);
}

// Returns 0 or the errno that ends the transfer. End of file and a hang-up with nothing to read
// count as EIO: the line is gone.
int SerialPort::MoveIn(Transfer& transfer, bool hungUp) {
  if (const int injected = InjectedReadFailure(); injected != 0) return injected;
  while (transfer.done < transfer.length) {
    const ssize_t got = read(fd_, transfer.into + transfer.done, transfer.length - transfer.done);
    if (got > 0) {
      transfer.done += static_cast<DWORD>(got);
      transfer.lastByteAt = ClockNow();
    } else if (got == 0) {
      return EIO;
    } else if (errno == EAGAIN) {
      return hungUp ? EIO : 0;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

int SerialPort::MoveOut(Transfer& transfer, bool hungUp) {
  while (transfer.done < transfer.length) {
    const ssize_t put = write(fd_, transfer.from + transfer.done, transfer.length - transfer.done);
    if (put > 0) {
      transfer.done += static_cast<DWORD>(put);
    } else if (put == 0 || errno == EAGAIN) {
      return hungUp ? EIO : 0;
    } else if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

void SerialPort::Finish(Transfer& transfer, DWORD error) {
  Record(*transfer.record, error, transfer.done);
  if (transfer.event) transfer.event->Set();
}

// Carries the front transfer of `queue` on after poll() reported `revents` on the line, and ends
// it (and the ones after it) when done, failed or out of time.
void SerialPort::Service(std::deque<Transfer>& queue, short revents) {
  const bool hungUp = (revents & (POLLHUP | POLLERR)) != 0;
  while (!queue.empty()) {
    Transfer& transfer = queue.front();
    const int error = revents != 0 ? Move(transfer, hungUp) : 0;
    if (error == 0 && !transfer.Finished(ClockNow())) return;
    Finish(transfer, error == 0 ? ERROR_SUCCESS : platform::WinErrorFromErrno(error));
    queue.pop_front();
    changed_.notify_all();
  }
}

Millis SerialPort::NextDeadline() const {
  Millis deadline = kNever;
  if (!reads_.empty()) deadline = std::min(deadline, reads_.front().NextDeadline());
  if (!writes_.empty()) deadline = std::min(deadline, writes_.front().NextDeadline());
  return deadline;
}

void SerialPort::IoLoop() {
  std::unique_lock lock(mutex_);
  while (!closed_) {
    const short events =
        static_cast<short>((reads_.empty() ? 0 : POLLIN) | (writes_.empty() ? 0 : POLLOUT));
    // With nothing under way the line is left out: a hung-up line would report POLLHUP for ever.
    pollfd fds[2] = {{wake_, POLLIN, 0}, {events != 0 ? fd_ : -1, events, 0}};
    const Millis deadline = NextDeadline();
    const int timeout = deadline == kNever
                            ? -1
                            : platform::RealTimeoutMs(std::max<Millis>(0, deadline - ClockNow()));
    lock.unlock();
    const int ready = poll(fds, 2, timeout);
    lock.lock();
    if (closed_) break;
    if (ready < 0) continue;  // EINTR: look again
    DrainWake();
    Service(reads_, fds[1].revents);
    Service(writes_, fds[1].revents);
  }
}

void SerialPort::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t ignored = write(wake_, &one, sizeof one);
}

void SerialPort::DrainWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t ignored = read(wake_, &count, sizeof count);
}

namespace {

std::mutex g_resolverMutex;
PortResolver g_resolver = DefaultPortResolver;

PortResolver CurrentResolver() {
  std::lock_guard lock(g_resolverMutex);
  return g_resolver;
}

std::string_view WithoutDevicePrefix(std::string_view name) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (name.starts_with(kDevicePrefix)) name.remove_prefix(kDevicePrefix.size());
  return name;
}

// n of "COM<n>" with n from 1 written without leading zeros; nothing for any other name.
std::optional<unsigned> ComPortNumber(std::string_view name) {
  constexpr std::string_view kCom = "COM";
  if (!name.starts_with(kCom)) return std::nullopt;
  name.remove_prefix(kCom.size());
  if (name.empty() || name.front() == '0') return std::nullopt;
  unsigned number = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
  if (error != std::errc{} || end != name.data() + name.size()) return std::nullopt;
  return number;
}

std::shared_ptr<Event> EventOf(const OVERLAPPED& record, bool& valid) {
  valid = true;
  if (record.hEvent == 0) return nullptr;
  auto event = FindAs<Event>(record.hEvent);
  valid = event != nullptr;
  return event;
}

}  // namespace
}  // namespace detail

void SetPortResolver(PortResolver resolver) {
  std::lock_guard lock(detail::g_resolverMutex);
  detail::g_resolver = resolver ? std::move(resolver) : DefaultPortResolver;
}

std::string DefaultPortResolver(std::string_view portName) {
  const auto number = detail::ComPortNumber(portName);
  if (!number) return "";
  std::string alias = "/dev/com" + std::to_string(*number);
  if (access(alias.c_str(), F_OK) == 0) return alias;
  return "/dev/ttyS" + std::to_string(*number - 1);
}

HANDLE CreateFileA(const char* name, DWORD, DWORD, void*, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE) {
  if (name == nullptr || creationDisposition != OPEN_EXISTING ||
      (flagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0) {
    detail::Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const std::string_view portName = detail::WithoutDevicePrefix(name);
  const std::string path =
      detail::ComPortNumber(portName) ? detail::CurrentResolver()(portName) : std::string();
  if (path.empty()) {
    detail::Fail(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  DWORD error = ERROR_SUCCESS;
  auto port = detail::SerialPort::Open(path, error);
  if (!port) {
    detail::Fail(error);
    return INVALID_HANDLE_VALUE;
  }
  return detail::AddHandle(std::move(port));
}

BOOL GetCommState(HANDLE port, DCB* dcb) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (dcb == nullptr) return detail::Fail(ERROR_INVALID_PARAMETER);
  return object->GetState(*dcb);
}

BOOL SetCommState(HANDLE port, const DCB* dcb) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (dcb == nullptr) return detail::Fail(ERROR_INVALID_PARAMETER);
  return object->SetState(*dcb);
}

BOOL SetCommTimeouts(HANDLE port, const COMMTIMEOUTS* timeouts) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (timeouts == nullptr) return detail::Fail(ERROR_INVALID_PARAMETER);
  return object->SetTimeouts(*timeouts);
}

BOOL GetCommTimeouts(HANDLE port, COMMTIMEOUTS* timeouts) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (timeouts == nullptr) return detail::Fail(ERROR_INVALID_PARAMETER);
  return object->GetTimeouts(*timeouts);
}

BOOL ClearCommError(HANDLE port, DWORD* errors, COMSTAT* status) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (errors != nullptr) *errors = 0;
  return object->ClearError(status);
}

BOOL PurgeComm(HANDLE port, DWORD flags) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  return object->Purge(flags);
}

BOOL WriteFile(HANDLE port, const void* data, DWORD length, DWORD* written,
               OVERLAPPED* overlapped) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (overlapped == nullptr || (data == nullptr && length != 0)) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  bool valid = false;
  auto event = detail::EventOf(*overlapped, valid);
  if (!valid) return detail::Fail(ERROR_INVALID_HANDLE);
  return object->Write(data, length, written, *overlapped, std::move(event));
}

BOOL ReadFile(HANDLE port, void* buffer, DWORD length, DWORD* read, OVERLAPPED* overlapped) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (overlapped == nullptr || (buffer == nullptr && length != 0)) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  bool valid = false;
  auto event = detail::EventOf(*overlapped, valid);
  if (!valid) return detail::Fail(ERROR_INVALID_HANDLE);
  return object->Read(buffer, length, read, *overlapped, std::move(event));
}

BOOL GetOverlappedResult(HANDLE port, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
  if (overlapped == nullptr) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (!HasOverlappedIoCompleted(overlapped)) {
    if (!wait) return detail::Fail(ERROR_IO_INCOMPLETE);
    const auto object = detail::FindAs<detail::SerialPort>(port);
    if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
    object->AwaitEnd(*overlapped);
    if (!HasOverlappedIoCompleted(overlapped)) return detail::Fail(ERROR_IO_INCOMPLETE);
  }
  const DWORD status = overlapped->Internal.load(std::memory_order_acquire);
  if (transferred != nullptr)
    *transferred = overlapped->InternalHigh.load(std::memory_order_relaxed);
  return status == ERROR_SUCCESS ? TRUE : detail::Fail(status);
}

BOOL CancelIoEx(HANDLE port, OVERLAPPED* overlapped) {
  const auto object = detail::FindAs<detail::SerialPort>(port);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  return object->Cancel(overlapped);
}

}  // namespace win
