#include "link/port_setup.h"

#include <cstdio>

#include "link/announce.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"

namespace devlink {
namespace {

using job::DeviceType;

constexpr win::DWORD kJobPollMs = 100;
constexpr win::DWORD kKeyboardSettleMs = 2000;
constexpr win::DWORD kReopenPauseMs = 5000;
constexpr std::uint32_t kShortNameIndices = 9;  // COM1 to COM9 need no device-namespace prefix
constexpr int kReadReissues = 3;

constexpr win::COMMTIMEOUTS kTimeouts{
    .ReadIntervalTimeout = 1000,
    .ReadTotalTimeoutMultiplier = 500,
    .ReadTotalTimeoutConstant = 5000,
    .WriteTotalTimeoutMultiplier = 500,
    .WriteTotalTimeoutConstant = 5000,
};

win::DWORD AnnounceSpeed(DeviceType type) {
  switch (type) {
    case DeviceType::Keyboard:
    case DeviceType::Joystick:
    case DeviceType::ReaderA:
    case DeviceType::ReaderB:
      return 9600;
    default:
      return 57600;
  }
}

win::DWORD TransferSpeed(DeviceType type) {
  return type == DeviceType::Keyboard ? 57600 : AnnounceSpeed(type);
}

win::HANDLE OpenPort(const PortName& name) {
  return win::CreateFileA(name.data(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                          win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, 0);
}

void ClosePort(job::UpdateJob& job) {
  win::CloseHandle(job.portHandle.exchange(0));
}

void Purge(win::HANDLE port) {
  win::ClearCommError(port, nullptr, nullptr);
  win::PurgeComm(port, win::PURGE_RXCLEAR);
  win::PurgeComm(port, win::PURGE_TXCLEAR);
}

// A port that a failed job left open serves this job only when the operator still selects it;
// firmware never goes to a port that was not chosen.
bool OpenSelectedPort(job::UpdateJob& job, const PortName& name, std::int32_t portIndex) {
  if (job.portHandle.load() != 0) {
    if (job.openPortIndex == portIndex) return true;
    ClosePort(job);
  }
  platform::OutputDebugStringA("REopen COM port!!!!\n\n\n");
  const win::HANDLE port = OpenPort(name);
  if (port == win::INVALID_HANDLE_VALUE) return false;
  job.portHandle.store(port);
  job.openPortIndex = portIndex;
  if (job.deviceType == DeviceType::Keyboard) win::Sleep(kKeyboardSettleMs);
  return true;
}

win::DCB ApplyAnnounceSettings(const job::UpdateJob& job) {
  const win::HANDLE port = job.portHandle.load();
  win::DCB settings;
  win::GetCommState(port, &settings);
  settings.BaudRate = AnnounceSpeed(job.deviceType);
  settings.ByteSize = 8;
  settings.Parity = win::NOPARITY;
  settings.StopBits = win::ONESTOPBIT;
  win::SetCommState(port, &settings);
  Purge(port);
  win::SetCommTimeouts(port, &kTimeouts);
  return settings;
}

// Joystick devices are never announced; any reply, a refusal included, is an answer.
bool AnnounceAnswered(job::UpdateJob& job) {
  return job.deviceType != DeviceType::Joystick && SendAnnounce(job) != 0;
}

// The device gave no answer (or is never announced): a fresh handle after a pause. It gets the
// time-outs again, since without them a silent device would hold its reads for ever.
bool Reopen(job::UpdateJob& job, const PortName& name) {
  ClosePort(job);
  win::Sleep(kReopenPauseMs);
  const win::HANDLE port = OpenPort(name);
  platform::OutputDebugStringA("Retry...");
  platform::OutputDebugStringA(name.data());
  platform::OutputDebugStringA("\n");
  if (port == win::INVALID_HANDLE_VALUE) return false;
  job.portHandle.store(port);
  win::SetCommTimeouts(port, &kTimeouts);
  return true;
}

void ApplyTransferSettings(const job::UpdateJob& job, win::DCB settings) {
  const win::HANDLE port = job.portHandle.load();
  Purge(port);
  settings.BaudRate = TransferSpeed(job.deviceType);
  win::SetCommState(port, &settings);
}

bool FailOpen(job::UpdateJob& job, job::OperatorSurface& dialog) {
  job.portHandle.store(0);
  job.state.store(job::JobState::Idle, std::memory_order_release);
  dialog.ShowOperatorMessage(job::kMsgOpenComFailed);
  dialog.EnableUpdateButton(true);
  return false;
}

}  // namespace

PortName MakePortName(std::int32_t portIndex) {
  // The list's "no selection" (-1) compares as a large number and names COM0, which opens nothing.
  const bool shortForm = static_cast<std::uint32_t>(portIndex) < kShortNameIndices;
  const auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(portIndex) + 1);
  PortName name{};
  std::snprintf(name.data(), name.size(), shortForm ? "COM%d" : "\\\\.\\COM%d", number);
  return name;
}

std::int32_t TakeJob(job::UpdateJob& job) {
  while (job.state.load(std::memory_order_acquire) != job::JobState::StartRequested) {
    win::Sleep(kJobPollMs);
  }
  platform::OutputDebugStringA("Start Go Go\n");
  const std::int32_t portIndex = job.portIndex;
  job.state.store(job::JobState::Running, std::memory_order_release);
  return portIndex;
}

bool SetUpPort(job::UpdateJob& job, job::OperatorSurface& dialog, std::int32_t portIndex) {
  const PortName name = MakePortName(portIndex);
  platform::OutputDebugStringA(name.data());
  platform::OutputDebugStringA("\n");
  if (!OpenSelectedPort(job, name, portIndex)) return FailOpen(job, dialog);
  const win::DCB settings = ApplyAnnounceSettings(job);
  if (!AnnounceAnswered(job) && !Reopen(job, name)) return FailOpen(job, dialog);
  ApplyTransferSettings(job, settings);
  return true;
}

ReadStart StartRead(win::HANDLE port, void* buffer, win::DWORD length, win::DWORD* read,
                    win::OVERLAPPED* overlapped) {
  for (int issue = 0; issue <= kReadReissues; ++issue) {
    if (win::ReadFile(port, buffer, length, read, overlapped)) return ReadStart::Completed;
    if (win::GetLastError() == win::ERROR_IO_PENDING) return ReadStart::Pending;
  }
  return ReadStart::Failed;
}

}  // namespace devlink
