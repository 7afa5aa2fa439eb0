// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "client_queue.h"

#include "protocol.h"

namespace korvel::service {

void ClientQueue::PushEvent(std::string line) {
  if (events_ >= limit_) {
    for (auto it = items_.begin(); it != items_.end(); ++it)
      if (it->event) {
        items_.erase(it);
        --events_;
        ++dropped_;
        ++dropped_total_;
        break;
      }
  }
  items_.push_back({std::move(line), true});
  ++events_;
}

void ClientQueue::PushResult(std::string line) {
  items_.push_back({std::move(line), false});
  ++results_;
}

std::string ClientQueue::Pop() {
  if (dropped_ > 0) {
    const uint64_t count = dropped_;
    dropped_ = 0;
    return Line(DroppedEvent(count));
  }
  Item item = std::move(items_.front());
  items_.pop_front();
  if (item.event)
    --events_;
  else
    --results_;
  return std::move(item.line);
}

}  // namespace korvel::service
