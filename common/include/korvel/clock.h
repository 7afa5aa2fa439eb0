// Monotonic milliseconds, for time limits and for the simulator's schedule.
#pragma once

#include <chrono>
#include <cstdint>

namespace korvel {

inline int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace korvel
