/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The rule for port names: "comN" (any case, N from 1) names the machine's
// Nth serial port; "rfc2217://HOST:PORT" and "tcp://HOST:PORT" name a serial
// port behind a network port server; every other name is used as given.
// POSIX systems number their ports from 0 (/dev/ttyS0 is com1); Windows opens
// ports above 9 only by their device-namespace name (\\.\COM10).  The
// mappings are plain functions so that each can be tested on any machine.
#pragma once

#include <cstdint>
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

// The other way round: "com1" for "/dev/ttyS0", empty for any path that no
// comN name opens.
inline std::string PosixComName(std::string_view path) {
  constexpr std::string_view kPrefix = "/dev/ttyS";
  if (path.size() <= kPrefix.size() || path.size() > kPrefix.size() + 5 ||
      path.substr(0, kPrefix.size()) != kPrefix)
    return {};
  const std::string_view digits = path.substr(kPrefix.size());
  if (digits.size() > 1 && digits[0] == '0') return {};
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return {};
    n = n * 10 + (c - '0');
  }
  if (n + 1 > 99999) return {};  // beyond every comN name
  return "com" + std::to_string(n + 1);
}

// The name a port opens by on Windows: com1 to com9 as given, com10 and up
// as \\.\COM10, any other name as given.
inline std::string WindowsDeviceName(std::string_view name) {
  const int n = ComPortNumber(name);
  if (n >= 10) return "\\\\.\\COM" + std::to_string(n);
  return std::string(name);
}

// A serial port behind a network port server: Telnet with the COM port
// control option (RFC 2217), or a raw TCP stream.
struct NetworkPortName {
  enum class Protocol { kNone, kRfc2217, kRawTcp };
  Protocol protocol = Protocol::kNone;  // kNone: not a network name
  std::string host;                     // name, IPv4 or IPv6 address (without brackets)
  uint16_t port = 0;
  std::string error;  // set when the scheme matched but the rest did not parse
};

// Parses "rfc2217://HOST:PORT" or "tcp://HOST:PORT" (scheme in any case).
// HOST is a host name, an IPv4 address or a bracketed IPv6 address
// ("[::1]", "[fe80::1%eth0]"); PORT is 1 to 65535; nothing may follow.  Any
// other name gives protocol kNone (it keeps its meaning); a name with one of
// the two schemes that does not parse gives its protocol and `error`.
inline NetworkPortName ParseNetworkPortName(std::string_view name) {
  NetworkPortName out;
  auto starts = [&](std::string_view scheme) {
    if (name.size() < scheme.size()) return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
      char c = name[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != scheme[i]) return false;
    }
    return true;
  };
  std::string_view rest;
  if (starts("rfc2217://")) {
    out.protocol = NetworkPortName::Protocol::kRfc2217;
    rest = name.substr(10);
  } else if (starts("tcp://")) {
    out.protocol = NetworkPortName::Protocol::kRawTcp;
    rest = name.substr(6);
  } else {
    return out;
  }
  auto fail = [&](const char* why) {
    out.host.clear();
    out.port = 0;
    out.error = why;
    return out;
  };
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return fail("the IPv6 address has no closing ']'");
    host = rest.substr(1, close - 1);
    const std::string_view address = host.substr(0, host.find('%'));  // then a zone: "%eth0"
    if (address.empty() || address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos ||
        address.find(':') == std::string_view::npos || host.find_first_of(" /[]@") != std::string_view::npos)
      return fail("the text in brackets is not an IPv6 address");
    rest = rest.substr(close + 1);
  } else {
    const size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (host.empty()) return fail("the host is missing");
    for (char c : host) {
      const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_';
      if (!ok) return fail("the host name has a character that no host name has");
    }
    rest = rest.substr(host.size());
  }
  if (rest.empty() || rest.front() != ':') return fail("the port number is missing (HOST:PORT)");
  rest = rest.substr(1);
  if (rest.empty() || rest.size() > 5) return fail("the port number must be 1 to 65535");
  uint32_t port = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return fail("the port number must be 1 to 65535");
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port < 1 || port > 65535) return fail("the port number must be 1 to 65535");
  out.host = std::string(host);
  out.port = static_cast<uint16_t>(port);
  return out;
}

}  // namespace korvel
