// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The network ports against scripted servers on loopback: what a real
// ser2net does not do on request (refuse the option or a rate, stay silent,
// split its replies at every byte, send stale bytes before confirming a
// purge, flood the client), and the reasons of failed opens.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_port.h"
#include "guarded_area.h"
#include "korvel.h"
#include "korvel_sim.h"
#include "telnet.h"

namespace {

using namespace korvel::telnet;
using korvel::fake::GuardedArea;
using korvel::fake::Hex;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// One accepted connection, seen from the server: what the client sent,
// decoded as Telnet.
class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}
  ~Peer() { close(fd_); }
  void Send(const Bytes& b) { (void)!send(fd_, b.data(), b.size(), MSG_NOSIGNAL); }
  // Sends one byte per segment.
  void Trickle(const Bytes& b) {
    for (uint8_t byte : b) {
      Send({byte});
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  }
  // Reads until `done()` holds; false after `ms` or at the end of the stream.
  bool ReadUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto t0 = Clock::now();
    while (!done()) {
      pollfd p{fd_, POLLIN, 0};
      if (MsSince(t0) > ms || poll(&p, 1, 50) < 0) return false;
      uint8_t buffer[1024];
      if ((p.revents & POLLIN) == 0) continue;
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      decoder_.Feed(buffer, static_cast<size_t>(n), &data, &commands);
    }
    return true;
  }
  // The COM port commands received so far, as "code value..." byte lists.
  std::vector<Bytes> ComPortCommands() const {
    std::vector<Bytes> out;
    for (const Command& c : commands) {
      if (c.verb != kSb || c.option != kOptionComPort) continue;
      out.push_back(c.value);
    }
    return out;
  }
  bool Received(const Bytes& command) const {
    for (const Bytes& c : ComPortCommands())
      if (c == command) return true;
    return false;
  }
  // The server's side of an open: takes up the option and confirms every
  // line setting as asked, but the rate with `rate`.
  bool ServeOpen(uint32_t rate) {
    if (!ReadUntil([&] { return Has(kWill, kOptionComPort); })) return false;
    Send({kIac, kDo, kOptionComPort, kIac, kWill, kOptionBinary, kIac, kDo, kOptionBinary});
    if (!ReadUntil([&] { return Received({kSetControl, kControlRtsOn}); })) return false;
    Bytes answer;
    for (const Bytes& c : ComPortCommands()) {
      Bytes value(c.begin() + 1, c.end());
      if (c[0] == kSetBaudRate)
        value = {uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8), uint8_t(rate)};
      if (c[0] == kSetControl && value[0] > 3) continue;  // modem control: unconfirmed, as ser2net on a pty
      AppendComPortCommand(static_cast<uint8_t>(c[0] + kServerCode), value, &answer);
    }
    Send(answer);
    return true;
  }
  bool Has(uint8_t verb, uint8_t option) const {
    for (const Command& c : commands)
      if (c.verb == verb && c.option == option) return true;
    return false;
  }
  // True once the client has closed the connection.
  bool Closed(int ms) {
    return !ReadUntil([] { return false; }, ms);
  }
  // Sends `prefix`, then `unit` over and over, as fast as the client takes
  // it, until the client has gone or `ms` have passed.  With `reading`, what
  // the client sends is read and dropped meanwhile; without, never read.
  void Flood(const Bytes& prefix, const Bytes& unit, bool reading, int ms = 20000) {
    Bytes first = prefix, more;
    while (first.size() < 16384) first.insert(first.end(), unit.begin(), unit.end());
    while (more.size() < 16384) more.insert(more.end(), unit.begin(), unit.end());
    if (!reading) {  // what the client sends piles up on its side, not in a large buffer here
      const int size = 4096;
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    const Bytes* block = &first;
    size_t at = 0;
    const auto t0 = Clock::now();
    while (MsSince(t0) < ms) {
      pollfd p{fd_, static_cast<short>(POLLOUT | (reading ? POLLIN : 0)), 0};
      if (poll(&p, 1, 50) < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
      if ((p.revents & POLLIN) != 0) {
        uint8_t buffer[4096];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) return;
      }
      if ((p.revents & POLLOUT) == 0) continue;
      const ssize_t n = send(fd_, block->data() + at, block->size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) return;
      at += static_cast<size_t>(std::max<ssize_t>(n, 0));
      if (at == block->size()) {
        block = &more;
        at = 0;
      }
    }
  }

  Bytes data;
  std::vector<Command> commands;

 private:
  int fd_;
  Decoder decoder_;
};

