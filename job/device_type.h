#pragma once

#include <cstdint>

namespace job {

// Device family, recognised from the package signature.
enum class DeviceType : std::int32_t {
  Unrecognized = 0,
  Kestrane = 1,
  Morrisk = 2,
  Tambrel = 3,
  Keyboard = 4,
  Joystick = 5,
  ReaderA = 6,
  ReaderB = 8,
};

enum class JobState : std::int32_t {
  Idle = 0,            // no job requested, or the last one has ended
  StartRequested = 1,  // handed over by the Update command, not yet taken up by the worker
  Running = 2,         // taken up by the worker
};

}  // namespace job
