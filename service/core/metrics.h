/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// What /metrics shows, in the Prometheus text format: per reader its state,
// swipes by result, failed checks by name, reconnects and the time from a
// swipe's end to its delivery; per service the clients by kind and the events
// dropped.  Counts only: never card data, not even masked.  Pure.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "protocol.h"

namespace korvel::service {

// Seconds from a swipe's last byte to its hand-over to the clients.
class DeliveryHistogram {
 public:
  static constexpr std::array<double, 10> kBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                     0.025,  0.05,  0.1,    0.25,  1.0};
  void Observe(double seconds);
  // Cumulative: observations at most kBounds[i]; index kBounds.size() is +Inf.
  uint64_t Le(size_t i) const;
  uint64_t count() const { return count_; }
  double sum() const { return sum_; }

 private:
  std::array<uint64_t, kBounds.size() + 1> counts_{};
  uint64_t count_ = 0;
  double sum_ = 0;
};

struct ReaderCounters {
  uint64_t good = 0;                              // read, every check passed
  uint64_t failed = 0;                            // read, a check failed (or nothing to decode)
  uint64_t overflow = 0;                          // more bytes than a swipe holds
  std::map<std::string, uint64_t> failed_checks;  // by check name
  uint64_t reconnects = 0;                        // ready again after it was lost
  DeliveryHistogram delivery;
};

// Counts one swipe from its event as SwipeEvent builds it.
void CountSwipe(const Json& swipe_event, ReaderCounters* counters);

struct ReaderMetrics {
  std::string name;
  std::string state;  // StateName()
  const ReaderCounters* counters = nullptr;
};

struct ServiceMetrics {
  std::vector<ReaderMetrics> readers;
  std::map<std::string, uint64_t> clients;  // by kind: "socket", "websocket", "sse"
  uint64_t dropped = 0;                     // events dropped for slow clients, ever
  uint64_t web_refused = 0;                 // web requests refused (origin, host, token, limits)
};

std::string MetricsText(const ServiceMetrics& metrics);

}  // namespace korvel::service
