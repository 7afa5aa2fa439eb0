/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The serial devices present on this machine, and what to tell a user who
// may not open one: the one rule behind the dialog's port list and
// `korvel ports`.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "korvel/port_names.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#else
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#endif

namespace korvel {

enum class SerialKind {
  kById,     // a name under /dev/serial/by-id: stable across replugging
  kUsb,      // /dev/ttyUSBn: a USB serial adapter
  kAcm,      // /dev/ttyACMn: a USB modem-class device
  kBuiltIn,  // /dev/ttySn: a port of the machine itself (the library's comN+1);
             // on Windows every COMn
};

// "by-id", "usb", "acm", "builtin".
inline const char* SerialKindName(SerialKind kind) {
  switch (kind) {
    case SerialKind::kById: return "by-id";
    case SerialKind::kUsb: return "usb";
    case SerialKind::kAcm: return "acm";
    case SerialKind::kBuiltIn: return "builtin";
  }
  return "unknown";
}

struct SerialDevice {
  std::string path;  // "/dev/serial/by-id/usb-...", "/dev/ttyUSB0", "/dev/ttyS0"; Windows: "COM3"
  SerialKind kind = SerialKind::kUsb;
  std::string target;    // by-id: the device the name points at ("/dev/ttyUSB0"); else empty
  std::string com_name;  // /dev/ttySn: the library's other name for it ("com1"); else empty
};

namespace serial_detail {

// The length of `name` without its trailing digits.
inline size_t StemLength(const std::string& name) {
  size_t n = name.size();
  while (n > 0 && name[n - 1] >= '0' && name[n - 1] <= '9') --n;
  return n;
}

// "ttyUSB10" after "ttyUSB9": the text before the trailing number, then the
// number (compared by length first, so that any number of digits works).
inline bool NaturalLess(const std::string& a, const std::string& b) {
  const size_t sa = StemLength(a), sb = StemLength(b);
  const int stem = a.compare(0, sa, b, 0, sb);
  if (stem != 0 || sa == a.size() || sb == b.size()) return a < b;
  auto digits = [](const std::string& s, size_t from) {
    while (from + 1 < s.size() && s[from] == '0') ++from;
    return s.substr(from);
  };
  const std::string da = digits(a, sa), db = digits(b, sb);
  if (da.size() != db.size()) return da.size() < db.size();
  return da != db ? da < db : a < b;
}

#if defined(_WIN32)
// The COMn names among Windows' DOS device names (QueryDosDevice), in
// natural order.
inline std::vector<std::string> ComNames() {
  std::vector<char> names(16384);
  for (;;) {
    const DWORD got = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
    if (got != 0) break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22)) return {};
    names.resize(names.size() * 2);
  }
  std::vector<std::string> ports;
  for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
    const std::string text = name;
    if (text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0) &&
        StemLength(text) == 3)
      ports.push_back("COM" + text.substr(3));
  }
  std::sort(ports.begin(), ports.end(), NaturalLess);
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}
#else
// The names of the entries of `dir` that are not directories and are
// `prefix` followed by one or more digits (any name when prefix is empty),
// in natural order.
inline std::vector<std::string> Names(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    std::error_code kind;
    if (entry.is_directory(kind)) continue;
    if (!prefix.empty() && (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
                            StemLength(name) != prefix.size()))
      continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

// What a symbolic link finally points at, or empty.
inline std::string LinkTarget(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return {};
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? std::string() : target.string();
}
#endif

}  // namespace serial_detail

// The serial devices present under `dev_root` (normally "/dev"), in this
// order: the names under serial/by-id (each with the device it points at),
// then ttyUSB*, ttyACM* and the machine's own ports ttyS*; each group in
// natural order (ttyUSB2 before ttyUSB10).  Only names that exist are
// listed.  On Windows (no `dev_root`) the COM ports Windows knows (COM1,
// COM2, ..., COM10), each kBuiltIn.
inline std::vector<SerialDevice> FindSerialDevices(const std::string& dev_root = "/dev") {
  std::vector<SerialDevice> devices;
#if defined(_WIN32)
  (void)dev_root;
  for (const std::string& name : serial_detail::ComNames())
    devices.push_back({name, SerialKind::kBuiltIn, "", ""});
#else
  const std::string by_id = dev_root + "/serial/by-id";
  for (const std::string& name : serial_detail::Names(by_id, "")) {
    const std::string path = by_id + "/" + name;
    devices.push_back({path, SerialKind::kById, serial_detail::LinkTarget(path), ""});
  }
  const struct {
    const char* prefix;
    SerialKind kind;
  } groups[] = {{"ttyUSB", SerialKind::kUsb}, {"ttyACM", SerialKind::kAcm}, {"ttyS", SerialKind::kBuiltIn}};
  for (const auto& group : groups) {
    for (const std::string& name : serial_detail::Names(dev_root, group.prefix)) {
      const std::string path = dev_root + "/" + name;
      devices.push_back({path, group.kind, "", PosixComName(path)});
    }
  }
#endif
  return devices;
}

// ---- A device this user may not open ---------------------------------------

// The group owning `device` when joining it would let this user read and
// write the device (the group may, and the user is not in it yet); empty
// when joining a group is no help, or on Windows.
inline std::string GroupToJoin(const std::string& device) {
#if defined(_WIN32)
  (void)device;
  return {};
#else
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return {};
  if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return {};
  if (::getegid() == info.st_gid) return {};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    const int got = ::getgroups(count, groups.data());
    if (got > 0 && std::find(groups.begin(), groups.begin() + got, info.st_gid) != groups.begin() + got)
      return {};
  }
  const struct group* entry = ::getgrgid(info.st_gid);
  return entry != nullptr && entry->gr_name != nullptr ? entry->gr_name : "dialout";
#endif
}

// One line for a user who may not open `device`: to join `group` (and how)
// when that helps, else that permission is denied.
inline std::string AccessHint(const std::string& device, const std::string& group) {
  if (group.empty()) return "Permission denied for " + device + ": this user may not read and write it.";
  return "Permission denied for " + device + ": your user is not in the '" + group +
         "' group. Run: sudo usermod -aG " + group + " $USER, then log out and back in.";
}

}  // namespace korvel
