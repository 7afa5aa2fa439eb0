/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Handles: library-owned sessions looked up by value, never dereferenced
// from what the caller passes in.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "korvel.h"
#include "port.h"
#include "protocol.h"

namespace korvel {

// Serialises the calls on one port, first come, first served: a call takes
// a place in line and gets the port when every call in front of it has
// ended, so that a thread calling again at once never overtakes one that was
// waiting.  Recursive, so that a pump may call again on its own thread (that
// call runs at once), and waited for in slices, so that a call waiting for
// another thread's keeps its pump running without losing its place.
class CallLock {
 public:
  using Ticket = uint64_t;
  // The ticket of a call that already holds the lock on this thread.
  static constexpr Ticket kReentered = 0;

  // Takes a place in line; from a thread that holds the lock, re-enters it.
  Ticket Join() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (depth_ > 0 && owner_ == std::this_thread::get_id()) {
      ++depth_;
      return kReentered;
    }
    line_.push_back(++last_ticket_);
    return last_ticket_;
  }
  // Waits up to `timeout` for the ticket's turn; true once it holds the lock.
  bool WaitTurn(Ticket ticket, std::chrono::milliseconds timeout) {
    if (ticket == kReentered) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!turn_.wait_for(lock, timeout, [&] { return depth_ == 0 && line_.front() == ticket; })) return false;
    line_.pop_front();
    owner_ = std::this_thread::get_id();
    depth_ = 1;
    return true;
  }
  // Gives up a place in line that never got its turn.
  void Leave(Ticket ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    line_.erase(std::remove(line_.begin(), line_.end(), ticket), line_.end());
    turn_.notify_all();
  }
  void Unlock() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--depth_ == 0) {
      owner_ = {};
      turn_.notify_all();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  std::deque<Ticket> line_;  // waiting calls, oldest first
  Ticket last_ticket_ = kReentered;
  std::thread::id owner_;
  int depth_ = 0;
};

struct Session {
  explicit Session(std::unique_ptr<Port> p) : port(std::move(p)) {}
  std::unique_ptr<Port> port;
  CallLock calls;
  std::atomic<bool> closed{false};
  // Set by Korvel_CancelWait(); the next (or current) wait for a swipe takes
  // it and ends.
  std::atomic<bool> cancel{false};
  std::mutex pump_mutex;
  Korvel_Pump pump = nullptr;
  void* pump_context = nullptr;

  // Hooks whose pump looks the session's pump up at every run.
  WaitHooks Hooks();
  // Runs the pump set at this moment, if any; returns whether one ran.
  bool RunPump();
};

// Registers an open port and returns its new, never-reused handle.
void* RegisterSession(std::unique_ptr<Port> port);
// The live session for a handle, or null for a null, closed or unknown one.
std::shared_ptr<Session> FindSession(void* handle);
// Removes the handle; the port is released when the last user lets go.
std::shared_ptr<Session> UnregisterSession(void* handle);

}  // namespace korvel
