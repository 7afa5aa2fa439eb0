/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The one internal interface between the platform-free protocol core and a
// port.  Each platform has one backend file that implements it
// (port_posix.cpp, port_win32.cpp) plus OpenPlatformPort(); the network
// backend (port_net.cpp) serves the network names on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// Every backend's time limits, in milliseconds: a read or write of `bytes`
// bytes may take multiplier * bytes + constant, as on the reader's native
// platform (where the serial backend hands them to SetCommTimeouts).
inline constexpr int kReadTotalMultiplierMs = 400;
inline constexpr int kReadTotalConstantMs = 400;
inline constexpr int kWriteTotalMultiplierMs = 40;
inline constexpr int kWriteTotalConstantMs = 400;
// Windows: the longest gap between two bytes of one read.
inline constexpr int kReadIntervalMs = 2000;

inline int64_t ReadLimitMs(size_t bytes) {
  return kReadTotalConstantMs + kReadTotalMultiplierMs * static_cast<int64_t>(bytes);
}
inline int64_t WriteLimitMs(size_t bytes) {
  return kWriteTotalConstantMs + kWriteTotalMultiplierMs * static_cast<int64_t>(bytes);
}

// Results of the port's reads and writes.  They stay inside the library and
// are a type of their own, so that none can be mistaken for a public status.
enum class PortResult {
  kOk,
  kReadFailed,   // the read call failed
  kReadShort,    // fewer bytes arrived than asked for
  kWriteFailed,  // the write call failed
  kWriteShort,   // fewer bytes were written than asked for
};

enum class WaitResult {
  kWoken,  // the time passed, input may have arrived, or Interrupt() or Wake() was called
  kGone,   // the device went away (hang-up, unplug, I/O error)
};

// What ends a wait early besides a hang-up and Interrupt().
enum WaitFlags : unsigned {
  kWakeOnInput = 1u,     // input arrived
  kWakeOnMessages = 2u,  // the thread's platform message queue has new messages (Win32)
};

class Port {
 public:
  virtual ~Port() = default;

  // One synchronous write of `count` bytes.
  virtual PortResult Write(const uint8_t* bytes, size_t count) = 0;
  // One synchronous read of `count` bytes.
  virtual PortResult Read(uint8_t* buffer, size_t count) = 0;
  // Received bytes waiting in the input queue, or a negative value when the
  // query fails (the device is gone).
  virtual int BytesInQueue() = 0;
  // Empty the input queue / abandon pending writes and empty the output queue.
  virtual void PurgeReceive() = 0;
  virtual void PurgeTransmit() = 0;

  // Block for at most `ms` milliseconds, in the operating system (never
  // spinning).  `flags` (WaitFlags) say what else ends the wait early.
  virtual WaitResult Wait(int ms, unsigned flags) = 0;
  // Ends a Wait() in progress on another thread at once, and every later one
  // (the handle is being closed).  Safe to call from any thread.
  virtual void Interrupt() {}
  // Ends a Wait() in progress on another thread at once, or the next one if
  // none is in progress; only that one.  Safe to call from any thread.  (A
  // backend without it lets the wait run to the end of its slice.)
  virtual void Wake() {}
  // Monotonic milliseconds, for the protocol's timeouts.
  virtual int64_t NowMs() = 0;
  // Service the calling thread's platform message queue, if the platform has
  // one (Win32).
  virtual void PumpPlatformMessages() {}
  // True when the platform needs PumpPlatformMessages() during waits.
  virtual bool HasPlatformPump() const { return false; }
  // True once the device has been seen to go away.
  virtual bool Gone() const = 0;
};

// Why an open failed: the reason (a KORVEL_OPEN_* value of korvel.h), the
// system's error number, the device the name stood for, and one line of text.
struct OpenFailure {
  int reason = 0;
  int system_error = 0;
  std::string device;
  std::string text;
};

// Opens and configures a port exactly as Korvel_CommOpenWithBaud describes:
// exclusive, raw 8-N-1 at `baud`, timeouts, queues, purged.  `baud` has
// already been checked against the four supported rates.  Returns null on
// any failure, leaving nothing open, with `failure` filled in.
std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud, OpenFailure* failure);

// True for the names of a serial port behind a network port server,
// "rfc2217://HOST:PORT" and "tcp://HOST:PORT" (korvel/port_names.h).
bool IsNetworkPortName(const char* name);
// Opens such a port as Korvel_CommOpenWithBaud describes it (port_net.cpp).
std::unique_ptr<Port> OpenNetworkPort(const char* name, uint32_t baud, OpenFailure* failure);

}  // namespace korvel
