// Small text helpers for the simulator's human-readable output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "korvel/rates.h"

namespace korvel::sim {

// The reader's rates for people: "4800, 9600, 19200 or 38400", with
// " (default)" after the default rate when `mark_default` is set.
inline std::string RateList(bool mark_default = false) {
  std::string list;
  for (size_t i = 0; i < kLineRates.size(); ++i) {
    if (i > 0) list += i + 1 == kLineRates.size() ? " or " : ", ";
    list += kLineRates[i].text;
    if (mark_default && kLineRates[i].baud == kDefaultBaud) list += " (default)";
  }
  return list;
}

// "02 04 32 30" style.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    if (i != 0) s += ' ';
    s += b;
  }
  return s;
}

// Printable ASCII as is, CR and LF as \r \n, everything else as \xNN.
inline std::string Printable(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[8];
  for (uint8_t c : bytes) {
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c == '\\') {
      s += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      std::snprintf(b, sizeof b, "\\x%02X", c);
      s += b;
    }
  }
  return s;
}

}  // namespace korvel::sim
