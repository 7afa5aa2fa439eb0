// Small text helpers for the simulator's human-readable output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvel::sim {

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
