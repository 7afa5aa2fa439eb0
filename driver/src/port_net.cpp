// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Network port backend: a serial port behind a port server, reached over TCP
// with Telnet and the COM port control option (RFC 2217, "rfc2217://") or as
// a raw byte stream ("tcp://").  The sockets are net_socket.h (one file per
// platform); the Telnet conversation itself is telnet.{h,cpp}.
//
// Received bytes are decoded as they are read and kept in the port's own
// input buffer, so that the input queue the protocol core counts holds data
// bytes only.  Waits sleep in the system on the socket and the interrupt
// (and on Windows the thread's window messages), like the serial backends.
//
// Whatever the server sends, no call outlasts its own time limit: one look
// at the socket reads a bounded amount, the answers the Telnet conversation
// owes the server are queued and sent as the system takes them (never
// waited for outside a write), a write waits no longer than its limit, and
// the interrupt ends every wait, for the socket to be writable as well.
#include <algorithm>
#include <climits>
#include <new>
#include <string>
#include <vector>

#include "korvel.h"
#include "korvel/port_names.h"
#include "net_socket.h"
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
// Answers owed to the server beyond what the system's buffers took (its
// send buffer is net::kSendBufferBytes): a server that keeps asking for
// answers and never reads them is gone.  A conversation owes a few dozen
// bytes; every option refused once is 1.5 KiB.
constexpr size_t kOwedLimitBytes = 16 * 1024;

class NetPort final : public Port {
 public:
  NetPort(std::unique_ptr<net::Socket> socket, bool telnet) : socket_(std::move(socket)), telnet_(telnet) {}

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
  void Interrupt() override { socket_->Interrupt(); }

  // Ends one Sleep(): the current one, or the next.
  void Wake() override { socket_->Wake(); }

  int64_t NowMs() override { return socket_->NowMs(); }

  void PumpPlatformMessages() override { socket_->PumpMessages(); }
  bool HasPlatformPump() const override { return socket_->HasMessagePump(); }
  bool Gone() const override { return gone_; }

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
  using Signal = net::Signal;

  bool InterruptSignalled() const { return socket_->Interrupted(); }

  // Sleeps in the system until the socket has something to report (or takes
  // bytes that are queued for it: they are sent), the interrupt is signalled
  // (kWoken), a window message arrives (kWoken, with `on_messages`) or `ms`
  // pass (kTime).
  Signal Sleep(int ms, bool on_messages) {
    if (InterruptSignalled()) return Signal::kWoken;
    bool writable = false;
    const Signal signal = socket_->Sleep(ms, on_messages, !out_.empty(), &writable);
    if (writable) Flush(NowMs());
    return signal;
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
      size_t n = 0;
      const net::Io io = socket_->Receive(buffer, sizeof buffer, &n);
      if (io == net::Io::kMoved) {
        Take(buffer, n);
        taken += n;
        continue;
      }
      if (io == net::Io::kRetry) continue;
      if (io == net::Io::kAgain && !socket_->Closing()) break;
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

  void Queue(const std::vector<uint8_t>& bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }

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
      size_t n = 0;
      const net::Io io = socket_->Send(out_.data() + done, out_.size() - done, &n);
      if (io == net::Io::kMoved) {
        done += n;
        continue;
      }
      if (io == net::Io::kRetry) continue;
      if (io == net::Io::kFailed) {
        gone_ = true;
        break;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0 || InterruptSignalled()) break;
      socket_->AwaitWritable(static_cast<int>(left));
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

  std::unique_ptr<net::Socket> socket_;
  bool telnet_;
  telnet::Client client_;
  std::vector<uint8_t> input_;  // data bytes received and not yet read
  std::vector<uint8_t> decoded_;
  std::vector<uint8_t> out_;  // for the server, not yet taken by the system
  bool gone_ = false;
  bool unread_answers_ = false;  // gone for owing more than kOwedLimitBytes
  int64_t last_purge_ms_ = 0;
  uint8_t pending_purges_ = 0;  // telnet::kPurgeReceive | kPurgeTransmit, for the next write
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

// Looks the server up and connects `socket` to its addresses in turn, all
// within one time limit, which `connect_ms` of it took; false with `failure`
// filled.
bool ConnectToServer(const NetworkPortName& server, net::Socket* socket, int64_t* connect_ms,
                     const std::string& name, OpenFailure* failure) {
  net::Addresses addresses;
  int system_error = 0;
  std::string text;
  if (const int reason = addresses.Resolve(server.host, server.port, &system_error, &text);
      reason != KORVEL_OPEN_OK) {
    Fail(failure, reason, system_error, name, text);
    return false;
  }
  const int64_t start = socket->NowMs();
  int error = net::TimedOutError();
  for (const addrinfo* a = addresses.First(); a != nullptr; a = net::Addresses::Next(a)) {
    const int64_t left = kConnectTimeoutMs - (socket->NowMs() - start);
    if (left <= 0) break;
    error = socket->Connect(a, static_cast<int>(left));
    *connect_ms = socket->NowMs() - start;
    if (error == 0) return true;
  }
  Fail(failure, net::IsRefused(error) ? KORVEL_OPEN_ABSENT : KORVEL_OPEN_NETWORK, error, name,
       net::ErrorText(error));
  return false;
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

  if (const int e = net::StartSockets(); e != 0)
    return Fail(failure, KORVEL_OPEN_SYSTEM, e, name, net::ErrorText(e));
  std::unique_ptr<net::Socket> socket = net::NewSocket();
  if (!socket) return Fail(failure, KORVEL_OPEN_SYSTEM, 0, name, "out of memory");
  int64_t connect_ms = 0;
  if (!ConnectToServer(parsed, socket.get(), &connect_ms, name, failure)) return nullptr;
  if (const int e = socket->Prepare(); e != 0)
    return Fail(failure, KORVEL_OPEN_SYSTEM, e, name, net::ErrorText(e));

  std::unique_ptr<NetPort> port(new (std::nothrow) NetPort(std::move(socket), telnet));
  if (!port) return Fail(failure, KORVEL_OPEN_SYSTEM, 0, name, "out of memory");
  std::string why;
  const int reason = telnet ? port->Negotiate(baud, &why)
                            : port->AwaitVerdict(static_cast<int>(std::clamp<int64_t>(
                                                     2 * connect_ms + kRawVerdictMinMs, 0, kRawVerdictMaxMs)),
                                                 &why);
  if (reason != KORVEL_OPEN_OK) return Fail(failure, reason, 0, name, why.empty() ? "interrupted" : why);
  return port;
}

}  // namespace korvel
