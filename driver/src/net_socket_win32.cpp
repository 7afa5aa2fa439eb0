// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The network port's sockets on Windows: Winsock 2, started once per
// process; waits on a WSAEventSelect event of the socket (FD_READ, FD_WRITE,
// FD_CLOSE), the interrupt event and the Wake() event, with the thread's
// window messages, as the serial backend waits.
#include "win32_messages.h"  // windows.h without winsock.h: winsock2.h may follow

#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before this.
#include <mstcpip.h>

#include <algorithm>
#include <climits>
#include <new>

#include "korvel.h"
#include "net_socket.h"

namespace korvel::net {
namespace {

bool WouldBlock(int e) {
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}

// What a failed receive or send (SOCKET_ERROR) means.
Io Failed() {
  const int e = WSAGetLastError();
  if (e == WSAEINTR) return Io::kRetry;
  return WouldBlock(e) ? Io::kAgain : Io::kFailed;
}

int Clamped(size_t size) {
  return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

bool NameNotFound(int e) {
  return e == WSAHOST_NOT_FOUND || e == WSANO_DATA || e == WSANO_RECOVERY;
}

// Connects `s` (non-blocking) to `address` within `ms`; the system's error,
// or 0.
int ConnectWithin(SOCKET s, const addrinfo* address, int ms) {
  if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0) return 0;
  const int e = WSAGetLastError();
  if (!WouldBlock(e)) return e;
  fd_set write_set, error_set;
  FD_ZERO(&write_set);
  FD_ZERO(&error_set);
  FD_SET(s, &write_set);
  FD_SET(s, &error_set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  if (select(0, nullptr, &write_set, &error_set, &tv) <= 0) return WSAETIMEDOUT;
  int so_error = 0;
  socklen_t length = sizeof so_error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length) != 0)
    so_error = WSAGetLastError();
  if (so_error != 0) return so_error;
  return FD_ISSET(s, &error_set) ? WSAECONNREFUSED : 0;
}

// Options of a connected socket: no delay for small segments, and every
// segment acknowledged at once (the POSIX backend says why; Windows 8 and
// later, and the setting holds for the socket's life).  Best effort.
void SetConnectedOptions(SOCKET s) {
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  DWORD frequency = 1, returned = 0;
  WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr,
           nullptr);
}

