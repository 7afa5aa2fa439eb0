/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A served reader's life: its state, the reason for it, and when to try to
// open it again.  Pure: the worker thread feeds it what happened and the time
// (its own clock), and is told what to publish and how long to wait.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvel::service {

enum class ReaderState { kAbsent, kOpening, kReady, kLost, kFailed };

// "absent", "opening", "ready", "lost", "failed".
const char* StateName(ReaderState state);

// The delay before the next attempt: 0.5 s, doubling on each failure up to
// 30 s; back to 0.5 s once the reader is ready again.
class Backoff {
 public:
  static constexpr int64_t kFirstMs = 500;
  static constexpr int64_t kLastMs = 30000;
  // The delay to wait now; the next one is twice as long.
  int64_t Next();
  void Reset() { next_ms_ = kFirstMs; }

 private:
  int64_t next_ms_ = kFirstMs;
};

class ReaderLife {
 public:
  // `network`: the port is a network port (no path to watch; every retry
  // waits out the backoff).
  explicit ReaderLife(bool network) : network_(network) {}

  ReaderState state() const { return state_; }
  const std::string& reason() const { return reason_; }

  // Each returns true when the state or its reason changed (an event is due).
  // A reader starts `opening`; attempts to open it again leave its state as
  // it is (lost, absent, failed) until one succeeds or fails otherwise.
  bool Ready();
  // The open failed with a KORVEL_OPEN_* reason, `text` in words.  A local
  // device that is not there is absent; everything else failed.
  bool OpenFailed(int open_reason, const std::string& text);
  // The port opened but the reader did not answer or refused its setup.
  bool SetupFailed(const std::string& text);
  // The reader went away while it was served.
  bool Lost(const std::string& text);

  // How long to wait before the next open, from now: 0 after a loss (at
  // once: the device may be back already), else the backoff.  A path event
  // (the device's folder changed) may cut a local port's wait short.
  int64_t RetryDelayMs();
  // Whether a change in the device's folder should end the wait at once.
  bool WakesOnPathEvent() const { return !network_ && state_ != ReaderState::kReady; }

 private:
  bool Set(ReaderState state, const std::string& reason);

  bool network_;
  ReaderState state_ = ReaderState::kOpening;
  std::string reason_;
  bool just_lost_ = false;
  Backoff backoff_;
};

// Bytes a reader sends after a swipe that was complete by its track settings
// (more tracks than configured, say) come as a burst of their own.  They are
// reported as a swipe of their own that names the one they came after
// ("follows"): a burst that is not a whole swipe itself and comes within
// kTrailMs of a swipe delivered early.
class TrailRule {
 public:
  static constexpr int64_t kTrailMs = 250;
  // A burst delivered at `now_ms` as swipe `seq`; `complete`: its bytes make
  // a whole swipe (Korvel_SwipeComplete).  Returns the seq it follows, if any.
  std::optional<uint64_t> Delivered(uint64_t seq, bool complete, int64_t now_ms);

 private:
  bool last_complete_ = false;
  uint64_t last_seq_ = 0;
  int64_t last_ms_ = 0;
};

}  // namespace korvel::service
