#include "platform/debug_output.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace platform {
namespace {

// A test's sink is called under this lock, so that replacing it waits for a call under way on
// another thread; the program itself, with no sink, never takes the lock.
std::mutex g_sinkLock;
DebugSink g_sink;
std::atomic<bool> g_sinkInstalled{false};

// One write per string, so that lines from the two threads never interleave mid-string.
void WriteToStandardError(std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void OutputDebugStringA(const char* text) {
  const std::string_view view(text, std::strlen(text));
  if (g_sinkInstalled.load(std::memory_order_acquire)) {
    const std::lock_guard lock(g_sinkLock);
    if (g_sink) return g_sink(view);
  }
  WriteToStandardError(view);
}

void OutputDebugFormat(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  OutputDebugStringA(buffer);
}

void SetDebugSink(DebugSink sink) {
  const std::lock_guard lock(g_sinkLock);
  g_sink = std::move(sink);
  g_sinkInstalled.store(static_cast<bool>(g_sink), std::memory_order_release);
}

}  // namespace platform
