// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The fault table and the fault command's words, read and written.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "korvel_sim.h"
#include "text.h"

namespace korvel::sim {
namespace {

constexpr unsigned long kMaxDelayMs = 600000;
constexpr unsigned long kMaxBurstBytes = 65536;

constexpr std::array<FaultInfo, 9> kFaults = {{
    {Fault::kNone, "none", "None: answer correctly", "answer every command correctly", FaultArgument::kNone,
     ""},
    {Fault::kSilent, "silent", "Silent: answer nothing", "answer nothing (and carry nothing out)",
     FaultArgument::kNone, ""},
    {Fault::kSlow, "slow", "Slow: answer late", "answer after MS milliseconds", FaultArgument::kNumber, "MS"},
    {Fault::kCutShort, "cut", "Cut short: drop the reply's end", "leave the last N bytes off each reply",
     FaultArgument::kNumber, "N"},
    {Fault::kNoise, "noise", "Noise: a stray byte first", "send these bytes before each reply",
     FaultArgument::kHexBytes, "HEX.."},
    {Fault::kRefuse, "refuse", "Refuse: answer 'N'", "refuse every command with this error byte",
     FaultArgument::kHexByte, "HEX"},
    {Fault::kBurst, "burst", "Burst: next swipe over 300 bytes",
     "the next swipe in active mode sends N bytes", FaultArgument::kNumber, "N"},
    {Fault::kHangUp, "hangup", "Hang up: close the line", "hang up when the next command arrives",
     FaultArgument::kNone, ""},
    {Fault::kModeByte, "mode", "Mode query: answer with '2'",
     "answer the mode query with this byte, or with no data", FaultArgument::kHexByteOrNone, "HEX|none"},
}};

// The table is in the enumeration's order: InfoOf indexes it.
constexpr bool InEnumOrder() {
  for (size_t i = 0; i < kFaults.size(); ++i)
    if (static_cast<size_t>(kFaults[i].fault) != i) return false;
  return true;
}
static_assert(InEnumOrder());

bool ParseNumber(const std::string& s, unsigned long* value) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

std::span<const FaultInfo> FaultTable() {
  return kFaults;
}

const FaultInfo& InfoOf(Fault fault) {
  const auto i = static_cast<size_t>(fault);
  return i < kFaults.size() ? kFaults[i] : kFaults[0];
}

const char* FaultName(Fault fault) {
  return InfoOf(fault).name;
}

std::string FaultArgumentText(const FaultSettings& s) {
  switch (s.fault) {
    case Fault::kSlow: return std::to_string(s.delay_ms);
    case Fault::kCutShort: return std::to_string(s.cut_bytes);
    case Fault::kNoise: return Hex(s.noise);
    case Fault::kRefuse: return Hex({s.error_byte});
    case Fault::kBurst: return std::to_string(s.burst_bytes);
    case Fault::kModeByte: return s.mode_byte ? Hex({*s.mode_byte}) : "none";
    default: return "";
  }
}

std::string DescribeFault(const FaultSettings& settings) {
  const std::string argument = FaultArgumentText(settings);
  return std::string(FaultName(settings.fault)) + (argument.empty() ? "" : " " + argument);
}

bool ParseFault(std::string_view text, FaultSettings* settings, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  const std::vector<std::string> w = Words(text);
  const auto info = std::find_if(kFaults.begin(), kFaults.end(),
                                 [&](const FaultInfo& f) { return !w.empty() && w[0] == f.name; });
  if (info == kFaults.end()) {
    std::string names;
    for (const FaultInfo& f : kFaults) names += std::string(names.empty() ? "" : ", ") + f.name;
    *error = (w.empty() ? std::string("which fault?") : "unknown fault '" + w[0].substr(0, 40) + "'") + " (" +
             names + ")";
    return false;
  }
  FaultSettings f;
  f.fault = info->fault;
  const std::vector<std::string> args(w.begin() + 1, w.end());
  const std::string usage =
      std::string("write 'fault ") + info->name +
      (info->argument == FaultArgument::kNone ? "'" : std::string(" [") + info->argument_name + "]'");
  const size_t most = info->argument == FaultArgument::kHexBytes ? args.size()
                      : info->argument == FaultArgument::kNone   ? 0
                                                                 : 1;
  if (args.size() > most) {
    *error = "too many words: " + usage;
    return false;
  }
  if (!args.empty()) {
    bool ok = true;
    unsigned long n = 0;
    std::vector<uint8_t> bytes;
    switch (info->argument) {
      case FaultArgument::kNumber:
        ok = ParseNumber(args[0], &n);
        if (f.fault == Fault::kSlow) f.delay_ms = static_cast<int>(std::min(n, kMaxDelayMs));
        if (f.fault == Fault::kCutShort) f.cut_bytes = n;
        if (f.fault == Fault::kBurst) f.burst_bytes = std::min(n, kMaxBurstBytes);
        break;
      case FaultArgument::kHexBytes: ok = ParseHexBytes(args, &f.noise); break;
      case FaultArgument::kHexByte:
        ok = ParseHexBytes(args, &bytes) && bytes.size() == 1;
        if (ok) f.error_byte = bytes[0];
        break;
      case FaultArgument::kHexByteOrNone:
        if (args[0] == "none") {
          f.mode_byte.reset();
        } else {
          ok = ParseHexBytes(args, &bytes) && bytes.size() == 1;
          if (ok) f.mode_byte = bytes[0];
        }
        break;
      case FaultArgument::kNone: break;
    }
    if (!ok) {
      std::string given;
      for (const std::string& a : args) given += (given.empty() ? "" : " ") + a;
      *error = "'" + given.substr(0, 40) + "' is not a " +
               (info->argument == FaultArgument::kNumber ? "number" : "hex byte") + ": " + usage;
      return false;
    }
  }
  *settings = std::move(f);
  return true;
}

}  // namespace korvel::sim
