// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "report.h"

#include <cctype>

#include <cstdio>
#include <cstring>

namespace korvel::cli {

namespace {

struct StepName {
  const char* name;
  const char* words;  // for messages
  const char* title;  // for the probe's lines
};

const StepName kSteps[] = {
    {"open", "opening the port", "Open the port"},
    {"query_mode", "querying the mode", "Query mode"},
    {"identify", "reading the identification text", "Identification text"},
    {"set_active", "setting active mode", "Switch to active mode"},
    {"set_command", "setting command mode", "Back to command mode"},
    {"read_data", "reading the card data", "Read card data"},
    {"wait_swipe", "waiting for a swipe", "Card data"},
    {"set_track", "sending the track settings", "Send track settings"},
    {"set_rate", "changing the reader's rate", "Change the rate"},
    {"check_rate", "checking the rate the reader answers at", "Check the new rate"},
    {"restore_mode", "restoring the reader's mode", "Restore the mode"},
    {"output", "writing to standard output", "Write the output"},
    {"check_card", "checking the card", "Check the card"},
};

const StepName* FindStep(const std::string& name) {
  for (const StepName& step : kSteps)
    if (name == step.name) return &step;
  return nullptr;
}

// nlohmann's null for an empty text.
Json TextOrNull(const char* text) {
  return text[0] == '\0' ? Json(nullptr) : Json(text);
}

std::string Line(const char* label, const std::string& value) {
  char head[32];
  std::snprintf(head, sizeof head, "%-15s ", label);
  return head + value + "\n";
}

const char* TrackStatusName(int status) {
  switch (status) {
    case KORVEL_TRACK_OK: return "ok";
    case KORVEL_TRACK_MALFORMED: return "malformed";
    default: return "absent";
  }
}

const char* ProblemName(int problem) {
  switch (problem) {
    case KORVEL_PROBLEM_NO_END_SENTINEL: return "no_end_sentinel";
    case KORVEL_PROBLEM_EMPTY: return "empty";
    case KORVEL_PROBLEM_CHARACTERS: return "characters";
    case KORVEL_PROBLEM_TOO_LONG: return "too_long";
    default: return "none";
  }
}

const char* CheckResultName(int result) {
  switch (result) {
    case KORVEL_CHECK_PASSED: return "passed";
    case KORVEL_CHECK_FAILED: return "failed";
    default: return "not_applicable";
  }
}

std::string IdentificationText(const std::string& text) {
  return Printable(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

Json IdentificationJson(const std::optional<std::string>& text) {
  return text ? Json(IdentificationText(*text)) : Json(nullptr);
}

Json ModeJson(const std::optional<uint8_t>& mode) {
  return mode ? Json(ModeName(*mode)) : Json(nullptr);
}

// The fields of a swipe that a result or a swipe event carries.
void AddSwipe(Json* json, const std::optional<Swipe>& swipe) {
  if (!swipe || swipe->status != KORVEL_OK) {
    (*json)["bytes"] = nullptr;
    (*json)["card"] = nullptr;
  } else {
    (*json)["bytes"] = swipe->bytes.size();
    if (swipe->card.revealed) (*json)["raw"] = Printable(swipe->bytes.data(), swipe->bytes.size());
    (*json)["card"] = swipe->bytes.empty() ? Json(nullptr) : CardJson(swipe->card);
  }
  const std::string invalid = swipe ? InvalidReason(*swipe) : std::string();
  (*json)["valid"] = swipe ? Json(invalid.empty()) : Json(nullptr);
  (*json)["invalid_reason"] = invalid.empty() ? Json(nullptr) : Json(invalid);
}

}  // namespace

// ---- Building results -------------------------------------------------------

void Fail(Result* result, const std::string& step, int status) {
  result->exit = ExitOfStatus(status);
  if (result->exit == Exit::kOk) result->exit = Exit::kFailure;
  result->status = status;
  result->step = step;
  result->reason = StatusReason(status);
}

void FailOpen(Result* result, const Korvel_OpenError& error, const std::string& group_to_join) {
  result->exit = Exit::kOpenFailed;
  result->status.reset();
  result->step = "open";
  result->open_error = error;
  if (error.reason == KORVEL_OPEN_PERMISSION)
    result->reason = AccessHint(error.device, group_to_join);
  else if (error.text[0] != '\0')
    result->reason = error.text;
  else
    result->reason = std::string("the port could not be opened (") + OpenReasonName(error.reason) + ")";
}

void RateChecked(Result* result, uint32_t old_baud, int new_status, std::optional<int> old_status) {
  if (new_status == KORVEL_OK) {
    result->answers_at = result->new_baud;
    return;
  }
  Fail(result, "check_rate", new_status);
  if (result->exit == Exit::kDisconnected) return;
  result->exit = Exit::kNoAnswer;
  result->reason = "the reader did not answer at " + std::to_string(result->new_baud) + " baud (" +
                   StatusReason(new_status) + ")";
  if (old_status == KORVEL_OK) {
    result->answers_at = old_baud;
    result->reason += "; it still answers at " + std::to_string(old_baud) + " baud";
  } else {
    result->reason += ", nor at " + std::to_string(old_baud) + " baud";
  }
}

Swipe DecodeSwipe(const uint8_t* bytes, size_t count, const TrackRecord& record, uint32_t today_yymm,
                  bool reveal) {
  Swipe swipe;
  while (count > 0 && bytes[count - 1] == 0) --count;
  swipe.bytes.assign(bytes, bytes + count);
  if (swipe.bytes.empty()) return swipe;
  const int status = Korvel_DecodeCard(swipe.bytes.data(), swipe.bytes.size(), record.data(), today_yymm,
                                       reveal ? KORVEL_CARD_REVEAL : 0u, &swipe.card);
  if (status != KORVEL_OK) swipe.status = status;
  return swipe;
}

std::string InvalidReason(const Swipe& swipe) {
  if (swipe.status != KORVEL_OK) return StatusReason(swipe.status);
  if (swipe.bytes.empty()) return kNoCardData;
  std::string failed;
  int count = 0;
  for (int i = 0; i < swipe.card.check_count && i < KORVEL_CARD_CHECKS; ++i) {
    if (swipe.card.check[i].result != KORVEL_CHECK_FAILED) continue;
    failed += std::string(count++ > 0 ? ", " : "") + swipe.card.check[i].name;
  }
  if (count == 0) return {};
  return "the card failed " + std::to_string(count) + (count == 1 ? " check: " : " checks: ") + failed;
}

void FailInvalid(Result* result, const std::string& reason) {
  result->exit = Exit::kCardInvalid;
  result->status.reset();
  result->step = "check_card";
  result->reason = reason;
}

// ---- Words ------------------------------------------------------------------

std::string StatusReason(int status) {
  if (status >= 1 && status <= 255) {
    char text[80];
    std::snprintf(text, sizeof text, "the reader refused the command with error byte 0x%02X", status);
    return text;
  }
  return Korvel_StatusText(status);
}

std::string StepWords(const std::string& step) {
  const StepName* found = FindStep(step);
  return found != nullptr ? found->words : step;
}

const char* ModeName(uint8_t mode) {
  if (mode == KORVEL_MODE_ACTIVE) return "active";
  if (mode == KORVEL_MODE_COMMAND) return "command";
  return "unknown";
}

const char* OpenReasonName(int reason) {
  switch (reason) {
    case KORVEL_OPEN_OK: return "ok";
    case KORVEL_OPEN_ARGUMENT: return "argument";
    case KORVEL_OPEN_BAUD: return "baud";
    case KORVEL_OPEN_ABSENT: return "absent";
    case KORVEL_OPEN_BUSY: return "busy";
    case KORVEL_OPEN_PERMISSION: return "permission";
    case KORVEL_OPEN_NOT_SERIAL: return "not_serial";
    case KORVEL_OPEN_CONFIG: return "config";
    case KORVEL_OPEN_NETWORK: return "network";
    default: return "system";
  }
}

std::optional<std::vector<uint8_t>> FromPrintable(const std::string& text) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes.push_back(static_cast<uint8_t>(text[i]));
      continue;
    }
    if (++i >= text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\': bytes.push_back('\\'); break;
      case 'r': bytes.push_back('\r'); break;
      case 'n': bytes.push_back('\n'); break;
      case 't': bytes.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !std::isxdigit(static_cast<unsigned char>(text[i + 2])))
          return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
        i += 2;
        break;
      }
      default: return std::nullopt;
    }
  }
  return bytes;
}

