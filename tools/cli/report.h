/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// What `korvel` found out, and how it says so: the result of a command, a
// swipe, a probe step, each as text for people and as a JSON object for
// programs.  Plain functions of plain data, tested without a port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exit_codes.h"
#include "korvel.h"
#include "korvel/serial_devices.h"
#include "korvel_card.h"
#include "request.h"

namespace korvel::cli {

// Objects keep their fields in the order written.
using Json = nlohmann::ordered_json;

// One swipe, decoded.
struct Swipe {
  int number = 1;              // watch: 1, 2, ... in the order they came
  int status = KORVEL_OK;      // KORVEL_OK, or why there is no data (KORVEL_E_OVERFLOW)
  std::vector<uint8_t> bytes;  // as the reader sent them (the area's trailing zeros left out)
  Korvel_Card card{};          // decoded, masked unless revealed (card.revealed); not when bytes is empty
};

// What a swipe without bytes (or with zero bytes only) says.
inline constexpr char kNoCardData[] = "the reader sent no card data";

// One step of the probe's conversation.
struct Step {
  std::string name;  // stable: "query_mode", "identify", "set_active", ...
  int status = KORVEL_OK;
  std::string detail;  // what it found, for people ("command mode", "swipe 73 bytes")
};

// Everything a command found out; what it did not get to is left empty.
struct Result {
  Command command = Command::kPorts;
  std::string port;  // the port as given, or the simulated reader's; empty for ports
  bool simulated = false;
  uint32_t baud = 0;  // the host's rate

  Exit exit = Exit::kOk;
  std::optional<int> status;  // the library's status of the call that decided the outcome
  std::string step;           // the call that failed (a stable name, see StepWords)
  std::string reason;         // why, in words; empty on success
  std::optional<Korvel_OpenError> open_error;

  std::optional<uint8_t> mode;  // info, mode, probe: the mode byte; watch: the mode found
  bool mode_set = false;        // mode: set rather than queried
  std::optional<std::string> identification;
  std::optional<Swipe> swipe;         // read, probe
  std::optional<TrackRecord> record;  // sentinels: the record sent
  uint32_t new_baud = 0;              // baud: the rate asked for
  std::optional<uint32_t> answers_at;
  std::vector<SerialDevice> ports;  // ports
  int swipes = 0;                   // watch: swipes shown
  int invalid_swipes = 0;           // watch: swipes that were not valid cards (InvalidReason)
  bool interrupted = false;         // watch, probe: ended by a signal
  bool restored = false;            // watch: the mode found is set again
  std::vector<Step> steps;          // probe
  std::string sample_card;          // --simulate: the sample card swiped (read, probe)
};

// ---- Building results -----------------------------------------------------

// A failure of `step` with a library status: the exit class, the status and
// its reason in words.
void Fail(Result* result, const std::string& step, int status);

// A failed open: the library's reason (Korvel_GetOpenError) and, when the
// user may not open the device, what to do about it (`group_to_join`, see
// korvel::GroupToJoin).
void FailOpen(Result* result, const Korvel_OpenError& error, const std::string& group_to_join);

// baud: what the check of the new rate (Result::new_baud) found.
// `new_status`: the mode query at the new rate; `old_status`: the one at
// `old_baud` made after it failed (empty when none could be made).
void RateChecked(Result* result, uint32_t old_baud, int new_status, std::optional<int> old_status);

// Decodes one swipe with the record the reader was given, on `today_yymm`
// (KORVEL_CARD_NO_DATE for none), masked unless `reveal`.  The area's
// trailing zeros are left out; when nothing is left, nothing is decoded
// (kNoCardData).
Swipe DecodeSwipe(const uint8_t* bytes, size_t count, const TrackRecord& record, uint32_t today_yymm,
                  bool reveal);

// Why `swipe` is not a valid card, in words: no data (its status),
// kNoCardData, or the checks that failed; empty for a valid card.
std::string InvalidReason(const Swipe& swipe);

// --require-valid found an invalid card (exit 8): `reason` says why.
void FailInvalid(Result* result, const std::string& reason);

// ---- Words --------------------------------------------------------------------

// Why a library status is not success, in words: the reader's error byte for
// a refusal, else the library's status text.
std::string StatusReason(int status);
// What a step does, for messages: "querying the mode".
std::string StepWords(const std::string& step);
// "active", "command", or "unknown" for any other mode byte.
const char* ModeName(uint8_t mode);
// The stable name of a KORVEL_OPEN_* reason: "ok", "argument", "baud",
// "absent", "busy", "permission", "not_serial", "config", "system", "network".
const char* OpenReasonName(int reason);
// Bytes for a terminal or a JSON string: printable ASCII as it is, \r \n \t,
// \\ and \xHH for the rest.
std::string Printable(const uint8_t* bytes, size_t count);
// The bytes of a Printable (or RecordText) text; empty with nothing parsed
// for a text that is not one (a lone '\\', a bad escape).
std::optional<std::vector<uint8_t>> FromPrintable(const std::string& text);
// "10 s", "1.5 s".
std::string SecondsText(int64_t ms);

// ---- For people -----------------------------------------------------------

// The card's fields, its tracks and every check with its reason.
std::string CardText(const Korvel_Card& card);
// A swipe: a heading line for watch ("Swipe 2: 73 bytes"), the raw bytes
// when revealed, then CardText.
std::string SwipeText(const Swipe& swipe, bool heading);
// One probe step: "Query mode                  ok: command mode".
std::string StepText(const Step& step);
// What a command found, for standard output (also the part a failed
// command found); empty when there is nothing to say.
std::string ResultText(const Result& result);
// Why a command failed, for standard error; empty on success.
std::string ErrorText(const Result& result);

// ---- For programs -----------------------------------------------------------

Json CardJson(const Korvel_Card& card);
// One watch swipe: "event": "swipe" (see the README's JSON section).
Json SwipeJson(const Result& context, const Swipe& swipe);
// The command's result: "event": "result".
Json ResultJson(const Result& result);
// A usage error: "event": "result" with exit code 2 and the message as the
// reason; `command` may be empty (none named).
Json UsageErrorJson(const std::string& command, const std::string& message);
// One line of JSON (no newline); bytes that are not UTF-8 are replaced.
std::string JsonLine(const Json& json);

}  // namespace korvel::cli