// A loopback server that runs `script` on the first connection it accepts.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(Peer&)> script, int family = AF_INET) {
    listener_ = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a{};
    socklen_t length;
    if (family == AF_INET6) {
      auto* a6 = reinterpret_cast<sockaddr_in6*>(&a);
      a6->sin6_family = AF_INET6;
      a6->sin6_addr = in6addr_loopback;
      length = sizeof *a6;
    } else {
      auto* a4 = reinterpret_cast<sockaddr_in*>(&a);
      a4->sin_family = AF_INET;
      a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof *a4;
    }
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&a), length) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      return;
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
    thread_ = std::thread([this, script] {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      Peer peer(fd);
      script(peer);
    });
  }
  ~ScriptedServer() {
    shutdown(listener_, SHUT_RDWR);  // ends an accept() still waiting
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  std::string Name(const char* scheme, const char* host = "127.0.0.1") const {
    return std::string(scheme) + "://" + host + ":" + std::to_string(port_);
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A loopback port that refuses connections: bound, never listening.
struct RefusingPort {
  RefusingPort() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
  }
  ~RefusingPort() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint16_t port = 0;
};

struct OpenResult {
  void* handle;
  int reason;
  std::string text;
  int64_t ms;
};

OpenResult TryOpen(const std::string& name, uint32_t baud = 9600) {
  const auto t0 = Clock::now();
  void* h = Korvel_CommOpenWithBaud(name.c_str(), baud);
  Korvel_OpenError error;
  Korvel_GetOpenError(&error);
  return {h, error.reason, error.text, MsSince(t0)};
}

TEST(NetOpen, AFailedOpenSaysWhy) {
  struct Case {
    const char* what;
    const char* scheme;
    std::function<void(Peer&)> script;
    int reason;
    std::string text;
  };
  const std::string notice = "Port already in use\r\n";  // what ser2net says
  const Bytes in_use(notice.begin(), notice.end());
  const std::string option_then_notice = "\xFF\xFD\x2C" + notice;  // IAC DO COM-PORT-OPTION, the notice
  const Bytes option_then_in_use(option_then_notice.begin(), option_then_notice.end());
  const Case cases[] = {
      {"the option refused", "rfc2217",
       [](Peer& p) {
         p.ReadUntil([&] { return p.Has(kWill, kOptionComPort); });
         p.Send({kIac, kDont, kOptionComPort});
         p.Closed(5000);
       },
       KORVEL_OPEN_NETWORK, "refused the COM port control option"},
      {"another rate", "rfc2217",
       [](Peer& p) {
         if (p.ServeOpen(4800)) p.Closed(5000);
       },
       KORVEL_OPEN_CONFIG, "the server set 4800 baud when asked for 9600"},
      {"turned away (RFC 2217)", "rfc2217", [&](Peer& p) { p.Send(option_then_in_use); }, KORVEL_OPEN_BUSY,
       "in use"},
      {"turned away (raw TCP)", "tcp", [&](Peer& p) { p.Send(in_use); }, KORVEL_OPEN_BUSY, "in use"},
      {"closed at once", "tcp", [](Peer&) {}, KORVEL_OPEN_NETWORK, "closed the connection"},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script);
    const OpenResult r = TryOpen(server.Name(c.scheme));
    EXPECT_EQ(r.handle, nullptr) << c.what;
    Korvel_CommClose(r.handle);
    EXPECT_EQ(r.reason, c.reason) << c.what << ": " << r.text;
    EXPECT_NE(r.text.find(c.text), std::string::npos) << c.what << ": " << r.text;
    EXPECT_LT(r.ms, 2000) << c.what;
  }

  RefusingPort refusing;
  for (const char* scheme : {"rfc2217", "tcp"}) {
    const std::string name = std::string(scheme) + "://127.0.0.1:" + std::to_string(refusing.port);
    const OpenResult r = TryOpen(name);
    EXPECT_EQ(r.handle, nullptr);
    EXPECT_EQ(r.reason, KORVEL_OPEN_ABSENT) << r.text;
    EXPECT_EQ(r.text, name + ": " + std::strerror(ECONNREFUSED));
    EXPECT_LT(r.ms, 1000);
  }
  for (const char* name : {"tcp://127.0.0.1", "rfc2217://[::1:7000", "tcp://host:0"})
    EXPECT_EQ(TryOpen(name).reason, KORVEL_OPEN_ARGUMENT) << name;
  EXPECT_EQ(TryOpen("tcp://127.0.0.1:1", 1234).reason, KORVEL_OPEN_BAUD);
}

