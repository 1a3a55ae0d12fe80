#include "link/announce.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "link/crc16.h"
#include "link/port_setup.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"

namespace devlink {
namespace {

static_assert(sizeof(job::UpdateJob::announceFrame) == kAnnounceFrameSize);

constexpr std::uint8_t kStartByte = 0xF0;
constexpr std::uint8_t kEndByte = 0xF2;
constexpr std::size_t kCrcHighByte = 27;
constexpr std::size_t kCrcLowByte = 28;
constexpr std::size_t kEndByteIndex = 29;
constexpr std::int8_t kCrcCoveredBytes = 26;
constexpr std::size_t kTextAt = 11;  // the 16-byte text of the generic and Kestrane frames

constexpr win::DWORD kReplyWindowMs = 3000;
constexpr win::DWORD kReplyRoom = 50;
constexpr win::DWORD kReplySize = 14;
constexpr std::size_t kReplyCode = 9;
constexpr std::uint8_t kReplyAck = 0x04;
constexpr std::uint8_t kReplyNack = 0x05;

constexpr char kApplicationText[] = "FirmwareUpdateAP";
constexpr std::size_t kApplicationTextSize = sizeof kApplicationText - 1;
constexpr std::size_t kReaderTextSize = 20;  // the application text padded with spaces

void PutBytes(AnnounceFrame& frame, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
  std::copy(bytes.begin(), bytes.end(), frame.begin() + static_cast<std::ptrdiff_t>(at));
}

void PutText(AnnounceFrame& frame, std::size_t at, const char* text, std::size_t size) {
  std::memcpy(frame.data() + at, text, size);
}

// Bytes 1 to 10 as the generic frame has them; `Kestrane` shares them.
void PutGenericHead(AnnounceFrame& frame) {
  PutBytes(frame, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x88, 0x10});
}

void PutReaderBody(AnnounceFrame& frame, std::uint8_t first, std::uint8_t second) {
  PutBytes(frame, 1, {first, second, 0xFF, 0xFF, 0x88, static_cast<std::uint8_t>(kReaderTextSize)});
  std::fill_n(frame.begin() + 7, kReaderTextSize, static_cast<std::uint8_t>(' '));
  PutText(frame, 7, kApplicationText, kApplicationTextSize);
}

// The version text of the last entry carrying the job's entry id, laid out as tt.t.t-tttttttt
// with a trailing dot shown as a space; all zero when no entry carries the id.
void PutKestraneVersion(AnnounceFrame& frame, const job::UpdateJob& job) {
  std::optional<job::PackageEntry> match;
  for (int position = 0; position < job::kEntryCount; ++position) {
    const job::PackageEntry entry = job::ReadEntry(job.header, position);
    if (entry.id == job.entryId) match = entry;
  }
  if (!match) return;
  const auto& t = match->versionText;
  const char last = t[13] == '.' ? ' ' : t[13];
  const char text[] = {t[0], t[1], '.',  t[2], '.',   t[3],  '-',   t[5],
                       t[6], t[7], t[8], t[9], t[10], t[11], t[12], last};
  PutText(frame, kTextAt, text, sizeof text);
}

void PutBody(AnnounceFrame& frame, const job::UpdateJob& job) {
  switch (job.deviceType) {
    case job::DeviceType::ReaderA:
      PutReaderBody(frame, 0xFF, 0x00);
      return;
    case job::DeviceType::ReaderB:
      PutReaderBody(frame, 0xAA, 0xAA);
      return;
    case job::DeviceType::Kestrane:
      PutGenericHead(frame);
      PutKestraneVersion(frame, job);
      return;
    default:
      PutGenericHead(frame);
      PutText(frame, kTextAt, kApplicationText, kApplicationTextSize);
      return;
  }
}

void ReportReplyCode(std::uint8_t code) {
  if (code == kReplyAck) platform::OutputDebugStringA("Got Ack\n");
  if (code == kReplyNack) platform::OutputDebugStringA("Got Nack\n");
}

// Reads the reply through `record`, waiting at most the reply window. 0 when nothing could be
// collected; the read is then ended, so that neither the record nor replyBuffer is in use after.
win::DWORD CollectReply(job::UpdateJob& job, win::HANDLE port, win::OVERLAPPED& record) {
  switch (StartRead(port, job.replyBuffer, kReplyRoom, &job.bytesRead, &record)) {
    case ReadStart::Failed:
      return 0;
    case ReadStart::Pending:
      win::WaitForSingleObject(record.hEvent, kReplyWindowMs);
      break;
    case ReadStart::Completed:
      break;
  }
  if (!win::GetOverlappedResult(port, &record, &job.bytesRead, win::FALSE)) {
    win::CancelIoEx(port, &record);
    return 0;
  }
  return job.bytesRead;
}

}  // namespace

AnnounceFrame BuildAnnounceFrame(const job::UpdateJob& job) {
  AnnounceFrame frame{};
  frame[0] = kStartByte;
  PutBody(frame, job);
  const std::uint16_t crc = ComputeCrc16(frame.data() + 1, kCrcCoveredBytes);
  frame[kCrcHighByte] = static_cast<std::uint8_t>(crc >> 8);
  frame[kCrcLowByte] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[kEndByteIndex] = kEndByte;
  return frame;
}

win::DWORD SendAnnounce(job::UpdateJob& job) {
  const win::HANDLE port = job.portHandle.load();
  job.announceFrame = BuildAnnounceFrame(job);
  win::WriteFile(port, job.announceFrame.data(), kAnnounceFrameSize, &job.bytesWritten,
                 &job.writeOverlapped);

  win::OVERLAPPED record;
  record.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  const win::DWORD count = CollectReply(job, port, record);
  win::CloseHandle(record.hEvent);
  if (count == kReplySize) ReportReplyCode(job.replyBuffer[kReplyCode]);
  return count;
}

}  // namespace devlink
