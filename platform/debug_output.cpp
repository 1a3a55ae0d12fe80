#include "platform/debug_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace platform {
namespace {

DebugSink& Sink() {
  static DebugSink sink;
  return sink;
}

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
  if (Sink()) {
    Sink()(view);
  } else {
    WriteToStandardError(view);
  }
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
  Sink() = std::move(sink);
}

}  // namespace platform
