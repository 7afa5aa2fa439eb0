/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// `korvel wedge PORT`: each swipe typed into the window that has the focus,
// from a template (tools/wedge/wedge.h), safe by default.  Its command line
// is read here, apart from the other commands'; korvel.cpp hands it over when
// the command named is wedge.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "request.h"
#include "typist.h"
#include "wedge.h"

namespace korvel::cli {

// The command's name and its line in `korvel --help`'s list of commands.
inline constexpr char kWedgeName[] = "wedge";
inline constexpr char kWedgeSummary[] = "type each swipe into the window with the focus";

struct WedgeRequest {
  std::string port;     // empty with --simulate or --service
  std::string service;  // --service: the reader's name in korveld
  std::string socket;   // --socket: the service's socket (ServiceSocket's default when empty)
  bool simulate = false;
  std::optional<size_t> card;  // --card: index into the simulator's sample cards
  uint32_t baud = kDefaultBaud;
  TrackRecord record = kDefaultRecord;  // --sentinels: for decoding
  std::string template_text = wedge::kDefaultTemplate;
  wedge::Template templ;
  bool allow_payment_data = false;
  int key_delay_ms = wedge::kDefaultKeyDelayMs;
  int count = 0;            // stop after this many swipes (0: no limit)
  int64_t timeout_ms = -1;  // -1: none
};

struct WedgeParsed {
  enum class Kind { kRun, kHelp, kUsageError };
  Kind kind = Kind::kUsageError;
  WedgeRequest request;
  std::string text;  // kHelp: the help; kUsageError: the message, one line
};

// True when the command named on the line (the first argument that is
// neither an option nor an option's value) is "wedge".
bool IsWedgeCommand(const std::vector<std::string>& args);

// Reads the wedge's command line (without the program's name).
WedgeParsed ParseWedgeArguments(const std::vector<std::string>& args, const ParseContext& context);

// Where the wedge says what it does: one line each, for people and logs.
// Card data in it is always masked.
using WedgeLog = std::function<void(const std::string& line)>;

// One swipe (its number, the library's status, the bytes) typed by
// `request`'s template or refused, and logged.  False with `error` set when
// the keys could not be sent.
bool TypeSwipe(const WedgeRequest& request, int number, int status, const uint8_t* bytes, size_t count,
               const TrackRecord& record, wedge::Typist& typist, const WedgeLog& log, std::string* error);

// Runs the wedge on the swipes korveld serves for `request.service` (it
// subscribes with reveal: the service grants that to its reveal_groups
// only), until --count swipes, --timeout, `stop` or the service goes.
// Returns the exit code.
int RunWedgeFromService(const WedgeRequest& request, wedge::Typist& typist, const WedgeLog& log,
                        const std::atomic<bool>& stop);

// Runs the wedge on `port` with `typist` until --count swipes, --timeout or
// `stop`; restores the reader's mode.  A refused swipe is logged and shown as
// a desktop notification where one can be (notify-send).  Returns the exit code.
int RunWedge(const WedgeRequest& request, const std::string& port, Swiper* swiper, wedge::Typist& typist,
             const WedgeLog& log, const std::atomic<bool>& stop);

}  // namespace korvel::cli
