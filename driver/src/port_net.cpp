// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Network port backend: a serial port behind a port server, reached over TCP
// with Telnet and the COM port control option (RFC 2217, "rfc2217://") or as
// a raw byte stream ("tcp://").  BSD sockets on POSIX, Winsock on Windows;
// the Telnet conversation itself is telnet.{h,cpp}.
//
// Received bytes are decoded as they are read and kept in the port's own
// input buffer, so that the input queue the protocol core counts holds data
// bytes only.  Waits sleep in the system on the socket and the interrupt
// (poll() with a pipe on POSIX; WSAEventSelect and an event, with the
// thread's window messages, on Windows), like the serial backends.
//
// Whatever the server sends, no call outlasts its own time limit: one look
// at the socket reads a bounded amount, the answers the Telnet conversation
// owes the server are queued and sent as the system takes them (never
// waited for outside a write), a write waits no longer than its limit, and
// the interrupt ends every wait, for the socket to be writable as well.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// winsock2.h before these.
#include <mstcpip.h>
#include <windows.h>

#include "win32_messages.h"
#else
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "korvel/clock.h"
#include "korvel/posix_fd.h"
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "korvel.h"
#include "korvel/port_names.h"
#include "port.h"
#include "telnet.h"

namespace korvel {
namespace {

// Time limits of an open, each counted from its own start.
constexpr int kConnectTimeoutMs = 3000;      // the TCP connection, over every address of the name
constexpr int kNegotiationTimeoutMs = 3000;  // RFC 2217: the option and the line settings confirmed
// A raw TCP server that cannot serve the connection (the port is in use, the
// device cannot be opened) closes it right after accepting it.  The open
// waits this long for that, in proportion to the time the connection took.
constexpr int kRawVerdictMinMs = 50;
constexpr int kRawVerdictMaxMs = 500;
// A server that confirmed purges once but stops doing so: data is dropped
// for at most this long after a receive purge.
constexpr int kPurgeConfirmMs = 1000;
// The input buffer's size; bytes beyond it are lost, as in a full serial
// driver queue.
constexpr size_t kInputBufferBytes = 64 * 1024;
// The most one look at the socket reads: a server that never stops sending
// (data, Telnet commands, a subnegotiation without end) cannot keep a call
// reading past its time limit.
constexpr size_t kReadBudgetBytes = 64 * 1024;
// Answers owed to the server beyond what the system's buffers took: a
// server that keeps asking for answers and never reads them is gone.  A
// conversation owes a few dozen bytes; every option refused once is 1.5 KiB.
constexpr size_t kOwedLimitBytes = 16 * 1024;
// The system's buffer for bytes to the server (its own, not autotuned).
constexpr size_t kSendBufferBytes = 16 * 1024;

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
constexpr int kSendFlags = 0;
constexpr int kTimedOut = WSAETIMEDOUT;
constexpr int kRefused = WSAECONNREFUSED;
int LastError() {
  return WSAGetLastError();
}
bool WouldBlock(int e) {
  return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS;
}
bool Interrupted(int e) {
  return e == WSAEINTR;
}
void CloseSocket(Socket s) {
  closesocket(s);
}
std::string ErrorText(int e) {
  return win32::SystemErrorText(static_cast<DWORD>(e));
}
std::string ResolveErrorText(int e) {
  return ErrorText(e);
}
// Acknowledge every segment at once (see QuickAck below); Windows 8 and
// later, and the setting holds for the socket's life.  Best effort.
void AcknowledgeAtOnce(Socket s, bool after_connect) {
  if (!after_connect) return;
  DWORD frequency = 1, returned = 0;
  WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0, &returned, nullptr,
           nullptr);
}
bool NameNotFound(int e) {
  return e == WSAHOST_NOT_FOUND || e == WSANO_DATA || e == WSANO_RECOVERY;
}
// Winsock is started once per process and never stopped: the library has
// no moment at which no other thread might still use it.
int StartSockets() {
  static const int result = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return result;
}
bool SetNonBlocking(Socket s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}
// Waits until `s` can be written to or has failed; false after `ms`.
bool WaitWritable(Socket s, int ms, bool* failed) {
  fd_set write_set, error_set;
  FD_ZERO(&write_set);
  FD_ZERO(&error_set);
  FD_SET(s, &write_set);
  FD_SET(s, &error_set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  const int r = select(0, nullptr, &write_set, &error_set, &tv);
  *failed = r > 0 && FD_ISSET(s, &error_set);
  return r > 0;
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed connection gives EPIPE, never SIGPIPE
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif
constexpr int kTimedOut = ETIMEDOUT;
constexpr int kRefused = ECONNREFUSED;
int LastError() {
  return errno;
}
bool WouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS;
}
bool Interrupted(int e) {
  return e == EINTR;
}
void CloseSocket(Socket s) {
  close(s);
}
std::string ErrorText(int e) {
  return std::strerror(e);
}
std::string ResolveErrorText(int e) {
  return gai_strerror(e);
}
// Acknowledge every segment at once.  A server that writes a reply in more
// than one piece (a purge confirmation, then the reply; a long reply in
// chunks) with Nagle's algorithm on sends each next piece only once the last
// is acknowledged, and a delayed acknowledgement (40 ms on Linux) would hold
// every exchange up that long.  Linux's quick-ack mode lapses, so it is set
// again after every read.
void AcknowledgeAtOnce(Socket s, bool after_connect) {
  (void)after_connect;
#ifdef TCP_QUICKACK
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)s;
#endif
}
bool NameNotFound(int e) {
  return e == EAI_NONAME || e == EAI_FAIL
#ifdef EAI_NODATA
         || e == EAI_NODATA
#endif
      ;
}
int StartSockets() {
  return 0;
}
bool SetNonBlocking(Socket s) {
  const int flags = fcntl(s, F_GETFL);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(s, F_SETFD, FD_CLOEXEC) == 0;
}
bool WaitWritable(Socket s, int ms, bool* failed) {
  pollfd p{s, POLLOUT, 0};
  const int r = poll(&p, 1, ms);
  *failed = r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  return r > 0;
}
#endif

class NetPort final : public Port {
 public:
  NetPort(Socket socket, bool telnet) : socket_(socket), telnet_(telnet) {}
  ~NetPort() override {
    CloseSocket(socket_);
#ifdef _WIN32
    if (socket_event_ != WSA_INVALID_EVENT) WSACloseEvent(socket_event_);
    if (interrupt_ != nullptr) CloseHandle(interrupt_);
    if (nudge_ != nullptr) CloseHandle(nudge_);
#else
    if (wake_ >= 0) close(wake_);
    if (wake_write_ >= 0) close(wake_write_);
#endif
  }
  NetPort(const NetPort&) = delete;
  NetPort& operator=(const NetPort&) = delete;

