// The rule for port names: "comN" (any case, N from 1) names the machine's
// Nth serial port; every other name is used as given.  POSIX systems number
// their ports from 0 (/dev/ttyS0 is com1); Windows opens ports above 9 only
// by their device-namespace name (\\.\COM10).  Both mappings are plain
// functions so that each can be tested on any machine.
#pragma once

#include <string>
#include <string_view>

namespace korvel {

// N of a "comN" name (1 to 99999), or 0 for any other name.
inline int ComPortNumber(std::string_view name) {
  if (name.size() < 4 || name.size() > 8) return 0;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (lower(name[0]) != 'c' || lower(name[1]) != 'o' || lower(name[2]) != 'm') return 0;
  int n = 0;
  for (char c : name.substr(3)) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The device a port name opens on a POSIX system: com1 is /dev/ttyS0.
inline std::string PosixDevicePath(std::string_view name) {
  const int n = ComPortNumber(name);
  if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  return std::string(name);
}

// The name a port opens by on Windows: com1 to com9 as given, com10 and up
// as \\.\COM10, any other name as given.
inline std::string WindowsDeviceName(std::string_view name) {
  const int n = ComPortNumber(name);
  if (n >= 10) return "\\\\.\\COM" + std::to_string(n);
  return std::string(name);
}

}  // namespace korvel
