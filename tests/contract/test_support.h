/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Shared pieces of the contract tests: a pump that records when it ran, and
// an assertion that the fake port saw nothing unexpected.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fake_port.h"
#include "protocol.h"

namespace korvel::fake {

inline testing::AssertionResult NoProblems(const FakePort& port) {
  if (port.Problems().empty()) return testing::AssertionSuccess();
  auto failure = testing::AssertionFailure();
  for (const std::string& p : port.Problems()) failure << p << "\n";
  return failure;
}

// A caller's pump: records the fake time of every call and may act (close
// the handle, for one) at a given moment.
class PumpRecorder {
 public:
  explicit PumpRecorder(FakePort& port) : port_(port) {}

  WaitHooks Hooks() {
    WaitHooks hooks;
    hooks.pump = [this] {
      times_.push_back(port_.Now());
      if (close_at_ >= 0 && port_.Now() >= close_at_) closed_.store(true);
      return true;
    };
    hooks.closed = &closed_;
    return hooks;
  }
  // The handle is closed by the pump once fake time reaches `at_ms`.
  void CloseAt(int64_t at_ms) { close_at_ = at_ms; }

  const std::vector<int64_t>& Times() const { return times_; }
  // The longest stretch of fake time in [from, to] without a pump call.
  int64_t LongestGap(int64_t from, int64_t to) const {
    int64_t last = from;
    int64_t longest = 0;
    for (int64_t t : times_) {
      if (t < from || t > to) continue;
      longest = std::max(longest, t - last);
      last = t;
    }
    return std::max(longest, to - last);
  }

 private:
  FakePort& port_;
  std::vector<int64_t> times_;
  std::atomic<bool> closed_{false};
  int64_t close_at_ = -1;
};

}  // namespace korvel::fake