  // Makes the interrupt and readiness signals; the system's error, or 0.
  int Prepare() {
#ifdef _WIN32
    interrupt_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (interrupt_ == nullptr) return static_cast<int>(GetLastError());
    nudge_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (nudge_ == nullptr) return static_cast<int>(GetLastError());
    socket_event_ = WSACreateEvent();
    if (socket_event_ == WSA_INVALID_EVENT) return LastError();
    if (WSAEventSelect(socket_, socket_event_, FD_READ | FD_WRITE | FD_CLOSE) != 0) return LastError();
#else
    int wake[2];
    if (pipe(wake) != 0) return errno;
    wake_ = AboveStandardStreams(wake[0]);
    wake_write_ = AboveStandardStreams(wake[1]);
    for (int fd : {wake_, wake_write_})
      if (fd < 0 || fcntl(fd, F_SETFL, O_NONBLOCK) != 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return errno;
#endif
    return 0;
  }

  // --- Port ----------------------------------------------------------------

  // Purges asked for since the last write travel in front of the bytes, and
  // the answers still owed to the server in front of those.  What did not go
  // within the time limit is dropped, but for the rest of a Telnet command or
  // doubled 0xFF already begun, which goes in front of the next bytes.
  PortResult Write(const uint8_t* bytes, size_t count) override {
    std::vector<uint8_t> wire;
    if (telnet_) {
      if (pending_purges_ != 0) {
        wire = client_.Purge(pending_purges_);
        pending_purges_ = 0;
        if (client_.Dropping()) last_purge_ms_ = NowMs();
      }
      telnet::AppendData(bytes, count, &wire);
    } else {
      wire.assign(bytes, bytes + count);
    }
    const int64_t deadline = NowMs() + WriteLimitMs(count);
    out_.insert(out_.end(), wire.begin(), wire.end());
    Flush(deadline);
    // out_ now holds what did not go: owed answers, then the end of `wire`.
    const size_t sent = wire.size() - std::min(out_.size(), wire.size());
    if (!out_.empty()) {
      const size_t keep = telnet_ ? telnet::UnitEnd(wire, sent) : sent;
      out_.resize(out_.size() - (wire.size() - keep));
    }
    if (sent == wire.size()) return PortResult::kOk;
    return sent == 0 || count == 0 ? PortResult::kWriteFailed : PortResult::kWriteShort;
  }

  PortResult Read(uint8_t* buffer, size_t count) override {
    const int64_t deadline = NowMs() + ReadLimitMs(count);
    size_t done = 0;
    for (;;) {
      Drain();
      const size_t take = std::min(count - done, input_.size());
      std::copy_n(input_.begin(), take, buffer + done);
      input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(take));
      done += take;
      if (done == count) return PortResult::kOk;
      const int64_t left = deadline - NowMs();
      if (gone_ || left <= 0 || InterruptSignalled() ||
          Wait(static_cast<int>(left), kWakeOnInput) == WaitResult::kGone)
        return done == 0 ? PortResult::kReadFailed : PortResult::kReadShort;
    }
  }

