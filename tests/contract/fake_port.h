/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A scripted serial port for contract tests and the fuzz target.
//
// The script states the exact bytes the host must write and what the reader
// answers: each answer is split into pieces that land in the input queue at
// given fake times after the request was written.  Bytes can also arrive at
// absolute fake times with no request (an active-mode burst, line noise).
// Time is fake: it only moves inside Wait(), so a 3000 ms timeout runs at
// once.  Anything the host does that the script does not allow is recorded
// as a problem; a test checks that Problems() is empty at the end.
//
// Header-only and free of any test framework, so the fuzz target shares it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "port.h"

namespace korvel::fake {

using Bytes = std::vector<uint8_t>;

inline std::string Hex(const uint8_t* bytes, size_t count) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
    s += buf;
  }
  return s;
}
inline std::string Hex(const Bytes& b) {
  return Hex(b.data(), b.size());
}

// One piece of an answer: `bytes` arrive `after_ms` after the request was
// written.
struct Piece {
  int64_t after_ms;
  Bytes bytes;
};

// What the host did to the port, in order.
enum class Op { kPurgeTransmit, kPurgeReceive, kWrite, kRead };

struct OpRecord {
  Op op;
  int64_t at_ms;
  size_t count;  // bytes written or asked for; 0 for purges
};

class FakePort final : public Port {
 public:
  // ---- script -------------------------------------------------------------

  // The next write must be exactly `request`; once it is written, `answer`
  // lands piece by piece.
  void Expect(Bytes request, std::vector<Piece> answer = {}) {
    expected_.push_back({std::move(request), std::move(answer)});
  }
  // Bytes that land in the input queue at fake time `at_ms`, asked or not.
  void ArriveAt(int64_t at_ms, Bytes bytes) { Schedule(at_ms, std::move(bytes)); }
  // Bytes that land in the input queue while the host's next read is in
  // progress, after the read took its bytes: they arrive after the host last
  // counted the queue.
  void ArriveDuringNextRead(Bytes bytes) { during_read_ = std::move(bytes); }
  // The device goes away at fake time `at_ms`.
  void GoAwayAt(int64_t at_ms) { gone_at_ = at_ms; }

  // ---- inspection ---------------------------------------------------------

  const std::vector<std::string>& Problems() const { return problems_; }
  const std::vector<OpRecord>& Ops() const { return ops_; }
  std::vector<Op> OpKinds() const {
    std::vector<Op> kinds;
    for (const OpRecord& r : ops_) kinds.push_back(r.op);
    return kinds;
  }
  const Bytes& Written() const { return written_; }
  size_t Waiting() {
    Deliver();
    return queue_.size();
  }
  Bytes QueueContents() {
    Deliver();
    return Bytes(queue_.begin(), queue_.end());
  }
  bool ScriptDone() const { return expected_.empty(); }
  int64_t Now() const { return now_; }
  int WaitCalls() const { return wait_calls_; }
  // Reads that asked for more bytes than were waiting.
  int ShortReads() const { return short_reads_; }

  // ---- Port ---------------------------------------------------------------

  PortResult Write(const uint8_t* bytes, size_t count) override {
    Touch();
    Deliver();
    ops_.push_back({Op::kWrite, now_, count});
    written_.insert(written_.end(), bytes, bytes + count);
    const Bytes got(bytes, bytes + count);
    if (expected_.empty()) {
      Problem("unexpected write: " + Hex(got));
      return PortResult::kOk;
    }
    Expected next = std::move(expected_.front());
    expected_.pop_front();
    if (got != next.request) {
      Problem("host wrote " + Hex(got) + ", expected " + Hex(next.request));
      return PortResult::kOk;
    }
    for (Piece& p : next.answer) Schedule(now_ + std::max<int64_t>(p.after_ms, 0), std::move(p.bytes));
    return PortResult::kOk;
  }

