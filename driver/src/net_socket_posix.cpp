// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The network port's sockets on POSIX: BSD sockets and a wake pipe, both
// kept off descriptors 0 to 2; waits in poll() on the socket and the pipe.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "korvel.h"
#include "korvel/clock.h"
#include "korvel/posix_fd.h"
#include "net_socket.h"

namespace korvel::net {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;  // a closed connection gives EPIPE, never SIGPIPE
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

bool WouldBlock(int e) {
  return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS;
}

// What a failed receive or send (-1, errno set) means.
Io Failed() {
  const int e = errno;
  if (e == EINTR) return Io::kRetry;
  return WouldBlock(e) ? Io::kAgain : Io::kFailed;
}

// Non-blocking and closed on exec.
bool SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// Acknowledge every segment at once.  A server that writes a reply in more
// than one piece (a purge confirmation, then the reply; a long reply in
// chunks) with Nagle's algorithm on sends each next piece only once the last
// is acknowledged, and a delayed acknowledgement (40 ms on Linux) would hold
// every exchange up that long.  Linux's quick-ack mode lapses, so it is set
// again after every read.
void AcknowledgeAtOnce(int s) {
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

// Connects `s` (non-blocking) to `address` within `ms`; the system's error,
// or 0.
int ConnectWithin(int s, const addrinfo* address, int ms) {
  if (connect(s, address->ai_addr, address->ai_addrlen) == 0) return 0;
  const int e = errno;
  if (!WouldBlock(e)) return e;
  pollfd p{s, POLLOUT, 0};
  if (poll(&p, 1, ms) <= 0) return ETIMEDOUT;
  int so_error = 0;
  socklen_t length = sizeof so_error;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) so_error = errno;
  if (so_error != 0) return so_error;
  return (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? ECONNREFUSED : 0;
}

class PosixSocket final : public Socket {
 public:
  ~PosixSocket() override {
    for (int fd : {socket_, wake_, wake_write_})
      if (fd >= 0) close(fd);
  }

  int Connect(const addrinfo* address, int ms) override {
    const int s =
        AboveStandardStreams(socket(address->ai_family, address->ai_socktype, address->ai_protocol));
    if (s < 0) return errno;
    if (!SetNonBlocking(s)) {
      const int e = errno;
      close(s);
      return e;
    }
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof kSendBufferBytes);
    if (const int e = ConnectWithin(s, address, ms); e != 0) {
      close(s);
      return e;
    }
    const int no_delay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay);
    AcknowledgeAtOnce(s);
    socket_ = s;
    return 0;
  }

  int Prepare() override {
    int wake[2];
    if (const int err = MakeWakePipe(wake); err != 0) return err;
    wake_ = wake[0];
    wake_write_ = wake[1];
    return 0;
  }

  Io Receive(uint8_t* buffer, size_t size, size_t* moved) override {
    const ssize_t n = recv(socket_, buffer, size, 0);
    if (n == 0) return Io::kFailed;  // the end of the stream
    if (n < 0) return Failed();
    AcknowledgeAtOnce(socket_);
    *moved = static_cast<size_t>(n);
    return Io::kMoved;
  }

  Io Send(const uint8_t* bytes, size_t size, size_t* moved) override {
    const ssize_t n = send(socket_, bytes, size, kSendFlags);
    if (n == 0) return Io::kAgain;
    if (n < 0) return Failed();
    *moved = static_cast<size_t>(n);
    return Io::kMoved;
  }

  Signal Sleep(int ms, bool on_messages, bool want_write, bool* writable) override {
    (void)on_messages;
    if (wake_pending_) {  // taken from the pipe while waiting to write
      wake_pending_ = false;
      return Signal::kWoken;
    }
    const short out = want_write ? POLLOUT : 0;
    pollfd p[2] = {{socket_, static_cast<short>(POLLIN | out), 0}, {wake_, POLLIN, 0}};
    const int r = poll(p, 2, ms);
    if (r < 0) return errno == EINTR ? Signal::kTime : Signal::kWoken;
    if (r == 0) return Signal::kTime;
    if (p[1].revents != 0) {
      // A Wake() is taken once; an Interrupt() stays.
      char sink[64];
      if (!Interrupted())
        while (read(wake_, sink, sizeof sink) > 0) {
        }
      return Signal::kWoken;
    }
    if ((p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) closing_ = true;
    *writable = (p[0].revents & POLLOUT) != 0;
    return Signal::kSocket;
  }

  // Room to write, an Interrupt() or the end of `ms`.  A Wake() does not end
  // it (a cancel is for waits, not writes) but is kept for the next Sleep:
  // taken from the pipe here, so that the pipe does not stay readable and
  // make this a busy loop.
  void AwaitWritable(int ms) override {
    const int64_t end = MonotonicMs() + ms;
    for (;;) {
      // Interrupt() sets its flag before its byte: a byte taken below is
      // seen here as the flag.
      if (Interrupted()) return;
      pollfd p[2] = {{socket_, POLLOUT, 0}, {wake_, POLLIN, 0}};
      const int64_t left = end - MonotonicMs();
      if (left <= 0 || poll(p, 2, static_cast<int>(left)) <= 0 || p[0].revents != 0) return;
      char sink[64];
      while (read(wake_, sink, sizeof sink) > 0) wake_pending_ = true;
    }
  }

  void Wake() override {
    const char c = 1;
    (void)!write(wake_write_, &c, 1);
  }

  int64_t NowMs() override {
    return MonotonicMs();
  }

 private:
  void SignalInterrupt() override {
    Wake();
  }

  int socket_ = -1;
  int wake_ = -1;
  int wake_write_ = -1;
  bool wake_pending_ = false;
};

}  // namespace

int StartSockets() {
  return 0;
}

std::string ErrorText(int error) {
  return std::strerror(error);
}

int TimedOutError() {
  return ETIMEDOUT;
}

bool IsRefused(int error) {
  return error == ECONNREFUSED;
}

Addresses::~Addresses() {
  if (list_ != nullptr) freeaddrinfo(list_);
}

int Addresses::Resolve(const std::string& host, uint16_t port, int* system_error, std::string* text) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  const int e = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list_);
  if (e == 0) return KORVEL_OPEN_OK;
  if (e == EAI_SYSTEM) {
    *system_error = errno;
    *text = ErrorText(*system_error);
    return KORVEL_OPEN_SYSTEM;
  }
  *text = gai_strerror(e);
  return NameNotFound(e) ? KORVEL_OPEN_ABSENT : KORVEL_OPEN_NETWORK;
}

const addrinfo* Addresses::Next(const addrinfo* address) {
  return address->ai_next;
}

std::unique_ptr<Socket> NewSocket() {
  return std::unique_ptr<Socket>(new (std::nothrow) PosixSocket);
}

}  // namespace korvel::net
