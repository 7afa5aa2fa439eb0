/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The reader's four line rates: the one table of them.  The rate code is what
// the reader's rate command carries; the line format is the rate in the
// platform's device-control notation (Windows).
#pragma once

#include <array>
#include <cstdint>

namespace korvel {

struct LineRate {
  uint32_t baud;
  uint8_t code;             // '0'..'3'
  const char* line_format;  // "9600,n,8,1"
  const char* text;         // "9600"
};

inline constexpr std::array<LineRate, 4> kLineRates = {{
    {4800, '0', "4800,n,8,1", "4800"},
    {9600, '1', "9600,n,8,1", "9600"},
    {19200, '2', "19200,n,8,1", "19200"},
    {38400, '3', "38400,n,8,1", "38400"},
}};

// The reader's rate at power-up, and the one the tools open with by default.
inline constexpr uint32_t kDefaultBaud = 9600;

// The entry of a supported rate, or null.
constexpr const LineRate* FindLineRate(uint32_t baud) {
  for (const LineRate& rate : kLineRates)
    if (rate.baud == baud) return &rate;
  return nullptr;
}

// The entry of a rate code '0'..'3', or null.
constexpr const LineRate* FindLineRateByCode(uint8_t code) {
  for (const LineRate& rate : kLineRates)
    if (rate.code == code) return &rate;
  return nullptr;
}

}  // namespace korvel