  int BytesInQueue() override {
    Drain();
    if (gone_) return -1;
    return static_cast<int>(std::min<size_t>(input_.size(), INT_MAX));
  }

  // Drops what has arrived.  With RFC 2217 the server is asked to drop what
  // it holds as well, in front of the next request: a purge that no request
  // follows (the capture's) must not reach the server late and drop the
  // bytes of a swipe that came after it.
  void PurgeReceive() override {
    Drain();
    input_.clear();
    if (telnet_) pending_purges_ |= telnet::kPurgeReceive;
  }

  void PurgeTransmit() override {
    if (telnet_) pending_purges_ |= telnet::kPurgeTransmit;
  }

  // Sleeps until the time has passed, Interrupt() is called, the connection
  // ends, or (kWakeOnInput) data bytes arrive; Telnet commands alone are
  // answered and sleeping goes on.
  WaitResult Wait(int ms, unsigned flags) override {
    if (gone_) return WaitResult::kGone;
    const bool on_input = (flags & kWakeOnInput) != 0;
    const int64_t deadline = NowMs() + std::max(ms, 0);
    for (;;) {
      if (on_input && !input_.empty()) return WaitResult::kWoken;
      const int left = static_cast<int>(std::max<int64_t>(deadline - NowMs(), 0));
      const Signal signal = Sleep(left, (flags & kWakeOnMessages) != 0);
      if (signal == Signal::kWoken) return WaitResult::kWoken;
      if (signal == Signal::kSocket) {
        Drain();
        if (gone_) return WaitResult::kGone;
        if (on_input && !input_.empty()) return WaitResult::kWoken;
      }
      if (NowMs() >= deadline) return WaitResult::kWoken;
    }
  }

  // Once signalled it keeps every later wait short, which is what a closed
  // handle needs.
  void Interrupt() override {
    interrupted_.store(true, std::memory_order_release);
#ifdef _WIN32
    SetEvent(interrupt_);
#else
    const char c = 1;
    (void)!write(wake_write_, &c, 1);
#endif
  }

  // Ends one Sleep(): the current one, or the next.
  void Wake() override {
#ifdef _WIN32
    SetEvent(nudge_);
#else
    const char c = 1;
    (void)!write(wake_write_, &c, 1);
#endif
  }

  int64_t NowMs() override {
#ifdef _WIN32
    return clock_.NowMs();
#else
    return MonotonicMs();
#endif
  }

#ifdef _WIN32
  void PumpPlatformMessages() override {
    win32::PumpThreadMessages();
  }
  bool HasPlatformPump() const override {
    return true;
  }
#endif
  bool Gone() const override {
    return gone_;
  }

  // --- the open ------------------------------------------------------------

