// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "reader_state.h"

#include <algorithm>

#include "korvel.h"

namespace korvel::service {

const char* StateName(ReaderState state) {
  switch (state) {
    case ReaderState::kAbsent: return "absent";
    case ReaderState::kOpening: return "opening";
    case ReaderState::kReady: return "ready";
    case ReaderState::kLost: return "lost";
    case ReaderState::kFailed: return "failed";
  }
  return "failed";
}

int64_t Backoff::Next() {
  const int64_t delay = next_ms_;
  next_ms_ = std::min(next_ms_ * 2, kLastMs);
  return delay;
}

bool ReaderLife::Set(ReaderState state, const std::string& reason) {
  const bool changed = state != state_ || reason != reason_;
  state_ = state;
  reason_ = reason;
  return changed;
}

bool ReaderLife::Ready() {
  backoff_.Reset();
  just_lost_ = false;
  return Set(ReaderState::kReady, "");
}

bool ReaderLife::OpenFailed(int open_reason, const std::string& text) {
  // A reader that was lost and whose device has not come back stays lost.
  if (state_ == ReaderState::kLost && open_reason == KORVEL_OPEN_ABSENT) return false;
  if (open_reason == KORVEL_OPEN_ABSENT && !network_) return Set(ReaderState::kAbsent, text);
  return Set(ReaderState::kFailed, text);
}

bool ReaderLife::SetupFailed(const std::string& text) {
  return Set(ReaderState::kFailed, text);
}

bool ReaderLife::Lost(const std::string& text) {
  just_lost_ = true;
  return Set(ReaderState::kLost, text);
}

int64_t ReaderLife::RetryDelayMs() {
  if (just_lost_) {
    just_lost_ = false;
    return 0;
  }
  return backoff_.Next();
}

std::optional<uint64_t> TrailRule::Delivered(uint64_t seq, bool complete, int64_t now_ms) {
  std::optional<uint64_t> follows;
  if (!complete && last_complete_ && now_ms - last_ms_ <= kTrailMs) follows = last_seq_;
  // A tail's own tail still follows the swipe it belongs to.
  if (follows) {
    last_ms_ = now_ms;
    return follows;
  }
  last_complete_ = complete;
  last_seq_ = seq;
  last_ms_ = now_ms;
  return std::nullopt;
}

}  // namespace korvel::service
