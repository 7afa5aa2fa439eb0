/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The sockets under the network port backend (port_net.cpp), which keeps the
// Telnet conversation, the queues and the time limits and sees neither a
// descriptor nor a HANDLE.  One file per platform implements this:
// net_socket_posix.cpp (BSD sockets; waits in poll() on the socket and a
// pipe) and net_socket_win32.cpp (Winsock; waits on a WSAEventSelect event
// of the socket and two events of its own, with the thread's window
// messages).
//
// Error numbers are the system's: errno on POSIX, WSAGetLastError() (or
// GetLastError()) on Windows.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct addrinfo;  // the system's name lookup (netdb.h, ws2tcpip.h)

namespace korvel::net {

// The system's buffer for bytes to the server, its own and not autotuned:
// requests are a few bytes each, so the system need not hold megabytes of
// them (or of answers) for a server that does not read.
inline constexpr int kSendBufferBytes = 16 * 1024;

// Starts the system's sockets, once per process; the system's error, or 0.
int StartSockets();

// The system's text of one of its error numbers.
std::string ErrorText(int error);
// The error of a connection not made within its time limit, and whether an
// error is the peer refusing the connection.
int TimedOutError();
bool IsRefused(int error);

// The addresses a host name stands for, freed with the object.
class Addresses {
 public:
  Addresses() = default;
  ~Addresses();
  Addresses(const Addresses&) = delete;
  Addresses& operator=(const Addresses&) = delete;

  // Looks `host` up for TCP to `port`.  Returns KORVEL_OPEN_OK, or
  // KORVEL_OPEN_ABSENT (no such name), KORVEL_OPEN_SYSTEM (with the system's
  // error in `system_error`) or KORVEL_OPEN_NETWORK, with `text`.
  int Resolve(const std::string& host, uint16_t port, int* system_error, std::string* text);

  // The addresses in the order to try them; null after the last.
  const addrinfo* First() const { return list_; }
  static const addrinfo* Next(const addrinfo* address);

 private:
  addrinfo* list_ = nullptr;
};

// What ended a Sleep().
enum class Signal {
  kTime,    // the time passed
  kSocket,  // the socket has something to report (bytes, their end, room to write)
  kWoken,   // the interrupt, Wake(), or (when asked for) a window message
};

// How one receive or send went.
enum class Io {
  kMoved,   // bytes went
  kAgain,   // none: nothing has arrived, or the system's buffer is full
  kRetry,   // a signal interrupted the call
  kFailed,  // the connection ended (a receive) or failed
};

// One connection's socket and the signals that end its waits.  Waits and
// transfers belong to one thread; Interrupt() and Wake() may come from any.
class Socket {
 public:
  virtual ~Socket() = default;

  // --- the open ------------------------------------------------------------

  // Connects to `address` within `ms`: a non-blocking socket, kept above
  // the standard streams, with no delay for small segments, every segment
  // acknowledged at once where the system can, and kSendBufferBytes.
  // Returns 0, or the system's error (a failed attempt leaves nothing open;
  // the next may follow).
  virtual int Connect(const addrinfo* address, int ms) = 0;
  // Makes the interrupt and readiness signals of the connected socket; the
  // system's error, or 0.
  virtual int Prepare() = 0;

  // --- the connection -------------------------------------------------------

  // One look: up to `size` bytes into `buffer` (`*moved` of them), without
  // waiting.
  virtual Io Receive(uint8_t* buffer, size_t size, size_t* moved) = 0;
  // Sends up to `size` bytes as far as the system takes them without
  // waiting (`*moved` of them); a closed connection never raises a signal.
  virtual Io Send(const uint8_t* bytes, size_t size, size_t* moved) = 0;
  // Sleeps until the socket has something to report, the interrupt or
  // Wake() is signalled, a window message arrives (with `on_messages`, where
  // the platform has them) or `ms` pass.  The socket's room to write wakes it
  // (POSIX: when `want_write`) and sets `*writable`.
  virtual Signal Sleep(int ms, bool on_messages, bool want_write, bool* writable) = 0;
  // Sleeps until the socket can take more bytes, the interrupt is signalled
  // or `ms` pass.
  virtual void AwaitWritable(int ms) = 0;
  // True once the system has reported the end of the connection: nothing
  // more will arrive.
  bool Closing() const { return closing_; }

  // Ends the current wait and every later one (the handle is being closed).
  void Interrupt() {
    interrupted_.store(true, std::memory_order_release);
    SignalInterrupt();
  }
  bool Interrupted() const { return interrupted_.load(std::memory_order_acquire); }
  // Ends one Sleep(): the current one, or the next.
  virtual void Wake() = 0;

  // Monotonic milliseconds.
  virtual int64_t NowMs() = 0;
  // The thread's window messages, where the platform has them (Port's
  // PumpPlatformMessages() and HasPlatformPump()).
  virtual void PumpMessages() {}
  virtual bool HasMessagePump() const { return false; }

 protected:
  virtual void SignalInterrupt() = 0;
  bool closing_ = false;

 private:
  std::atomic<bool> interrupted_{false};
};

// A socket not yet connected; null when out of memory.
std::unique_ptr<Socket> NewSocket();

}  // namespace korvel::net
