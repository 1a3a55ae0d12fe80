#include "link/update_worker.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "job/package_format.h"
#include "link/port_setup.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"

namespace devlink {
namespace {

constexpr std::uint8_t kFrameAccepted = 0x11;
constexpr int kMaxSendings = 4;      // the fourth refusal of one frame ends the job
constexpr int kMaxFailedReads = 2;   // within one ReadReplyByte call
constexpr int kMaxEmptyPeriods = 6;  // about 33 s of silence after the frame has gone out
constexpr std::uint32_t kEndPassFrameSize = 2;
constexpr std::uint32_t kEndPassProgress = 4;

// The part of frameBuffer that holds the image; never beyond the buffer.
std::uint32_t ImageBytes(const job::UpdateJob& job) {
  return static_cast<std::uint32_t>(std::clamp<std::int32_t>(
      job.frameBytes, 0, static_cast<std::int32_t>(job::kFrameBufferSize)));
}

void EndPass(job::UpdateJob& job, std::uint32_t offset) {
  job.progressCount.fetch_add(kEndPassProgress);
  platform::OutputDebugFormat("i %d frameSize %d \n", static_cast<int>(offset),
                              static_cast<int>(kEndPassFrameSize));
  platform::OutputDebugFormat("i %d isize %d \n", static_cast<int>(offset), job.frameBytes);
  platform::OutputDebugStringA("Leave thread while");
  job.transferEnded.store(true, std::memory_order_release);
}

// The port stays open and the package loaded: Update retries on the same image.
void FailNoResponse(job::UpdateJob& job, job::OperatorSurface& dialog) {
  job.state.store(job::JobState::Idle, std::memory_order_release);
  dialog.ShowOperatorMessage(job::kMsgNoRespond);
  dialog.EnableUpdateButton(true);
  job.progressCount.store(0);
  platform::OutputDebugStringA("Leave thread while");
}

// A line whose reads fail (the device unplugged, the port gone) is dead for good: the next job
// opens the port afresh instead of reusing this handle.
void CloseDeadPort(job::UpdateJob& job) {
  win::CloseHandle(job.portHandle.exchange(0, std::memory_order_acq_rel));
}

enum class ReplyEnd { Byte, Silent, ReadsFailed };
ReplyEnd ReadReply(job::UpdateJob& job, std::uint8_t& reply);

enum class FrameOutcome { Accepted, Refused, Unanswered, LineDead };

FrameOutcome SendFrame(job::UpdateJob& job, std::uint32_t offset, std::uint32_t frameSize) {
  win::WriteFile(job.portHandle.load(), job.frameBuffer + offset, frameSize, &job.bytesWritten,
                 &job.writeOverlapped);
  std::uint8_t reply = 0;
  switch (ReadReply(job, reply)) {
    case ReplyEnd::Silent:
      return FrameOutcome::Unanswered;
    case ReplyEnd::ReadsFailed:
      return FrameOutcome::LineDead;
    case ReplyEnd::Byte:
      break;
  }
  return reply == kFrameAccepted ? FrameOutcome::Accepted : FrameOutcome::Refused;
}

// Sends the image frame by frame; a frame that does not lie wholly within the image ends the walk
// as the end of the image does.
void RunFrameLoop(job::UpdateJob& job, job::OperatorSurface& dialog) {
  job.progressCount.store(0);
  const std::uint32_t imageBytes = ImageBytes(job);
  std::uint32_t offset = 0;
  int refusals = 0;
  for (;;) {
    const std::optional<std::uint32_t> frameSize =
        job::FrameSizeAt(job.frameBuffer, imageBytes, offset);
    if (!frameSize) return EndPass(job, offset);
    platform::OutputDebugFormat("i %d frameSize %d \n", static_cast<int>(offset),
                                static_cast<int>(*frameSize));
    switch (SendFrame(job, offset, *frameSize)) {
      case FrameOutcome::Accepted:
        job.progressCount.fetch_add(job::FrameProgressChars(*frameSize));
        refusals = 0;
        offset += *frameSize;
        break;
      case FrameOutcome::Refused:
        if (++refusals == kMaxSendings) return FailNoResponse(job, dialog);
        platform::OutputDebugStringA("\n\nfailed\n\n\n");
        break;
      case FrameOutcome::Unanswered:
        return FailNoResponse(job, dialog);
      case FrameOutcome::LineDead:
        CloseDeadPort(job);
        return FailNoResponse(job, dialog);
    }
  }
}

enum class ReadEnd { Byte, Empty, Failed };

// Waits for the pending reply read; it ends by its byte, by the time-outs or by a failure.
ReadEnd AwaitRead(job::UpdateJob& job, win::HANDLE port) {
  win::WaitForSingleObject(job.readOverlapped.hEvent, win::INFINITE);
  if (!win::GetOverlappedResult(port, &job.readOverlapped, &job.bytesRead, win::FALSE)) {
    return ReadEnd::Failed;
  }
  return job.bytesRead == 0 ? ReadEnd::Empty : ReadEnd::Byte;
}

ReplyEnd ReadReply(job::UpdateJob& job, std::uint8_t& reply) {
  const win::HANDLE port = job.portHandle.load();
  int failedReads = 0;
  int emptyPeriods = 0;
  reply = 0;
  for (;;) {
    // Silence counts only once the frame has gone out: a long frame at a low speed takes more
    // than one period to leave.
    const bool frameGoneOut = win::HasOverlappedIoCompleted(&job.writeOverlapped);
    const ReadStart start =
        StartRead(port, job.replyBuffer, 1, &job.bytesRead, &job.readOverlapped);
    if (start == ReadStart::Completed) {
      reply = job.replyBuffer[0];
      platform::OutputDebugStringA("\nGot [1] 0x11\n");
      return ReplyEnd::Byte;
    }
    const ReadEnd end = start == ReadStart::Pending ? AwaitRead(job, port) : ReadEnd::Failed;
    if (end == ReadEnd::Byte) {
      reply = job.replyBuffer[0];
      platform::OutputDebugFormat("\nGot [2] len %d 0x%x\n", static_cast<int>(job.bytesRead),
                                  static_cast<unsigned>(static_cast<std::int8_t>(reply)));
      return ReplyEnd::Byte;
    }
    if (end == ReadEnd::Empty) {
      platform::OutputDebugFormat("\nGot [2] len %d Still Wait....\n",
                                  static_cast<int>(job.bytesRead));
      if (frameGoneOut && ++emptyPeriods == kMaxEmptyPeriods) return ReplyEnd::Silent;
      continue;
    }
    platform::OutputDebugStringA("\nNot Got \n");
    if (++failedReads == kMaxFailedReads) {
      platform::OutputDebugStringA("failnum>=2\n");
      return ReplyEnd::ReadsFailed;
    }
  }
}

}  // namespace

win::DWORD ReadReplyByte(job::UpdateJob& job, std::uint8_t& reply) {
  return ReadReply(job, reply) == ReplyEnd::Byte ? job.bytesRead : 0;
}

void RunJobCycle(job::UpdateJob& job, job::OperatorSurface& dialog) {
  const std::int32_t portIndex = TakeJob(job);
  if (SetUpPort(job, dialog, portIndex)) RunFrameLoop(job, dialog);
}

void UpdateWorker(job::UpdateJob& job, job::OperatorSurface& dialog) {
  job.portHandle.store(0);
  for (;;) RunJobCycle(job, dialog);
}

}  // namespace devlink
