// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "metrics.h"

#include <cstdio>

#include "reader_state.h"

namespace korvel::service {

namespace {

std::string Label(const std::string& value) {
  std::string text;
  for (char c : value) {
    if (c == '\\' || c == '"') text += '\\';
    if (c == '\n') {
      text += "\\n";
      continue;
    }
    text += c;
  }
  return text;
}

std::string Number(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

void Header(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void DeliveryHistogram::Observe(double seconds) {
  if (seconds < 0) seconds = 0;
  size_t i = 0;
  while (i < kBounds.size() && seconds > kBounds[i]) ++i;
  ++counts_[i];
  ++count_;
  sum_ += seconds;
}

uint64_t DeliveryHistogram::Le(size_t i) const {
  uint64_t total = 0;
  for (size_t k = 0; k <= i && k < counts_.size(); ++k) total += counts_[k];
  return total;
}

void CountSwipe(const Json& swipe, ReaderCounters* counters) {
  if (swipe.value("status", 0) == KORVEL_E_OVERFLOW) {
    ++counters->overflow;
    return;
  }
  bool good = swipe.value("ok", false) && swipe.contains("card") && swipe["card"].is_object();
  if (good) {
    for (const auto& [name, check] : swipe["card"]["checks"].items())
      if (check.value("result", "") == "failed") {
        ++counters->failed_checks[name];
        good = false;
      }
  }
  ++(good ? counters->good : counters->failed);
}

std::string MetricsText(const ServiceMetrics& metrics) {
  std::string out;
  Header(&out, "korveld_reader_state", "gauge", "1 for the state each reader is in, 0 for the others.");
  for (const ReaderMetrics& reader : metrics.readers)
    for (ReaderState state : {ReaderState::kAbsent, ReaderState::kOpening, ReaderState::kReady,
                              ReaderState::kLost, ReaderState::kFailed})
      out += "korveld_reader_state{reader=\"" + Label(reader.name) + "\",state=\"" + StateName(state) +
             "\"} " + (reader.state == StateName(state) ? "1" : "0") + "\n";

  Header(&out, "korveld_swipes_total", "counter",
         "Swipes by result: good, failed (a check failed), overflow.");
  for (const ReaderMetrics& reader : metrics.readers) {
    const std::string label = "korveld_swipes_total{reader=\"" + Label(reader.name) + "\",result=\"";
    out += label + "good\"} " + std::to_string(reader.counters->good) + "\n";
    out += label + "failed\"} " + std::to_string(reader.counters->failed) + "\n";
    out += label + "overflow\"} " + std::to_string(reader.counters->overflow) + "\n";
  }
  Header(&out, "korveld_swipe_check_failures_total", "counter", "Failed checks of swipes, by check name.");
  for (const ReaderMetrics& reader : metrics.readers)
    for (const auto& [check, count] : reader.counters->failed_checks)
      out += "korveld_swipe_check_failures_total{reader=\"" + Label(reader.name) + "\",check=\"" +
             Label(check) + "\"} " + std::to_string(count) + "\n";
  Header(&out, "korveld_reader_reconnects_total", "counter",
         "Times a reader was ready again after it was lost.");
  for (const ReaderMetrics& reader : metrics.readers)
    out += "korveld_reader_reconnects_total{reader=\"" + Label(reader.name) + "\"} " +
           std::to_string(reader.counters->reconnects) + "\n";
  Header(&out, "korveld_delivery_seconds", "histogram",
         "Time from a swipe's last byte to its hand-over to the clients.");
  for (const ReaderMetrics& reader : metrics.readers) {
    const DeliveryHistogram& h = reader.counters->delivery;
    const std::string name = Label(reader.name);
    for (size_t i = 0; i <= DeliveryHistogram::kBounds.size(); ++i)
      out += "korveld_delivery_seconds_bucket{reader=\"" + name + "\",le=\"" +
             (i < DeliveryHistogram::kBounds.size() ? Number(DeliveryHistogram::kBounds[i]) : "+Inf") +
             "\"} " + std::to_string(h.Le(i)) + "\n";
    out += "korveld_delivery_seconds_sum{reader=\"" + name + "\"} " + Number(h.sum()) + "\n";
    out += "korveld_delivery_seconds_count{reader=\"" + name + "\"} " + std::to_string(h.count()) + "\n";
  }

  Header(&out, "korveld_clients", "gauge", "Connected clients by kind.");
  for (const auto& [kind, count] : metrics.clients)
    out += "korveld_clients{kind=\"" + Label(kind) + "\"} " + std::to_string(count) + "\n";
  Header(&out, "korveld_events_dropped_total", "counter", "Events dropped for clients that did not keep up.");
  out += "korveld_events_dropped_total " + std::to_string(metrics.dropped) + "\n";
  Header(&out, "korveld_web_refused_total", "counter",
         "Web requests refused (origin, host, token, size, too many connections).");
  out += "korveld_web_refused_total " + std::to_string(metrics.web_refused) + "\n";
  return out;
}

}  // namespace korvel::service
