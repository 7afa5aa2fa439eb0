// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "protocol.h"

#include <ctime>

namespace korvel::service {

namespace {

struct RequestInfo {
  RequestKind kind;
  const char* name;
  bool names_reader;
};

constexpr RequestInfo kRequests[] = {
    {RequestKind::kReaders, "readers", false},
    {RequestKind::kSubscribe, "subscribe", false},
    {RequestKind::kUnsubscribe, "unsubscribe", false},
    {RequestKind::kInfo, "info", true},
    {RequestKind::kMode, "mode", true},
    {RequestKind::kSentinels, "sentinels", true},
    {RequestKind::kRead, "read", true},
    {RequestKind::kClaim, "claim", true},
    {RequestKind::kRelease, "release", true},
};

const RequestInfo& InfoOf(RequestKind kind) {
  for (const RequestInfo& info : kRequests)
    if (info.kind == kind) return info;
  return kRequests[0];
}

RequestError Bad(const Json& id, const std::string& request, const std::string& message) {
  return {id, request, "bad_argument", message};
}

}  // namespace

const char* RequestName(RequestKind kind) {
  return InfoOf(kind).name;
}

bool NamesReader(RequestKind kind) {
  return InfoOf(kind).names_reader;
}

std::variant<Request, RequestError> ParseRequest(std::string_view line) {
  const Json json = Json::parse(line, nullptr, false);
  if (json.is_discarded()) return RequestError{nullptr, "", "bad_json", "the line is not JSON"};
  if (!json.is_object()) return RequestError{nullptr, "", "not_object", "a request is a JSON object"};
  Request request;
  if (json.contains("id")) {
    request.id = json["id"];
    if (!request.id.is_string() && !request.id.is_number() && !request.id.is_null())
      return RequestError{nullptr, "", "bad_argument", "\"id\" must be a string or a number"};
  }
  const Json& id = request.id;
  if (!json.contains("request") || !json["request"].is_string())
    return RequestError{id, "", "no_request", "the object has no \"request\" text"};
  const std::string name = json["request"].get<std::string>();
  const RequestInfo* info = nullptr;
  for (const RequestInfo& candidate : kRequests)
    if (name == candidate.name) info = &candidate;
  if (info == nullptr)
    return RequestError{id, name, "unknown_request",
                        "unknown request \"" + name +
                            "\" (known: readers, subscribe, unsubscribe, info, mode, sentinels, read, claim, "
                            "release)"};
  request.kind = info->kind;
  if (info->names_reader) {
    if (!json.contains("reader") || !json["reader"].is_string() || json["reader"].get<std::string>().empty())
      return Bad(id, name, "\"reader\" must name a reader");
    request.reader = json["reader"].get<std::string>();
  }
  if (json.contains("reveal")) {
    if (!json["reveal"].is_boolean()) return Bad(id, name, "\"reveal\" must be true or false");
    request.reveal = json["reveal"].get<bool>();
  }
  switch (request.kind) {
    case RequestKind::kSubscribe:
    case RequestKind::kUnsubscribe:
      if (json.contains("readers")) {
        const Json& readers = json["readers"];
        bool good = readers.is_array();
        if (good)
          for (const Json& reader : readers) {
            good = good && reader.is_string() && !reader.get<std::string>().empty();
            if (good) request.readers.push_back(reader.get<std::string>());
          }
        if (!good) return Bad(id, name, "\"readers\" must be a list of reader names");
      }
      break;
    case RequestKind::kMode:
      if (json.contains("mode") && !json["mode"].is_null()) {
        const Json& mode = json["mode"];
        if (mode == "active")
          request.mode = KORVEL_MODE_ACTIVE;
        else if (mode == "command")
          request.mode = KORVEL_MODE_COMMAND;
        else
          return Bad(id, name, "\"mode\" must be \"active\" or \"command\"");
      }
      break;
    case RequestKind::kSentinels:
      if (json.contains("sentinels") && !json["sentinels"].is_null()) {
        std::string error = "must be a text";
        if (json["sentinels"].is_string())
          request.record = cli::ParseRecord(json["sentinels"].get<std::string>(), &error);
        if (!request.record) return Bad(id, name, "\"sentinels\": " + error);
      }
      break;
    default: break;
  }
  return request;
}

Json OkResult(const Request& request) {
  Json json;
  json["event"] = "result";
  json["request"] = RequestName(request.kind);
  json["id"] = request.id;
  json["ok"] = true;
  return json;
}

Json ErrorResult(const Json& id, const std::string& request, const std::string& error,
                 const std::string& message) {
  Json json;
  json["event"] = "result";
  json["request"] = request.empty() ? Json(nullptr) : Json(request);
  json["id"] = id;
  json["ok"] = false;
  json["error"] = error;
  json["message"] = message;
  return json;
}

Json ErrorResult(const RequestError& error) {
  return ErrorResult(error.id, error.request, error.error, error.message);
}

Json ErrorEvent(const std::string& error, const std::string& message) {
  return ErrorResult(nullptr, "", error, message);
}

Json StatusResult(const Request& request, int status) {
  Json json = ErrorResult(request.id, RequestName(request.kind), cli::InfoOf(cli::ExitOfStatus(status)).name,
                          request.reader + ": " + cli::StatusReason(status));
  if (status == KORVEL_OK) json["error"] = "failure";
  json["status"] = status;
  json["status_text"] = Korvel_StatusText(status);
  json["reason"] = cli::StatusReason(status);
  if (status >= 1 && status <= 255) json["error_byte"] = status;
  return json;
}

Json SwipeEvent(const SwipeRecord& swipe, bool reveal) {
  // The CLI's own swipe object supplies every field after "time", so that
  // they stay exactly what `korvel --json` prints.
  cli::Swipe decoded;
  decoded.status = swipe.status;
  if (swipe.status == KORVEL_OK)
    decoded =
        cli::DecodeSwipe(swipe.bytes.data(), swipe.bytes.size(), swipe.record, swipe.today_yymm, reveal);
  decoded.status = swipe.status;
  const Json cli_json = cli::SwipeJson(cli::Result{}, decoded);
  Json json;
  json["event"] = "swipe";
  json["reader"] = swipe.reader;
  json["seq"] = swipe.seq;
  json["time"] = swipe.time;
  if (swipe.follows) json["follows"] = *swipe.follows;
  for (const char* key : {"ok", "status", "status_text", "reason", "bytes", "raw", "card"})
    if (cli_json.contains(key)) json[key] = cli_json[key];
  return json;
}

Json ReaderEvent(const std::string& reader, const std::string& state, const std::string& reason) {
  Json json;
  json["event"] = "reader";
  json["reader"] = reader;
  json["state"] = state;
  json["reason"] = reason.empty() ? Json(nullptr) : Json(reason);
  return json;
}

Json DroppedEvent(uint64_t count) {
  Json json;
  json["event"] = "dropped";
  json["count"] = count;
  return json;
}

Json ClaimEvent(const std::string& reader, bool claimed) {
  Json json;
  json["event"] = claimed ? "claimed" : "released";
  json["reader"] = reader;
  return json;
}

std::string TimeText(int64_t unix_ms) {
  const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unix_ms % 1000));
  return text;
}

std::string Line(const Json& json) {
  return cli::JsonLine(json) + "\n";
}

}  // namespace korvel::service
