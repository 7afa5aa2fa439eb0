/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// What waits to be written to one client.  Events are bounded: when the
// client is slow and the queue is full, the oldest waiting event is dropped
// and counted, and the client is told how many it lost (a `dropped` event
// ahead of the events that follow the gap).  Results of the client's own
// requests are never dropped (the client is not read while they pile up).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace korvel::service {

class ClientQueue {
 public:
  explicit ClientQueue(size_t limit) : limit_(limit == 0 ? 1 : limit) {}

  void set_limit(size_t limit) { limit_ = limit == 0 ? 1 : limit; }
  // An event (droppable) or a result (kept).
  void PushEvent(std::string line);
  void PushResult(std::string line);

  bool Empty() const { return items_.empty() && dropped_ == 0; }
  // Whether the client should not be read until the queue drains: as many
  // results wait as events may.
  bool Full() const { return results_ >= limit_; }
  // The next line to write: a `dropped` event first when events were lost
  // since the last one.  Call only when not Empty().
  std::string Pop();

  size_t size() const { return items_.size(); }
  uint64_t dropped_total() const { return dropped_total_; }

 private:
  struct Item {
    std::string line;
    bool event;
  };
  std::deque<Item> items_;
  size_t limit_;
  size_t events_ = 0;
  size_t results_ = 0;
  uint64_t dropped_ = 0;
  uint64_t dropped_total_ = 0;
};

}  // namespace korvel::service
