/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// [reader.wedge]: swipes typed into the window with the focus on the
// service's X display, by a thread of its own so that the service's loop
// never waits for keys.  The template and the payment rule are korvel
// wedge's (tools/wedge).  The log holds numbers and reasons only.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "protocol.h"
#include "typist.h"

namespace korvel::service {

class WedgeTyping {
 public:
  // Opens the X display (DISPLAY); when there is none, says so in the log
  // once and types nothing.
  WedgeTyping();
  ~WedgeTyping();  // types what is queued, then ends its thread

  // Queues `swipe` to be typed by `settings` (any thread).
  void Type(const WedgeSettings& settings, const SwipeRecord& swipe);

  // Swipes waiting at most: a burst beyond it is dropped (and logged).
  static constexpr size_t kMaxQueued = 64;

 private:
  struct Job {
    WedgeSettings settings;
    SwipeRecord swipe;
  };
  void Run();

  std::unique_ptr<wedge::Typist> typist_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace korvel::service
