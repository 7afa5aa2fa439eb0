/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Monotonic milliseconds, for time limits and for the simulator's schedule;
// today's date as the card decoder takes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

namespace korvel {

inline int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Today in local time as the number YYMM (2506 for June 2025): the date
// Korvel_DecodeCard checks a card's expiry against.
inline uint32_t TodayYymm() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  return static_cast<uint32_t>((local.tm_year % 100) * 100 + local.tm_mon + 1);
}

}  // namespace korvel
