/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The clients' protocol (korveld(8)): one JSON object a line each way.
// Requests are read here, and every object a client receives (results,
// errors, events) is built here, with the field names of `korvel --json`.
// Pure: no sockets, no clock of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "report.h"

namespace korvel::service {

using cli::Json;

// The longest request line, newline excluded.
inline constexpr size_t kMaxLine = 64 * 1024;

enum class RequestKind {
  kReaders,
  kSubscribe,
  kUnsubscribe,
  kInfo,
  kMode,
  kSentinels,
  kRead,
  kClaim,
  kRelease
};

// The request's name in the protocol ("readers", "subscribe", ...).
const char* RequestName(RequestKind kind);
// Whether the request names one reader (`"reader"` is required).
bool NamesReader(RequestKind kind);

struct Request {
  RequestKind kind = RequestKind::kReaders;
  Json id;                                 // echoed in the result; null when not given
  std::vector<std::string> readers;        // subscribe, unsubscribe: empty for all
  std::string reader;                      // info, mode, sentinels, read, claim, release
  bool reveal = false;                     // subscribe, read
  std::optional<uint8_t> mode;             // mode: KORVEL_MODE_ACTIVE/COMMAND to set; empty: query
  std::optional<cli::TrackRecord> record;  // sentinels: to send; empty: query
};

// What was wrong with a request line.
struct RequestError {
  Json id;              // the request's id when it could be read
  std::string request;  // its name when it could be read
  std::string error;    // stable: bad_json, not_object, no_request, unknown_request, bad_argument
  std::string message;  // in words
};

std::variant<Request, RequestError> ParseRequest(std::string_view line);

// ---- What clients receive ----------------------------------------------------

// {"event":"result","request":NAME,"id":ID,"ok":true}; the caller adds the
// request's fields.
Json OkResult(const Request& request);
// {"event":"result","request":NAME,"id":ID,"ok":false,"error":ERROR,"message":TEXT}.
// `request` may be empty (not known).
Json ErrorResult(const Json& id, const std::string& request, const std::string& error,
                 const std::string& message);
Json ErrorResult(const RequestError& error);
// An error that belongs to no request (a line over the limit, the last word
// before a disconnect): "request" and "id" null.
Json ErrorEvent(const std::string& error, const std::string& message);

// A reader's failure of a command: the library's status, with the error
// names and fields of `korvel --json` ("no_answer", "refused", ...,
// "status", "status_text", "reason").
Json StatusResult(const Request& request, int status);

// One swipe of a reader, as subscribers get it.
struct SwipeRecord {
  std::string reader;
  uint64_t seq = 0;
  std::string time;  // UTC, ISO 8601 with milliseconds
  int status = KORVEL_OK;
  std::vector<uint8_t> bytes;
  cli::TrackRecord record = cli::kDefaultRecord;  // what the bytes are decoded with
  uint32_t today_yymm = KORVEL_CARD_NO_DATE;
  std::optional<uint64_t> follows;  // trailing bytes: the seq of the swipe they came after
  int64_t ended_ns = 0;             // when its last byte came, by the worker's steady clock (0: unknown)
};

// {"event":"swipe","reader":..,"seq":..,"time":..,"ok":..,"status":..,
//  "status_text":..,"reason":..,"bytes":..,"card":{..}} with the card decoded
// and masked exactly as `korvel --json` shows it, in full only with `reveal`;
// "follows" when set.
Json SwipeEvent(const SwipeRecord& swipe, bool reveal);

// {"event":"reader","reader":NAME,"state":STATE,"reason":TEXT|null}.
Json ReaderEvent(const std::string& reader, const std::string& state, const std::string& reason);
// {"event":"dropped","count":N}.
Json DroppedEvent(uint64_t count);
// {"event":"claimed"|"released","reader":NAME}: another client took the reader
// (its swipes no longer reach this client) or gave it back.
Json ClaimEvent(const std::string& reader, bool claimed);

// The UTC time of `unix_ms` as "2026-12-07T20:55:01.123Z".
std::string TimeText(int64_t unix_ms);

// One line for the socket: the object and "\n".
std::string Line(const Json& json);

}  // namespace korvel::service