  // Negotiates the COM port control option and the line settings.  Returns
  // KORVEL_OPEN_OK or the reason of the failure, with `text`.
  int Negotiate(uint32_t baud, std::string* text) {
    const int64_t deadline = NowMs() + kNegotiationTimeoutMs;
    Queue(client_.Start());
    bool configured = false;
    for (;;) {
      Drain();  // and sends what is queued, as far as the system takes it
      if (gone_) return Closed(text);
      if (client_.com_port() == telnet::Client::Progress::kRefused) {
        *text = "the server refused the COM port control option of RFC 2217 (for a raw TCP port use tcp://)";
        return KORVEL_OPEN_NETWORK;
      }
      if (client_.com_port() == telnet::Client::Progress::kDone && !configured) {
        Queue(client_.ConfigureLine(baud));
        configured = true;
        continue;
      }
      if (client_.line() == telnet::Client::Progress::kRefused) {
        *text = client_.refusal();
        return KORVEL_OPEN_CONFIG;
      }
      if (client_.line() == telnet::Client::Progress::kDone) break;
      const int64_t left = deadline - NowMs();
      if (left <= 0) {
        *text = configured ? "the server did not confirm the line settings within 3 s"
                           : "the server did not take up the COM port control option of RFC 2217 within 3 s";
        return KORVEL_OPEN_NETWORK;
      }
      if (Sleep(static_cast<int>(left), false) == Signal::kWoken) return KORVEL_OPEN_SYSTEM;
    }
    input_.clear();
    return KORVEL_OPEN_OK;
  }

  // Raw TCP: waits `ms` for the server to close the connection it accepted.
  int AwaitVerdict(int ms, std::string* text) {
    const int64_t deadline = NowMs() + ms;
    for (;;) {
      Drain();
      if (gone_) return Closed(text);
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      if (Sleep(static_cast<int>(left), false) == Signal::kWoken) return KORVEL_OPEN_SYSTEM;
    }
    input_.clear();
    return KORVEL_OPEN_OK;
  }

 private:
  enum class Signal { kTime, kSocket, kWoken };

  bool InterruptSignalled() const {
    return interrupted_.load(std::memory_order_acquire);
  }

  // Sleeps in the system until the socket has something to report (or takes
  // bytes that are queued for it: they are sent), the interrupt is signalled
  // (kWoken), a window message arrives (kWoken, with `on_messages`) or `ms`
  // pass (kTime).
  Signal Sleep(int ms, bool on_messages) {
    if (InterruptSignalled()) return Signal::kWoken;
#ifdef _WIN32
    if (socket_pending_) {  // seen while waiting to write
      socket_pending_ = false;
      return Signal::kSocket;
    }
    const HANDLE handles[3] = {interrupt_, socket_event_, nudge_};
    const DWORD r = win32::WaitForHandlesOrMessages(3, handles, static_cast<DWORD>(ms), on_messages);
    if (r == WAIT_OBJECT_0 + 1) {
      const long events = TakeSocketEvents();
      socket_pending_ = false;
      if ((events & FD_WRITE) != 0) Flush(NowMs());
      return Signal::kSocket;
    }
    return r == WAIT_TIMEOUT ? Signal::kTime : Signal::kWoken;
#else
    (void)on_messages;
    const short out = out_.empty() ? 0 : POLLOUT;
    pollfd p[2] = {{socket_, static_cast<short>(POLLIN | out), 0}, {wake_, POLLIN, 0}};
    const int r = poll(p, 2, ms);
    if (r < 0) return errno == EINTR ? Signal::kTime : Signal::kWoken;
    if (r == 0) return Signal::kTime;
    if (p[1].revents != 0) {
      // A Wake() is taken once; an Interrupt() stays.
      char sink[64];
      if (!InterruptSignalled())
        while (read(wake_, sink, sizeof sink) > 0) {
        }
      return Signal::kWoken;
    }
    if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) closing_ = true;
    if ((p[0].revents & POLLOUT) != 0) Flush(NowMs());
    return Signal::kSocket;
#endif
  }

#ifdef _WIN32
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
#endif