std::string Printable(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    if (b == '\\') {
      text += "\\\\";
    } else if (b == '\r') {
      text += "\\r";
    } else if (b == '\n') {
      text += "\\n";
    } else if (b == '\t') {
      text += "\\t";
    } else if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", b);
      text += escape;
    }
  }
  return text;
}

std::string SecondsText(int64_t ms) {
  char text[32];
  if (ms % 1000 == 0)
    std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(ms / 1000));
  else
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
  return text;
}

// ---- For people ---------------------------------------------------------------

std::string CardText(const Korvel_Card& card) {
  std::string text;
  if (card.account_track != 0) {
    text +=
        Line("Account", std::string(card.account) + "  (track " + std::to_string(card.account_track) + ")");
    if (card.name[0] != '\0') text += Line("Name", card.name);
    if (card.expiration[0] != '\0') {
      const std::string yymm = card.expiration;
      text += Line("Expiration", yymm.substr(2, 2) + "/" + yymm.substr(0, 2) + "  (YYMM " + yymm + ")");
    }
    if (card.service_code[0] != '\0') text += Line("Service code", card.service_code);
  } else {
    text += Line("Account", "none: no track has the account layout");
  }
  for (int t = 0; t < 3; ++t) {
    const Korvel_CardTrack& track = card.track[t];
    const std::string label = "Track " + std::to_string(t + 1);
    if (track.status == KORVEL_TRACK_ABSENT) {
      text += Line(label.c_str(), "absent");
      continue;
    }
    text += Line(label.c_str(), std::string(TrackStatusName(track.status)) + ": " + track.reason);
    text += Line("", track.text);
  }
  int passed = 0, failed = 0, not_applicable = 0;
  for (int i = 0; i < card.check_count && i < KORVEL_CARD_CHECKS; ++i) {
    const int result = card.check[i].result;
    (result == KORVEL_CHECK_PASSED ? passed : result == KORVEL_CHECK_FAILED ? failed : not_applicable)++;
  }
  text += Line("Checks", std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " +
                             std::to_string(not_applicable) + " not applicable");
  for (int i = 0; i < card.check_count && i < KORVEL_CARD_CHECKS; ++i) {
    const Korvel_CardCheck& check = card.check[i];
    const char* mark = check.result == KORVEL_CHECK_PASSED   ? "pass"
                       : check.result == KORVEL_CHECK_FAILED ? "FAIL"
                                                             : "n/a ";
    char line[KORVEL_CARD_CHECK_NAME + KORVEL_CARD_REASON + 16];
    std::snprintf(line, sizeof line, "  %s  %-21s %s\n", mark, check.name, check.reason);
    text += line;
  }
  return text;
}