// Requests go out with 0xFF doubled after a purge of both directions; the
// reply may come a byte at a time with Telnet commands between its bytes,
// and data the server sent before confirming the receive purge is stale.
TEST(NetFraming, RepliesSplitAtEveryByteAndStaleBytesBeforeThePurgeConfirmation) {
  const std::array<uint8_t, 8> record{0xFF, '?', 0xFF, 0xFF, '+', '?', '7', '1'};
  const Bytes request = korvel::sim::BuildRequest('5', Bytes(record.begin(), record.end()));
  const Bytes ident = {'A', 0xFF, 'B', 0x0D, 0x00};
  std::atomic<bool> script_ok{false};
  ScriptedServer server([&](Peer& p) {
    if (!p.ServeOpen(9600)) return;  // confirms the open's purge: from now on purges are awaited
    // The track settings: purges first, then the request whole.
    if (!p.ReadUntil([&] { return p.data.size() >= request.size(); })) return;
    const std::vector<Bytes> commands = p.ComPortCommands();
    script_ok = p.data == request && !commands.empty() && commands.back() == Bytes{kPurgeData, kPurgeBoth};
    Bytes reply = {0x15, 0x15};  // stale: sent before the purge was confirmed
    AppendComPortCommand(100 + kPurgeData, {kPurgeBoth}, &reply);
    const Bytes frame = korvel::sim::BuildReply('5', 0xFF, 'Y', {});
    AppendData(frame.data(), frame.size(), &reply);
    p.Trickle(reply);
    // Identification text with 0xFF, CR and NUL, a byte at a time with a NOP
    // and a modem state notice between every two bytes.
    p.data.clear();
    if (!p.ReadUntil([&] { return p.data.size() >= 6; })) return;
    Bytes answer = {0x15};  // stale
    AppendComPortCommand(100 + kPurgeData, {kPurgeBoth}, &answer);
    for (uint8_t b : korvel::sim::BuildReply('2', '0', 'Y', ident)) {
      AppendData(&b, 1, &answer);
      answer.insert(answer.end(), {kIac, 241});
      AppendComPortCommand(107, {0x30}, &answer);
    }
    p.Trickle(answer);
    p.Closed(5000);
  });
  void* h = Korvel_CommOpenWithBaud(server.Name("rfc2217").c_str(), 9600);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_OK);
  EXPECT_TRUE(script_ok.load()) << "the request did not arrive as it was sent";
  GuardedArea text(30);
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_OK);
  Bytes expected = ident;
  expected.resize(30, 0);
  EXPECT_EQ(Hex(text.Contents()), Hex(expected));
  EXPECT_TRUE(text.GuardsIntact());
  Korvel_CommClose(h);
}

TEST(NetOpen, AnIPv6AddressInBrackets) {
  const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool v6 = probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  if (probe >= 0) close(probe);
  if (!v6) GTEST_SKIP() << "no IPv6 loopback on this machine";
  ScriptedServer server(
      [](Peer& p) {
        if (p.ServeOpen(19200)) p.Closed(5000);
      },
      AF_INET6);
  void* h = Korvel_CommOpenWithBaud(server.Name("rfc2217", "[::1]").c_str(), 19200);
  EXPECT_NE(h, nullptr);
  Korvel_CommClose(h);
}

