// Diagnostic strings of the updater. Each goes to standard error whole, in one write, unbuffered,
// exactly as given: no prefix, no added line break.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

void OutputDebugStringA(const char* text);
// printf-style convenience for the formatted diagnostics.
void OutputDebugFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Replaces the sink (standard error) for tests; an empty function restores it. Safe while other
// threads write: once it returns, no thread is still inside the sink it replaced. A sink must not
// write debug strings itself.
using DebugSink = std::function<void(std::string_view)>;
void SetDebugSink(DebugSink sink);

}  // namespace platform