std::string SwipeText(const Swipe& swipe, bool heading) {
  std::string text;
  if (heading) {
    text += "Swipe " + std::to_string(swipe.number) + ": ";
    if (swipe.status != KORVEL_OK)
      text += "no data: " + StatusReason(swipe.status) + "\n";
    else if (swipe.bytes.empty())
      text += std::string(kNoCardData) + "\n";
    else
      text += std::to_string(swipe.bytes.size()) + " bytes\n";
  }
  if (swipe.status != KORVEL_OK) return text;
  if (swipe.bytes.empty()) return heading ? text : Line("Card data", std::string("none: ") + kNoCardData);
  if (swipe.card.revealed) text += Line("Raw", Printable(swipe.bytes.data(), swipe.bytes.size()));
  return text + CardText(swipe.card);
}

std::string StepText(const Step& step) {
  const StepName* found = FindStep(step.name);
  char head[40];
  std::snprintf(head, sizeof head, "%-27s ", found != nullptr ? found->title : step.name.c_str());
  std::string text = head;
  text += step.status == KORVEL_OK ? "ok" : "failed: " + StatusReason(step.status);
  if (!step.detail.empty()) text += (step.status == KORVEL_OK ? ": " : "; ") + step.detail;
  return text + "\n";
}

std::string ResultText(const Result& result) {
  std::string text;
  switch (result.command) {
    case Command::kPorts:
      for (const SerialDevice& device : result.ports) {
        text += device.path;
        if (!device.target.empty()) text += " -> " + device.target;
        if (!device.com_name.empty()) text += "  (" + device.com_name + ")";
        text += "\n";
      }
      if (result.simulated) text += result.port + "  (the simulated reader, while korvel runs)\n";
      break;
    case Command::kInfo:
      if (result.mode) text += Line("Mode:", ModeName(*result.mode));
      if (result.identification) text += Line("Identification:", IdentificationText(*result.identification));
      break;
    case Command::kMode:
      if (result.mode)
        text += Line("Mode:", std::string(ModeName(*result.mode)) + (result.mode_set ? " (set)" : ""));
      break;
    case Command::kRead:
      if (result.swipe) text += SwipeText(*result.swipe, false);
      break;
    case Command::kProbe:
      if (result.exit == Exit::kOk || result.exit == Exit::kCardInvalid) text += "The reader answers.\n";
      break;
    case Command::kWatch: break;
    case Command::kSentinels:
      if (result.record && result.exit == Exit::kOk) {
        const TrackRecord& r = *result.record;
        text += Line("Track settings:", RecordText(r) + "  (sent)");
        for (int t = 0; t < 3; ++t)
          text += Line(("  track " + std::to_string(t + 1)).c_str(),
                       "start " + SentinelText(r[2 * t]) + ", end " + SentinelText(r[2 * t + 1]));
        text += Line("  Enter mark", r[7] == '1' ? "on (CR LF after each track)" : "off");
      }
      break;
    case Command::kBaud:
      if (result.exit == Exit::kOk)
        text += "The reader answers at " + std::to_string(result.new_baud) +
                " baud now: reach it with --baud " + std::to_string(result.new_baud) + ".\n";
      break;
  }
  return text;
}