  PortResult Read(uint8_t* buffer, size_t count) override {
    Touch();
    Deliver();
    ops_.push_back({Op::kRead, now_, count});
    const size_t n = std::min(count, queue_.size());
    std::copy_n(queue_.begin(), n, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    if (!during_read_.empty()) {
      queue_.insert(queue_.end(), during_read_.begin(), during_read_.end());
      during_read_.clear();
    }
    if (n < count) {
      ++short_reads_;
      return n == 0 ? PortResult::kReadFailed : PortResult::kReadShort;
    }
    return PortResult::kOk;
  }

  int BytesInQueue() override {
    Touch();
    Deliver();
    return static_cast<int>(queue_.size());
  }

  void PurgeReceive() override {
    Touch();
    Deliver();
    ops_.push_back({Op::kPurgeReceive, now_, 0});
    queue_.clear();
  }

  void PurgeTransmit() override {
    Touch();
    ops_.push_back({Op::kPurgeTransmit, now_, 0});
  }

  WaitResult Wait(int ms, unsigned flags) override {
    const bool wake_on_input = (flags & kWakeOnInput) != 0;
    Touch();
    ++wait_calls_;
    if (ms < 0) Problem("wait of negative length " + std::to_string(ms));
    if (gone_) return WaitResult::kGone;
    Deliver();
    // Like poll() for input: a queue that already holds bytes ends the wait
    // at once, so a host that waits "for input" with input waiting spins.
    if (wake_on_input && !queue_.empty()) return WaitResult::kWoken;
    int64_t until = now_ + std::max(ms, 0);
    if (wake_on_input && !arrivals_.empty())
      until = std::min(until, std::max(now_, arrivals_.begin()->first));
    if (gone_at_ >= 0 && gone_at_ <= until) {
      Advance(std::max(now_, gone_at_));
      gone_ = true;
      return WaitResult::kGone;
    }
    Advance(until);
    Deliver();
    return WaitResult::kWoken;
  }

  int64_t NowMs() override {
    Touch();
    return now_;
  }

  bool Gone() const override { return gone_; }

 private:
  struct Expected {
    Bytes request;
    std::vector<Piece> answer;
  };

  void Problem(std::string what) {
    if (problems_.size() < 20) problems_.push_back("at " + std::to_string(now_) + " ms: " + std::move(what));
  }

  void Schedule(int64_t at_ms, Bytes bytes) {
    auto& slot = arrivals_[at_ms];
    slot.insert(slot.end(), bytes.begin(), bytes.end());
  }

  void Deliver() {
    if (gone_at_ >= 0 && now_ >= gone_at_) gone_ = true;
    while (!arrivals_.empty() && arrivals_.begin()->first <= now_) {
      const Bytes& b = arrivals_.begin()->second;
      queue_.insert(queue_.end(), b.begin(), b.end());
      arrivals_.erase(arrivals_.begin());
    }
  }

  void Advance(int64_t to) {
    if (to > now_) {
      now_ = to;
      calls_since_advance_ = 0;
    }
    // No call of the library may wait an hour; end one that would.
    if (now_ > kTimeLimitMs && !gone_) {
      Problem("host still waiting after an hour");
      gone_ = true;
    }
  }

  // A host that keeps calling the port while fake time stands still would
  // spin on a real one; end it by making the device vanish.
  void Touch() {
    if (++calls_since_advance_ == kSpinLimit) {
      Problem("host spins without waiting");
      gone_ = true;
    }
  }

  static constexpr int kSpinLimit = 100000;
  static constexpr int64_t kTimeLimitMs = 3600 * 1000;

  std::deque<Expected> expected_;
  std::map<int64_t, Bytes> arrivals_;
  std::deque<uint8_t> queue_;
  Bytes during_read_;
  Bytes written_;
  std::vector<OpRecord> ops_;
  std::vector<std::string> problems_;
  int64_t now_ = 0;
  int64_t gone_at_ = -1;
  bool gone_ = false;
  int wait_calls_ = 0;
  int short_reads_ = 0;
  int calls_since_advance_ = 0;
};

}  // namespace korvel::fake