  // Sleeps until the socket can take more bytes, the interrupt is signalled
  // or `ms` pass; the caller tries again either way.
  void AwaitWritable(int ms) {
#ifdef _WIN32
    const HANDLE handles[2] = {interrupt_, socket_event_};
    if (WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(ms)) == WAIT_OBJECT_0 + 1)
      TakeSocketEvents();
#else
    pollfd p[2] = {{socket_, POLLOUT, 0}, {wake_, POLLIN, 0}};
    (void)poll(p, 2, ms);
#endif
  }

  // Reads what the socket holds, up to kReadBudgetBytes, decodes it into the
  // input buffer and answers the server's Telnet negotiations; then sends
  // what is queued for the server as far as the system takes it without
  // waiting.  The end of the connection, its failure, or more answers owed
  // than kOwedLimitBytes make the port gone.
  void Drain() {
    if (gone_) return;
    uint8_t buffer[4096];
    for (size_t taken = 0; taken < kReadBudgetBytes && !InterruptSignalled();) {
      const auto n = recv(socket_, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
      if (n > 0) {
        AcknowledgeAtOnce(socket_, false);
        Take(buffer, static_cast<size_t>(n));
        taken += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && Interrupted(LastError())) continue;
      if (n < 0 && WouldBlock(LastError()) && !closing_) break;
      gone_ = true;  // end of stream, reset, or a failure
      break;
    }
    if (!out_.empty()) Flush(NowMs());
    if (out_.size() > kOwedLimitBytes) gone_ = unread_answers_ = true;
    if (telnet_ && client_.Dropping() && NowMs() - last_purge_ms_ > kPurgeConfirmMs) client_.StopDropping();
  }

  // Decodes received bytes; the answers they call for join the queue.
  void Take(const uint8_t* bytes, size_t count) {
    if (!telnet_) {
      Keep(bytes, count);
      return;
    }
    decoded_.clear();
    client_.Receive(bytes, count, &decoded_, &out_);
    Keep(decoded_.data(), decoded_.size());
  }

  void Queue(const std::vector<uint8_t>& bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }

  void Keep(const uint8_t* bytes, size_t count) {
    const size_t room = kInputBufferBytes - std::min(kInputBufferBytes, input_.size());
    input_.insert(input_.end(), bytes, bytes + std::min(count, room));
  }

  // Sends the queue, waiting while the system's buffer is full, until
  // `deadline` or the interrupt; what went leaves the queue.  A failure
  // makes the port gone.
  void Flush(int64_t deadline) {
    size_t done = 0;
    while (done < out_.size() && !gone_) {
      const auto n = send(socket_, reinterpret_cast<const char*>(out_.data() + done),
                          static_cast<int>(std::min<size_t>(out_.size() - done, INT_MAX)), kSendFlags);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      const int e = LastError();
      if (n < 0 && Interrupted(e)) continue;
      if (n < 0 && !WouldBlock(e)) {
        gone_ = true;
        break;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0 || InterruptSignalled()) break;
      AwaitWritable(static_cast<int>(left));
    }
    if (gone_)
      out_.clear();
    else
      out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(done));
  }

  // The connection ended during the open: a server that cannot serve it
  // closes it at once, some with a line of text saying why.
  int Closed(std::string* text) {
    const std::string said(input_.begin(), input_.end());
    input_.clear();
    if (unread_answers_) {
      *text = "the server kept asking for Telnet answers that it did not read";
      return KORVEL_OPEN_NETWORK;
    }
    if (said.find("in use") != std::string::npos) {
      *text = "the server closed the connection: the port is in use by another client";
      return KORVEL_OPEN_BUSY;
    }
    *text = "the server closed the connection (is the device there, and free?)";
    return KORVEL_OPEN_NETWORK;
  }

  Socket socket_;
  bool telnet_;
  telnet::Client client_;
  std::vector<uint8_t> input_;  // data bytes received and not yet read
  std::vector<uint8_t> decoded_;
  std::vector<uint8_t> out_;  // for the server, not yet taken by the system
  bool gone_ = false;
  bool closing_ = false;         // the system reported the end of the connection
  bool unread_answers_ = false;  // gone for owing more than kOwedLimitBytes
  std::atomic<bool> interrupted_{false};
  int64_t last_purge_ms_ = 0;
  uint8_t pending_purges_ = 0;  // telnet::kPurgeReceive | kPurgeTransmit, for the next write
#ifdef _WIN32
  HANDLE interrupt_ = nullptr;
  HANDLE nudge_ = nullptr;  // auto-reset: Wake()
  WSAEVENT socket_event_ = WSA_INVALID_EVENT;
  bool socket_pending_ = false;  // a read or the end, seen while waiting to write
  win32::TickClock clock_;
#else
  int wake_ = -1;
  int wake_write_ = -1;
#endif
};

// Fills `failure`.
std::nullptr_t Fail(OpenFailure* failure, int reason, int system_error, const std::string& name,
                    const std::string& what) {
  failure->reason = reason;
  failure->system_error = system_error;
  failure->device = name;
  failure->text = name + ": " + what;
  return nullptr;
}