std::string ErrorText(const Result& result) {
  // An interrupted command was ended by its user; its notes say where it stopped.
  if (result.exit == Exit::kOk || result.exit == Exit::kInterrupted) return {};
  if (result.step == "open") return "korvel: cannot open the port: " + result.reason + "\n";
  std::string where = "korvel: ";
  if (!result.port.empty()) where += result.port + ": ";
  if (result.step.empty()) return where + result.reason + "\n";
  return where + StepWords(result.step) + ": " + result.reason + "\n";
}

// ---- For programs -------------------------------------------------------------

Json CardJson(const Korvel_Card& card) {
  Json json;
  json["revealed"] = card.revealed != 0;
  json["account_track"] = card.account_track != 0 ? Json(card.account_track) : Json(nullptr);
  json["account"] = TextOrNull(card.account);
  json["name"] = TextOrNull(card.name);
  json["surname"] = TextOrNull(card.surname);
  json["given_name"] = TextOrNull(card.given_name);
  json["expiration"] = TextOrNull(card.expiration);
  json["service_code"] = TextOrNull(card.service_code);
  json["format_code"] = TextOrNull(card.format_code);
  json["stray_bytes"] = card.stray_bytes;
  Json tracks = Json::object();
  for (int t = 0; t < 3; ++t) {
    const Korvel_CardTrack& track = card.track[t];
    Json item;
    item["status"] = TrackStatusName(track.status);
    if (track.status != KORVEL_TRACK_ABSENT) {
      item["problem"] = ProblemName(track.problem);
      item["reason"] = track.reason;
      item["length"] = track.length;
      item["text"] = track.text;
      item["account_layout"] = track.account_layout != 0;
      item["format_code"] = TextOrNull(track.format_code);
      item["account"] = TextOrNull(track.account);
      item["name"] = TextOrNull(track.name);
      item["expiration"] = TextOrNull(track.expiration);
      item["service_code"] = TextOrNull(track.service_code);
      item["discretionary"] = TextOrNull(track.discretionary);
    }
    tracks["track" + std::to_string(t + 1)] = item;
  }
  json["tracks"] = tracks;
  Json checks = Json::object();
  int passed = 0, failed = 0;
  for (int i = 0; i < card.check_count && i < KORVEL_CARD_CHECKS; ++i) {
    const Korvel_CardCheck& check = card.check[i];
    checks[check.name] = {{"result", CheckResultName(check.result)}, {"reason", check.reason}};
    passed += check.result == KORVEL_CHECK_PASSED;
    failed += check.result == KORVEL_CHECK_FAILED;
  }
  json["checks"] = checks;
  json["checks_passed"] = passed;
  json["checks_failed"] = failed;
  return json;
}

Json SwipeJson(const Result& context, const Swipe& swipe) {
  Json json;
  json["event"] = "swipe";
  json["command"] = CommandName(context.command);
  json["port"] = context.port;
  json["simulated"] = context.simulated;
  json["swipe"] = swipe.number;
  json["ok"] = swipe.status == KORVEL_OK;
  json["status"] = swipe.status;
  json["status_text"] = Korvel_StatusText(swipe.status);
  json["reason"] = swipe.status == KORVEL_OK ? Json(nullptr) : Json(StatusReason(swipe.status));
  AddSwipe(&json, swipe);
  return json;
}

