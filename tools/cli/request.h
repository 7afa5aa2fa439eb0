/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// What `korvel` was asked to do: the command line read into a Request, with
// every check that needs no port.  Plain functions, tested without a process.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/rates.h"

namespace korvel::cli {

enum class Command { kPorts, kProbe, kInfo, kMode, kRead, kWatch, kSentinels, kBaud };

// The command's name on the command line and in JSON ("ports", "probe", ...).
const char* CommandName(Command command);

// The eight-byte track output settings record (korvel.h, Korvel_SetTrack).
using TrackRecord = std::array<uint8_t, 8>;

// The reader's own record, and the dialog's defaults: % ? ; ? + ?, '7', the
// Enter mark on (KORVEL_TRACK_DEFAULT).
inline constexpr TrackRecord kDefaultRecord = {'%', '?', ';', '?', '+', '?', '7', '1'};

// One sentinel as an option gives it: one character ("%"), "0xHH" for any
// byte, or "none" for no sentinel (0).  Empty on anything else, the empty
// text included.
std::optional<uint8_t> ParseSentinel(std::string_view text);

// The compact form of --sentinels: the six sentinels in the record's order
// ("%?;?+?"), or the whole record ("%?;?+?71": byte 7 is '7', byte 8 the
// Enter mark '1' or '0').  The Enter mark of a six-character form is on.
// Empty with `error` set on anything else.
std::optional<TrackRecord> ParseRecord(std::string_view text, std::string* error);

// A rate of the reader ("9600"), or empty.
std::optional<uint32_t> ParseRate(std::string_view text);

// The limits of --count and --timeout.
inline constexpr int kMaxCount = 1000000;
inline constexpr int kMaxTimeoutSeconds = 86400;  // a day

// Milliseconds of a --timeout in seconds ("2", "0.5"), or empty for anything
// that is not a number of seconds above 0 and at most kMaxTimeoutSeconds.
std::optional<int64_t> ParseSeconds(std::string_view text);

// True for a port name of the raw TCP scheme ("tcp://HOST:PORT", any case):
// the port server keeps its own line rate there.
bool IsRawTcpPort(std::string_view port);

struct Request {
  Command command = Command::kPorts;
  std::string port;  // empty with --simulate (and for ports)
  bool simulate = false;
  uint32_t baud = kDefaultBaud;  // the host's line rate (--baud)
  bool json = false;
  bool reveal = false;
  std::optional<size_t> card;           // --card: index into the simulator's sample cards
  std::optional<uint8_t> mode;          // mode: KORVEL_MODE_ACTIVE / _COMMAND to set; empty: query
  uint32_t new_baud = 0;                // baud: the reader's new rate
  TrackRecord record = kDefaultRecord;  // sentinels: sent; read, watch, probe: for decoding
  int count = 0;                        // watch: stop after this many swipes (0: no limit)
  int64_t timeout_ms = -1;              // watch: -1 none; probe: the wait for a swipe
  bool require_valid = false;           // read, watch, probe: an invalid card is exit 8
};

// The probe's wait for a swipe unless --timeout says otherwise.
inline constexpr int64_t kProbeTimeoutMs = 10000;

struct Parsed {
  enum class Kind { kRun, kHelp, kVersion, kUsageError };
  Kind kind = Kind::kUsageError;
  Request request;
  std::string text;     // kHelp: the help text; kUsageError: the message, one line
  std::string command;  // the command named on the line, if any
  bool json = false;    // --json was given (a usage error is then reported in JSON too)
};

struct ParseContext {
  bool have_simulator = true;             // this build has --simulate
  std::vector<std::string> sample_cards;  // the keys of the sample cards --card chooses from
  bool have_service = true;               // this build reaches korveld (not on Windows)
};

// Reads the command line (without the program's name).
Parsed ParseArguments(const std::vector<std::string>& args, const ParseContext& context);

// A byte of the record as text: itself when printable (and not '\\'), else
// \xHH.
std::string ByteText(uint8_t b);

// The record as text, byte by byte ("%?;?+?71").
std::string RecordText(const TrackRecord& record);

// A sentinel for people: 'c', "none" for 0, or 0xHH.
std::string SentinelText(uint8_t sentinel);

}  // namespace korvel::cli