// The library's sockets and wake pipe stay off descriptors 0 to 2, which a
// program started with them closed would otherwise hand out: a child with
// them closed opens a port and finds them still closed.
TEST(NetOpen, NeverOnDescriptorsZeroToTwo) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), length), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
  const std::string name = "tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {  // exits 1: the open failed; 2: it took a descriptor from 0 to 2
    for (int fd = 0; fd <= 2; ++fd) close(fd);
    void* h = Korvel_CommOpenWithBaud(name.c_str(), 9600);  // the connection waits in the queue
    if (h == nullptr) _exit(1);
    for (int fd = 0; fd <= 2; ++fd)
      if (fcntl(fd, F_GETFD) != -1) _exit(2);
    Korvel_CommClose(h);
    _exit(0);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  close(listener);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "1: the open failed, 2: a descriptor from 0 to 2 was taken";
}

// --- a server that floods the client ------------------------------------------

struct FloodKind {
  const char* what;
  Bytes prefix;
  Bytes unit;             // sent over and over after the prefix
  bool reads;             // the server reads what the client sends
  const char* open_text;  // why an open that it starts fails
  int status;             // how a framed command ends meanwhile
};

const std::vector<FloodKind>& FloodKinds() {
  static const char* kSlow = "did not take up the COM port control option of RFC 2217 within 3 s";
  static const std::vector<FloodKind> kinds = {
      {"Telnet NOPs", {}, {kIac, 241}, true, kSlow, KORVEL_E_NO_REPLY},
      // Dropped for a while as sent before the purge's confirmation, then
      // taken for a reply that does not start as one.
      {"data that is no reply", {}, {0x15, 0x80, 0x41, 0x0D}, true, kSlow, KORVEL_E_FRAME},
      {"a subnegotiation without end", {kIac, kSb, kOptionComPort}, {0x55}, true, kSlow, KORVEL_E_NO_REPLY},
      {"the same offer, its one answer never read", {}, {kIac, kWill, 5}, false, kSlow, KORVEL_E_NO_REPLY},
      {"an offer made and withdrawn, the answers never read",
       {},
       {kIac, kWill, kOptionSuppressGoAhead, kIac, kWont, kOptionSuppressGoAhead},
       false,
       "kept asking for Telnet answers that it did not read",
       KORVEL_E_DISCONNECTED},
  };
  return kinds;
}

// Serves an open, then floods the call that follows it from its request on
// (and sets `flooding` then).
void FloodACall(Peer& p, const FloodKind& k, std::atomic<bool>* flooding = nullptr) {
  if (!p.ServeOpen(9600) || !p.ReadUntil([&] { return !p.data.empty(); })) return;
  if (flooding != nullptr) *flooding = true;
  p.Flood(k.prefix, k.unit, k.reads);
}

// The open that the flood starts with ends within its limits (3 s to
// connect, 3 s for the server's confirmations), and so does a framed
// command flooded from its request on after a good open (3000 ms for the
// reply's start, 3000 ms for the rest).  The kinds run at the same time.
TEST(NetFloodSlow, EveryCallKeepsItsLimits) {
  struct Result {
    OpenResult open;
    void* handle = nullptr;
    int status = 0;
    int64_t call_ms = 0;
  };
  const std::vector<FloodKind>& kinds = FloodKinds();
  std::vector<Result> results(kinds.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < kinds.size(); ++i)
    threads.emplace_back([&, i] {
      const FloodKind& k = kinds[i];
      {
        ScriptedServer server([&](Peer& p) { p.Flood(k.prefix, k.unit, k.reads); });
        results[i].open = TryOpen(server.Name("rfc2217"));
        Korvel_CommClose(results[i].open.handle);
      }
      ScriptedServer server([&](Peer& p) { FloodACall(p, k); });
      void* h = Korvel_CommOpenWithBaud(server.Name("rfc2217").c_str(), 9600);
      results[i].handle = h;
      if (h == nullptr) return;
      unsigned char mode[10];
      const auto t0 = Clock::now();
      results[i].status = Korvel_Search(h, mode);
      results[i].call_ms = MsSince(t0);
      Korvel_CommClose(h);
    });
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < kinds.size(); ++i) {
    const Result& r = results[i];
    const char* what = kinds[i].what;
    EXPECT_EQ(r.open.handle, nullptr) << what;
    EXPECT_NE(r.open.text.find(kinds[i].open_text), std::string::npos) << what << ": " << r.open.text;
    EXPECT_LT(r.open.ms, 6000) << what << ": " << r.open.text;
    EXPECT_NE(r.handle, nullptr) << what << ": the open before the flood failed";
    EXPECT_EQ(r.status, kinds[i].status) << what;
    EXPECT_LT(r.call_ms, 6000) << what;
  }
}