namespace {

// The fields every result has, whatever its command.
Json ResultHeadJson(const Result& result) {
  const bool ok = result.exit == Exit::kOk;
  Json json;
  json["event"] = "result";
  json["command"] = CommandName(result.command);
  json["port"] = result.port.empty() ? Json(nullptr) : Json(result.port);
  json["simulated"] = result.simulated;
  json["baud"] = result.command == Command::kPorts ? Json(nullptr) : Json(result.baud);
  json["ok"] = ok;
  json["exit_code"] = CodeOf(result.exit);
  json["error"] = ok ? Json(nullptr) : Json(InfoOf(result.exit).name);
  json["status"] = result.status ? Json(*result.status) : Json(nullptr);
  json["status_text"] = result.status ? Json(Korvel_StatusText(*result.status)) : Json(nullptr);
  json["reason"] = ok ? Json(nullptr) : Json(result.reason);
  json["step"] = result.step.empty() ? Json(nullptr) : Json(result.step);
  if (result.status && *result.status >= 1 && *result.status <= 255) json["error_byte"] = *result.status;
  if (result.open_error) {
    const Korvel_OpenError& error = *result.open_error;
    json["open_error"] = {{"reason", OpenReasonName(error.reason)},
                          {"system_error", error.system_error},
                          {"device", error.device},
                          {"text", error.text}};
  }
  return json;
}

Json PortsJson(const std::vector<SerialDevice>& devices) {
  Json ports = Json::array();
  for (const SerialDevice& device : devices)
    ports.push_back({{"path", device.path},
                     {"kind", SerialKindName(device.kind)},
                     {"target", device.target.empty() ? Json(nullptr) : Json(device.target)},
                     {"com", device.com_name.empty() ? Json(nullptr) : Json(device.com_name)}});
  return ports;
}

Json StepsJson(const std::vector<Step>& steps) {
  Json json = Json::array();
  for (const Step& step : steps)
    json.push_back({{"step", step.name},
                    {"ok", step.status == KORVEL_OK},
                    {"status", step.status},
                    {"status_text", Korvel_StatusText(step.status)}});
  return json;
}

// The record as text and each sentinel by its name; null when none was read.
void AddRecord(Json* json, const std::optional<TrackRecord>& record) {
  if (!record) {
    (*json)["record"] = nullptr;
    return;
  }
  const TrackRecord& r = *record;
  (*json)["record"] = RecordText(r);
  Json sentinels;
  const char* names[6] = {"track1_start", "track1_end",   "track2_start",
                          "track2_end",   "track3_start", "track3_end"};
  for (size_t i = 0; i < 6; ++i) sentinels[names[i]] = r[i] == 0 ? Json(nullptr) : Json(ByteText(r[i]));
  sentinels["enter_mark"] = r[7] == '1';
  (*json)["sentinels"] = sentinels;
}

// What only `result.command` reports.
void AddCommandFields(Json* json, const Result& result) {
  Json& j = *json;
  switch (result.command) {
    case Command::kPorts: j["ports"] = PortsJson(result.ports); break;
    case Command::kInfo:
      j["mode"] = ModeJson(result.mode);
      j["identification"] = IdentificationJson(result.identification);
      break;
    case Command::kMode:
      j["mode"] = ModeJson(result.mode);
      j["set"] = result.mode_set;
      break;
    case Command::kRead:
      if (result.simulated) j["sample_card"] = result.sample_card;
      AddSwipe(json, result.swipe);
      break;
    case Command::kProbe:
      j["mode"] = ModeJson(result.mode);
      j["identification"] = IdentificationJson(result.identification);
      if (result.simulated) j["sample_card"] = result.sample_card;
      AddSwipe(json, result.swipe);
      j["steps"] = StepsJson(result.steps);
      j["interrupted"] = result.interrupted;
      break;
    case Command::kWatch:
      j["swipes"] = result.swipes;
      j["invalid_swipes"] = result.invalid_swipes;
      j["mode_found"] = ModeJson(result.mode);
      j["mode_restored"] = result.restored;
      j["interrupted"] = result.interrupted;
      break;
    case Command::kSentinels: AddRecord(json, result.record); break;
    case Command::kBaud:
      j["new_baud"] = result.new_baud;
      j["answers_at"] = result.answers_at ? Json(*result.answers_at) : Json(nullptr);
      break;
  }
}

}  // namespace

Json ResultJson(const Result& result) {
  Json json = ResultHeadJson(result);
  AddCommandFields(&json, result);
  return json;
}

Json UsageErrorJson(const std::string& command, const std::string& message) {
  Json json;
  json["event"] = "result";
  json["command"] = command.empty() ? Json(nullptr) : Json(command);
  json["port"] = nullptr;
  json["simulated"] = false;
  json["baud"] = nullptr;
  json["ok"] = false;
  json["exit_code"] = CodeOf(Exit::kUsage);
  json["error"] = InfoOf(Exit::kUsage).name;
  json["status"] = nullptr;
  json["status_text"] = nullptr;
  json["reason"] = message;
  json["step"] = nullptr;
  return json;
}

std::string JsonLine(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace korvel::cli
