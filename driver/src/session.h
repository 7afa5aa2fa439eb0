// Handles: library-owned sessions looked up by value, never dereferenced
// from what the caller passes in.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "korvel.h"
#include "port.h"
#include "protocol.h"

namespace korvel {

struct Session {
  explicit Session(std::unique_ptr<Port> p) : port(std::move(p)) {}
  std::unique_ptr<Port> port;
  // Serialises calls on one port; recursive so that a pump may call again,
  // timed so that a call waiting for another thread's keeps its pump running.
  std::recursive_timed_mutex mutex;
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