class Win32Socket final : public Socket {
 public:
  ~Win32Socket() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    if (socket_event_ != WSA_INVALID_EVENT) WSACloseEvent(socket_event_);
    if (interrupt_ != nullptr) CloseHandle(interrupt_);
    if (nudge_ != nullptr) CloseHandle(nudge_);
  }

  int Connect(const addrinfo* address, int ms) override {
    const SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) return WSAGetLastError();
    u_long non_blocking = 1;
    int e = ioctlsocket(s, FIONBIO, &non_blocking) == 0 ? 0 : WSAGetLastError();
    if (e == 0) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSendBufferBytes),
                 sizeof kSendBufferBytes);
      e = ConnectWithin(s, address, ms);
    }
    if (e != 0) {
      closesocket(s);
      return e;
    }
    SetConnectedOptions(s);
    socket_ = s;
    return 0;
  }

  int Prepare() override {
    interrupt_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (interrupt_ == nullptr) return static_cast<int>(GetLastError());
    nudge_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (nudge_ == nullptr) return static_cast<int>(GetLastError());
    socket_event_ = WSACreateEvent();
    if (socket_event_ == WSA_INVALID_EVENT) return WSAGetLastError();
    if (WSAEventSelect(socket_, socket_event_, FD_READ | FD_WRITE | FD_CLOSE) != 0) return WSAGetLastError();
    return 0;
  }

  Io Receive(uint8_t* buffer, size_t size, size_t* moved) override {
    const int n = recv(socket_, reinterpret_cast<char*>(buffer), Clamped(size), 0);
    if (n == 0) return Io::kFailed;  // the end of the stream
    if (n < 0) return Failed();
    *moved = static_cast<size_t>(n);
    return Io::kMoved;
  }

  Io Send(const uint8_t* bytes, size_t size, size_t* moved) override {
    const int n = send(socket_, reinterpret_cast<const char*>(bytes), Clamped(size), 0);
    if (n == 0) return Io::kAgain;
    if (n < 0) return Failed();
    *moved = static_cast<size_t>(n);
    return Io::kMoved;
  }

  // FD_WRITE is always selected: Windows reports room to write only after
  // a send found none.
  Signal Sleep(int ms, bool on_messages, bool want_write, bool* writable) override {
    (void)want_write;
    if (socket_pending_) {  // seen while waiting to write
      socket_pending_ = false;
      return Signal::kSocket;
    }
    const HANDLE handles[3] = {interrupt_, socket_event_, nudge_};
    const DWORD r = win32::WaitForHandlesOrMessages(3, handles, static_cast<DWORD>(ms), on_messages);
    if (r == WAIT_OBJECT_0 + 1) {
      const long events = TakeSocketEvents();
      socket_pending_ = false;
      *writable = (events & FD_WRITE) != 0;
      return Signal::kSocket;
    }
    return r == WAIT_TIMEOUT ? Signal::kTime : Signal::kWoken;
  }

  void AwaitWritable(int ms) override {
    const HANDLE handles[2] = {interrupt_, socket_event_};
    if (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(ms)) == WAIT_OBJECT_0 + 1)
      TakeSocketEvents();
  }

  void Wake() override { SetEvent(nudge_); }
  int64_t NowMs() override { return clock_.NowMs(); }
  void PumpMessages() override { win32::PumpThreadMessages(); }
  bool HasMessagePump() const override { return true; }

 private:
  void SignalInterrupt() override { SetEvent(interrupt_); }

  // The socket's network events since the last look (which resets the
  // event); the end of the connection is noted, and a read or the end not
  // acted on at once is kept for the next Sleep().
  long TakeSocketEvents() {
    WSANETWORKEVENTS events{};
    WSAEnumNetworkEvents(socket_, socket_event_, &events);
    if ((events.lNetworkEvents & FD_CLOSE) != 0) closing_ = true;
    if ((events.lNetworkEvents & (FD_READ | FD_CLOSE)) != 0) socket_pending_ = true;
    return events.lNetworkEvents;
  }

  SOCKET socket_ = INVALID_SOCKET;
  HANDLE interrupt_ = nullptr;
  HANDLE nudge_ = nullptr;  // auto-reset: Wake()
  WSAEVENT socket_event_ = WSA_INVALID_EVENT;
  bool socket_pending_ = false;  // a read or the end, seen while waiting to write
  win32::TickClock clock_;
};

}  // namespace

// Winsock is started once per process and never stopped: the library has
// no moment at which no other thread might still use it.
int StartSockets() {
  static const int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}

std::string ErrorText(int error) {
  return win32::SystemErrorText(static_cast<DWORD>(error));
}

int TimedOutError() {
  return WSAETIMEDOUT;
}

bool IsRefused(int error) {
  return error == WSAECONNREFUSED;
}

int Addresses::Resolve(const std::string& host, uint16_t port, int* system_error, std::string* text) {
  (void)system_error;  // left at 0 for a failed lookup, as on POSIX
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  const int e = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list_);
  if (e == 0) return KORVEL_OPEN_OK;
  *text = ErrorText(e);
  return NameNotFound(e) ? KORVEL_OPEN_ABSENT : KORVEL_OPEN_NETWORK;
}

Addresses::~Addresses() {
  if (list_ != nullptr) freeaddrinfo(list_);
}

const addrinfo* Addresses::Next(const addrinfo* address) {
  return address->ai_next;
}

std::unique_ptr<Socket> NewSocket() {
  return std::unique_ptr<Socket>(new (std::nothrow) Win32Socket);
}

}  // namespace korvel::net