void CountPump(void* context) {
  ++*static_cast<std::atomic<int>*>(context);
}

// A close from another thread ends a framed command at once, whatever the
// server floods it with.
TEST(NetFlood, ACloseFromAnotherThreadEndsAFloodedCall) {
  for (const FloodKind& k : FloodKinds()) {
    if (k.status != KORVEL_E_NO_REPLY) continue;  // the others end early by themselves
    std::atomic<bool> flooding{false};
    ScriptedServer server([&](Peer& p) { FloodACall(p, k, &flooding); });
    void* h = Korvel_CommOpenWithBaud(server.Name("rfc2217").c_str(), 9600);
    ASSERT_NE(h, nullptr) << k.what;
    std::atomic<int> pumps{0};  // the pump runs while the call waits for its reply
    ASSERT_EQ(Korvel_SetMessagePump(h, CountPump, &pumps), KORVEL_OK);
    std::atomic<int> status{1};
    std::atomic<int64_t> returned_ms{-1};
    const auto t0 = Clock::now();
    std::thread caller([&] {
      unsigned char mode[10];
      status = Korvel_Search(h, mode);
      returned_ms = MsSince(t0);
    });
    // Once the flood has begun, two more pump runs: the call is reading it.
    while (!flooding && MsSince(t0) < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int before = pumps.load();
    while (pumps.load() < before + 2 && MsSince(t0) < 2500)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(flooding && pumps.load() >= before + 2) << k.what << ": the call never waited in the flood";
    const int64_t closed_ms = MsSince(t0);
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK);
    caller.join();
    EXPECT_EQ(status.load(), KORVEL_E_HANDLE) << k.what;
    EXPECT_LT(returned_ms.load() - closed_ms, 500) << k.what;
  }
}

// --- each of these waits out a 3 s limit of the open -------------------------

TEST(NetOpenSlow, ASilentServerOrAnUnansweredConnectFailsInBoundedTime) {
  ScriptedServer silent([](Peer& p) { p.Closed(6000); });
  OpenResult r = TryOpen(silent.Name("rfc2217"));
  EXPECT_EQ(r.handle, nullptr);
  EXPECT_EQ(r.reason, KORVEL_OPEN_NETWORK) << r.text;
  EXPECT_GE(r.ms, 2900);
  EXPECT_LT(r.ms, 4500);

  // A listener whose queue of accepted connections is full answers no more
  // connection requests: the connect times out, as for a host that is down.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), length), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length), 0);
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 8 && !full; ++i) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(s, reinterpret_cast<sockaddr*>(&a), length);
    fillers.push_back(s);
    pollfd p{s, POLLOUT, 0};
    full = poll(&p, 1, 200) == 0;
  }
  if (full) {
    r = TryOpen("tcp://127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
    EXPECT_EQ(r.handle, nullptr);
    EXPECT_EQ(r.reason, KORVEL_OPEN_NETWORK) << r.text;
    EXPECT_NE(r.text.find(std::strerror(ETIMEDOUT)), std::string::npos) << r.text;
    EXPECT_GE(r.ms, 2900);
    EXPECT_LT(r.ms, 4500);
  }
  for (int s : fillers) close(s);
  close(listener);
  if (!full) GTEST_SKIP() << "this machine answers every connection request at once";
}

}  // namespace