// Connects to one address within `ms`; the socket (non-blocking), or
// kNoSocket with `error` set.
Socket Connect(const addrinfo* address, int ms, int* error) {
  Socket s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
#ifndef _WIN32
  s = AboveStandardStreams(s);
#endif
  if (s == kNoSocket) {
    *error = LastError();
    return kNoSocket;
  }
  if (!SetNonBlocking(s)) {
    *error = LastError();
    CloseSocket(s);
    return kNoSocket;
  }
#if defined(SO_NOSIGPIPE)
  const int on = 1;
  setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  // Requests are a few bytes each: the system need not hold megabytes of
  // them (or of answers) for a server that does not read.
  const int send_buffer = static_cast<int>(kSendBufferBytes);
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&send_buffer), sizeof send_buffer);
  if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
    const int e = LastError();
    bool failed = false;
    if (!WouldBlock(e)) {
      *error = e;
      CloseSocket(s);
      return kNoSocket;
    }
    if (!WaitWritable(s, ms, &failed)) {
      *error = kTimedOut;
      CloseSocket(s);
      return kNoSocket;
    }
    int so_error = 0;
    socklen_t length = sizeof so_error;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &length) != 0)
      so_error = LastError();
    if (so_error != 0 || failed) {
      *error = so_error != 0 ? so_error : kRefused;
      CloseSocket(s);
      return kNoSocket;
    }
  }
  const int on = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  AcknowledgeAtOnce(s, true);
  return s;
}

int ReasonOfConnectError(int error) {
  return error == kRefused ? KORVEL_OPEN_ABSENT : KORVEL_OPEN_NETWORK;
}

int64_t OpenClockMs() {
#ifdef _WIN32
  return static_cast<int64_t>(GetTickCount64());
#else
  return MonotonicMs();
#endif
}

}  // namespace

bool IsNetworkPortName(const char* name) {
  return ParseNetworkPortName(name).protocol != NetworkPortName::Protocol::kNone;
}

std::unique_ptr<Port> OpenNetworkPort(const char* given, uint32_t baud, OpenFailure* failure) {
  const std::string name = given;
  const NetworkPortName parsed = ParseNetworkPortName(name);
  if (!parsed.error.empty()) return Fail(failure, KORVEL_OPEN_ARGUMENT, 0, name, parsed.error);
  const bool telnet = parsed.protocol == NetworkPortName::Protocol::kRfc2217;

  if (const int e = StartSockets(); e != 0) return Fail(failure, KORVEL_OPEN_SYSTEM, e, name, ErrorText(e));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* addresses = nullptr;
  const std::string service = std::to_string(parsed.port);
  if (const int e = getaddrinfo(parsed.host.c_str(), service.c_str(), &hints, &addresses); e != 0) {
#ifndef _WIN32
    if (e == EAI_SYSTEM) return Fail(failure, KORVEL_OPEN_SYSTEM, errno, name, ErrorText(errno));
#endif
    return Fail(failure, NameNotFound(e) ? KORVEL_OPEN_ABSENT : KORVEL_OPEN_NETWORK, 0, name,
                ResolveErrorText(e));
  }
  // Every address of the name in turn, within one time limit.
  const int64_t start = OpenClockMs();
  Socket socket = kNoSocket;
  int error = kTimedOut;
  for (const addrinfo* a = addresses; a != nullptr && socket == kNoSocket; a = a->ai_next) {
    const int64_t left = kConnectTimeoutMs - (OpenClockMs() - start);
    if (left <= 0) break;
    socket = Connect(a, static_cast<int>(left), &error);
  }
  freeaddrinfo(addresses);
  if (socket == kNoSocket) return Fail(failure, ReasonOfConnectError(error), error, name, ErrorText(error));
  const int64_t connect_ms = OpenClockMs() - start;

  std::unique_ptr<NetPort> port(new (std::nothrow) NetPort(socket, telnet));
  if (!port) {
    CloseSocket(socket);
    return Fail(failure, KORVEL_OPEN_SYSTEM, 0, name, "out of memory");
  }
  if (const int e = port->Prepare(); e != 0) return Fail(failure, KORVEL_OPEN_SYSTEM, e, name, ErrorText(e));
  std::string why;
  const int reason = telnet ? port->Negotiate(baud, &why)
                            : port->AwaitVerdict(static_cast<int>(std::clamp<int64_t>(
                                                     2 * connect_ms + kRawVerdictMinMs, 0, kRawVerdictMaxMs)),
                                                 &why);
  if (reason != KORVEL_OPEN_OK) return Fail(failure, reason, 0, name, why.empty() ? "interrupted" : why);
  return port;
}

}  // namespace korvel
