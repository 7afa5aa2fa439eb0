/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Handles: library-owned sessions looked up by value, never dereferenced
// from what the caller passes in.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "korvel.h"
#include "port.h"
#include "protocol.h"

namespace korvel {

// Serialises the calls on one port: recursive, so that a pump may call
// again on its own thread, and waited for in slices, so that a call waiting
// for another thread's keeps its pump running.
class CallLock {
 public:
  // Takes the lock, or gives up after `timeout`.
  bool TryLockFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::thread::id me = std::this_thread::get_id();
    if (depth_ > 0 && owner_ != me && !free_.wait_for(lock, timeout, [&] { return depth_ == 0; }))
      return false;
    owner_ = me;
    ++depth_;
    return true;
  }
  void Unlock() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--depth_ == 0) {
      owner_ = {};
      free_.notify_one();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  std::thread::id owner_;
  int depth_ = 0;
};

struct Session {
  explicit Session(std::unique_ptr<Port> p) : port(std::move(p)) {}
  std::unique_ptr<Port> port;
  CallLock calls;
  std::atomic<bool> closed{false};
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
