// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel wedge --service NAME: the swipes of a reader korveld serves, typed.
// The service sends them with the card data in full ("raw") to members of
// its reveal_groups only; the template and the payment rule are applied
// here, as for a port of korvel's own.
#include "exit_codes.h"
#include "report.h"
#include "service_client.h"
#include "service_connection.h"
#include "wedge_command.h"

namespace korvel::cli {

namespace {

// How long the service has to answer a request.
constexpr int64_t kAnswerMs = 10000;

std::string Message(const Json& result) {
  if (result.is_null()) return "the service did not answer";
  if (result.contains("message") && result["message"].is_string())
    return result["message"].get<std::string>();
  if (result.contains("reason") && result["reason"].is_string()) return result["reason"].get<std::string>();
  return "the service refused";
}

std::string Field(const Json& json, const char* key) {
  return json.contains(key) && json[key].is_string() ? json[key].get<std::string>() : std::string();
}

}  // namespace

int RunWedgeFromService(const WedgeRequest& request, wedge::Typist& typist, const WedgeLog& log,
                        const std::atomic<bool>& stop) {
  const std::string& name = request.service;
  Connection connection;
  std::string error;
  if (!connection.Connect(ServiceSocket(request.socket), &error)) {
    log("korvel: " + error);
    return CodeOf(Exit::kOpenFailed);
  }
  // The record the service decodes this reader's swipes with.
  const Json sentinels =
      connection.Ask({{"request", "sentinels"}, {"reader", name}}, MonotonicMs() + kAnswerMs);
  if (sentinels.is_null() || sentinels["ok"] != true) {
    log("korvel: " + name + ": " + Message(sentinels));
    return CodeOf(Exit::kFailure);
  }
  const std::optional<std::vector<uint8_t>> record_bytes = FromPrintable(Field(sentinels, "record"));
  if (!record_bytes || record_bytes->size() != 8) {
    log("korvel: " + name + ": the service gave no track settings record");
    return CodeOf(Exit::kFailure);
  }
  TrackRecord record;
  std::copy(record_bytes->begin(), record_bytes->end(), record.begin());

  const Json subscribed = connection.Ask({{"request", "subscribe"}, {"readers", {name}}, {"reveal", true}},
                                         MonotonicMs() + kAnswerMs);
  if (subscribed.is_null() || subscribed["ok"] != true) {
    log("korvel: " + name + ": " + Message(subscribed));
    return CodeOf(Exit::kFailure);
  }
  std::string note = "korvel: typing the swipes of " + name +
                     " (korveld) into the window with the focus, template " + request.template_text;
  if (request.allow_payment_data) note += ", payment data allowed";
  if (request.count > 0) note += ", " + std::to_string(request.count) + " to go";
  if (request.timeout_ms >= 0) note += ", for " + SecondsText(request.timeout_ms);
  log(note + "; Ctrl-C stops.");

  const int64_t deadline = request.timeout_ms >= 0 ? MonotonicMs() + request.timeout_ms : -1;
  int swipes = 0;
  bool ended = false;
  while (request.count == 0 || swipes < request.count) {
    const Json event = connection.Next(deadline, &stop, &ended);
    if (event.is_null()) break;
    const std::string kind = Field(event, "event");
    if (kind == "swipe" && Field(event, "reader") == name) {
      std::optional<std::vector<uint8_t>> bytes;
      int status = KORVEL_OK;
      if (event.contains("raw") && event["raw"].is_string())
        bytes = FromPrintable(event["raw"].get<std::string>());
      if (event.contains("status") && event["status"].is_number_integer())
        status = event["status"].get<int>();
      if (!bytes && status == KORVEL_OK) bytes.emplace();  // no card data
      if (!TypeSwipe(request, ++swipes, status, bytes ? bytes->data() : nullptr, bytes ? bytes->size() : 0,
                     record, typist, log, &error)) {
        log("korvel: " + name + ": " + error);
        return CodeOf(Exit::kFailure);
      }
    } else if (kind == "reader") {
      log("korvel: " + name + " is " + Field(event, "state") +
          (Field(event, "reason").empty() ? "" : " (" + Field(event, "reason") + ")"));
    } else if (kind == "claimed") {
      log("korvel: " + name + " is claimed by another program: its swipes go there until it is released");
    } else if (kind == "dropped") {
      log("korvel: the service dropped swipes: this program fell behind");
    }
  }
  log("korvel: " + std::to_string(swipes) + (swipes == 1 ? " swipe." : " swipes."));
  if (stop.load()) return CodeOf(Exit::kInterrupted);
  if (ended) {
    log("korvel: the service closed the connection");
    return CodeOf(Exit::kDisconnected);
  }
  if (request.timeout_ms >= 0 && (request.count > 0 ? swipes < request.count : swipes == 0))
    return CodeOf(Exit::kTimeout);
  return CodeOf(Exit::kOk);
}

}  // namespace korvel::cli
