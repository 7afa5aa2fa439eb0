// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The library against a real ser2net in front of the simulated reader, over
// RFC 2217 and over raw TCP: what holds for a local port holds unchanged.
// The scenarios of the EachTransport suites run over the simulated reader's
// pty itself as well, one list for the three transports.  Every test starts
// its own reader (its own pty) and its own ser2net on free loopback ports.
// Tests of the *Slow suites wait out a 3000 ms limit at least once; ctest
// labels them "integration-slow".  Without ser2net installed every test but
// the pty's is skipped.
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "guarded_area.h"
#include "korvel.h"
#include "korvel_sim.h"
#include "ser2net_server.h"

namespace {

using namespace korvel::sim;
using korvel::fake::GuardedArea;
using korvel::net_test::Ser2net;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The library counts whole milliseconds: its 3000 ms may measure 2999.x here.
constexpr int64_t kReplyLimitMs = 2999;

Bytes Str(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes ZeroFilled(Bytes b, size_t size) {
  b.resize(size, 0);
  return b;
}

void CountPump(void* context) {
  ++*static_cast<std::atomic<int>*>(context);
}

// The way to the reader: its pty directly, or ser2net in front of it.
enum class Scheme { kPty, kRfc2217, kTcp };

void PrintTo(Scheme s, std::ostream* os) {
  *os << (s == Scheme::kPty ? "pty" : s == Scheme::kRfc2217 ? "rfc2217://" : "tcp://");
}

class NetFixture : public ::testing::Test {
 protected:
  virtual Scheme scheme() const { return Scheme::kRfc2217; }

  void SetUp() override {
    if (scheme() != Scheme::kPty && Ser2net::Program().empty())
      GTEST_SKIP() << "ser2net is not installed (scripts/setup-debian.sh --test installs it)";
    std::string error;
    reader_ = PtyReader::Start({}, &error);
    ASSERT_TRUE(reader_) << error;
    if (scheme() == Scheme::kPty) return;
    server_ = Ser2net::Start({reader_->path()}, &error);
    ASSERT_TRUE(server_) << error;
  }
  void TearDown() override {
    for (void* h : handles_) Korvel_CommClose(h);
    if (HasFailure() && server_) std::printf("--- ser2net's log\n%s\n", server_->Log().c_str());
  }

  std::string Name() const {
    if (scheme() == Scheme::kPty) return reader_->path();
    const auto& e = server_->endpoints(0);
    return scheme() == Scheme::kRfc2217 ? e.rfc2217 : e.tcp;
  }
  void* Open(uint32_t baud = 9600) {
    void* h = Korvel_CommOpenWithBaud(Name().c_str(), baud);
    if (h != nullptr) handles_.push_back(h);
    return h;
  }
  void Close(void* h) {
    std::erase(handles_, h);
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK);
  }
  // Korvel_GetTrack once the first bytes have arrived.
  static int GetTrackWhenReady(void* h, unsigned char* area) {
    const auto t0 = Clock::now();
    int status;
    while ((status = Korvel_GetTrack(h, area)) == KORVEL_E_EMPTY && MsSince(t0) < 3000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return status;
  }

  std::unique_ptr<PtyReader> reader_;
  std::unique_ptr<Ser2net> server_;
  std::vector<void*> handles_;
};

class Net : public NetFixture, public ::testing::WithParamInterface<Scheme> {
 protected:
  Scheme scheme() const override { return GetParam(); }
};
// The scenarios that hold alike for a local port and a network one.
using EachTransport = Net;
using EachTransportSlow = Net;

std::string SchemeName(const ::testing::TestParamInfo<Scheme>& info) {
  return info.param == Scheme::kPty ? "pty" : info.param == Scheme::kRfc2217 ? "rfc2217" : "tcp";
}
INSTANTIATE_TEST_SUITE_P(Ser2net, Net, ::testing::Values(Scheme::kRfc2217, Scheme::kTcp), SchemeName);
INSTANTIATE_TEST_SUITE_P(All, EachTransport, ::testing::Values(Scheme::kPty, Scheme::kRfc2217, Scheme::kTcp),
                         SchemeName);
INSTANTIATE_TEST_SUITE_P(All, EachTransportSlow,
                         ::testing::Values(Scheme::kPty, Scheme::kRfc2217, Scheme::kTcp), SchemeName);

TEST_P(Net, EveryCommandReachesTheReaderWithItsExactBytes) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  GuardedArea text(30), mode(10), data(300);
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_OK);
  EXPECT_EQ(text.Contents(), ZeroFilled(Str("MSR-3T V2.10"), 30));
  EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  EXPECT_EQ(Korvel_Search(h, mode.data()), KORVEL_OK);
  EXPECT_EQ(mode[0], '0');
  EXPECT_EQ(Korvel_ReadMode(h, '9'), kErrorBadParameter);
  EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_COMMAND), KORVEL_OK);
  const std::array<uint8_t, 8> record{'[', ']', '<', '>', '{', '}', '7', '0'};
  EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_OK);
  EXPECT_EQ(reader_->State().track_settings, record);
  EXPECT_EQ(Korvel_ReadData(h, data.data()), kErrorNoCard);
  EXPECT_TRUE(data.Untouched());
  const Card& card = SampleCards()[0];
  reader_->Swipe(card);
  EXPECT_EQ(Korvel_ReadData(h, data.data()), KORVEL_OK);
  EXPECT_EQ(data.Contents(), ZeroFilled(Str("[" + card.track1 + "]<" + card.track2 + ">"), 300));
  EXPECT_EQ(Korvel_SetCommBaud(h, 19200), KORVEL_OK);
  EXPECT_EQ(reader_->State().baud, 19200u);
  EXPECT_TRUE(text.GuardsIntact() && mode.GuardsIntact() && data.GuardsIntact());

  Bytes wire;
  for (const Bytes& f : {BuildRequest('2', {'0'}), BuildRequest('0', {'0'}), BuildRequest('1', {'0'}),
                         BuildRequest('0', {'9'}), BuildRequest('0', {'1'}),
                         BuildRequest('5', Bytes(record.begin(), record.end())), BuildRequest('3', {'0'}),
                         BuildRequest('3', {'0'}), BuildRequest('4', {'2'})})
    wire.insert(wire.end(), f.begin(), f.end());
  EXPECT_TRUE(reader_->WaitReceived(wire.size(), 2000));
  EXPECT_EQ(reader_->Received(), wire);
}

// 0xFF is Telnet's command byte: it must travel doubled and arrive single,
// in the requests, in the replies (an error byte) and in captured data.
TEST_P(Net, Bytes0xFFAndControlBytesPassUntouchedBothWays) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  const std::array<uint8_t, 8> record{0xFF, 0xFF, 0x0D, 0x00, 0x0D, 0x0A, 0x11, 0x13};
  EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_OK);
  EXPECT_EQ(reader_->State().track_settings, record);
  EXPECT_EQ(reader_->Received(), BuildRequest('5', Bytes(record.begin(), record.end())));

  for (uint8_t error : {0x01, 0x7F, 0xFF}) {
    FaultSettings refuse{Fault::kRefuse};
    refuse.error_byte = error;
    reader_->SetFault(refuse);
    GuardedArea text(30);
    EXPECT_EQ(Korvel_Reset(h, text.data()), error);
    EXPECT_TRUE(text.Untouched());
  }
  reader_->SetFault({Fault::kNone});

  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  reader_->Swipe(SampleCards()[1]);
  GuardedArea data(300);
  ASSERT_EQ(GetTrackWhenReady(h, data.data()), KORVEL_OK);
  EXPECT_EQ(data.Contents(), ZeroFilled(reader_->State().last_swipe, 300));
  const Bytes raw = {0xFF, 0x03, 0xFF, 0xFF, 0x0D, 0x00, 0x0D, 0x0A, 0xFF, 0xFA, 0x2C, 0xF0, 0x80, 0xFF};
  reader_->Inject(raw);
  GuardedArea injected(300);
  ASSERT_EQ(GetTrackWhenReady(h, injected.data()), KORVEL_OK);
  EXPECT_EQ(injected.Contents(), ZeroFilled(raw, 300));
  EXPECT_TRUE(injected.GuardsIntact());
}

TEST_P(EachTransport, NoiseBeforeTheReplyIsAFrameErrorAndTheNextCommandRecovers) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  FaultSettings noise{Fault::kNoise};
  noise.noise = {0x15, 0xFF, 0x15};
  reader_->SetFault(noise);
  GuardedArea text(30);
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_E_FRAME);
  EXPECT_TRUE(text.Untouched());
  reader_->SetFault({Fault::kNone});
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_OK);
  EXPECT_EQ(text.Contents(), ZeroFilled(Str("MSR-3T V2.10"), 30));
}

TEST_P(Net, BurstsAreCapturedWholeUpToThreeHundredBytes) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  for (size_t size : {40u, 299u, 300u, 301u, 1000u}) {
    FaultSettings burst{Fault::kBurst};
    burst.burst_bytes = size;
    reader_->SetFault(burst);
    reader_->Swipe(SampleCards()[2]);
    ASSERT_TRUE(reader_->WaitIdle(2000));
    GuardedArea data(300);
    if (size > 300) {
      EXPECT_EQ(GetTrackWhenReady(h, data.data()), KORVEL_E_OVERFLOW) << size;
      EXPECT_TRUE(data.Untouched());
      GuardedArea mode(10);  // a framed command purges the queue
      EXPECT_EQ(Korvel_Search(h, mode.data()), KORVEL_OK) << size;
      EXPECT_EQ(Korvel_GetTrack(h, data.data()), KORVEL_E_EMPTY) << size;
      continue;
    }
    ASSERT_EQ(GetTrackWhenReady(h, data.data()), KORVEL_OK) << size;
    const Bytes tracks = reader_->State().last_swipe;
    Bytes expected(300, 0);
    for (size_t i = 0; i < size; ++i) expected[i] = tracks[i % tracks.size()];
    EXPECT_EQ(data.Contents(), expected) << size;
    EXPECT_EQ(Korvel_GetTrack(h, data.data()), KORVEL_E_EMPTY) << size;
  }
}

// The pump runs during a network wait, and a close from another thread
// ends a wait at once.
TEST_P(Net, ThePumpRunsAndACloseFromAnotherThreadEndsTheWait) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  FaultSettings slow{Fault::kSlow};
  slow.delay_ms = 300;
  reader_->SetFault(slow);
  std::atomic<int> pumps{0};
  ASSERT_EQ(Korvel_SetMessagePump(h, CountPump, &pumps), KORVEL_OK);
  GuardedArea text(30);
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_OK);
  EXPECT_GE(pumps.load(), 300 / 10 - 5);

  reader_->SetFault({Fault::kSilent});
  reader_->ClearReceived();
  std::atomic<int> status{1};
  std::thread caller([&] {
    unsigned char mode[10];
    status = Korvel_Search(h, mode);
  });
  ASSERT_TRUE(reader_->WaitReceived(6, 2000));
  const auto t0 = Clock::now();
  Close(h);
  caller.join();
  EXPECT_EQ(status.load(), KORVEL_E_HANDLE);
  EXPECT_LT(MsSince(t0), 500);
}

// A cancel from another thread ends a wait for a swipe at once, and the
// connection goes on serving.
TEST_P(Net, ACancelEndsAWaitForASwipeAndTheConnectionServesOn) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  std::atomic<int> status{1};
  std::thread waiter([&] {
    unsigned char data[KORVEL_DATA_AREA];
    status = Korvel_WaitTrack(h, data, KORVEL_WAIT_FOREVER);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto t0 = Clock::now();
  EXPECT_EQ(Korvel_CancelWait(h), KORVEL_OK);
  waiter.join();
  EXPECT_EQ(status.load(), KORVEL_E_CANCELLED);
  EXPECT_LT(MsSince(t0), 200);
  unsigned char mode[10];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK);
  reader_->Swipe(3);
  unsigned char data[KORVEL_DATA_AREA];
  EXPECT_EQ(Korvel_WaitTrack(h, data, 2000), KORVEL_OK) << "a taken wake does not end later waits";
}

// True while thread `tid` of this process sleeps in poll() with a timeout of
// at least `ms` (/proc/self/task/TID/syscall: the call's number, then its
// arguments, in hexadecimal).
bool SleepingInPoll(pid_t tid, long ms) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  std::string fds, count, timeout;
  if (!(in >> number >> fds >> count >> timeout)) return false;
#ifdef SYS_poll
  if (number == SYS_poll) return std::stol(timeout, nullptr, 16) >= ms;
#endif
  return number == SYS_ppoll;  // its timeout is behind a pointer
}

// The connection's end ends a wait at once, not when the slice of time the
// thread sleeps in runs out: a reply awaited, and a swipe awaited without
// limit, each while its thread sleeps in a long poll().
TEST_P(Net, TheServerKilledMidWaitIsTheDeviceGoingAway) {
  struct Case {
    const char* what;
    int (*call)(void* handle, unsigned char* area);
  };
  const Case cases[] = {{"Korvel_Reset", [](void* h, unsigned char* area) { return Korvel_Reset(h, area); }},
                        {"Korvel_WaitTrack", [](void* h, unsigned char* area) {
                           return Korvel_WaitTrack(h, area, KORVEL_WAIT_FOREVER);
                         }}};
  reader_->SetFault({Fault::kSilent});
  for (const Case& c : cases) {
    if (!server_) {
      std::string error;
      server_ = Ser2net::Start({reader_->path()}, &error);
      ASSERT_TRUE(server_) << error;
    }
    void* h = Open();
    ASSERT_NE(h, nullptr) << c.what;
    std::atomic<pid_t> tid{0};
    std::atomic<int> status{1};
    std::atomic<int64_t> returned_ms{-1};
    GuardedArea area(300);
    const auto t0 = Clock::now();
    std::thread caller([&] {
      tid = static_cast<pid_t>(syscall(SYS_gettid));
      status = c.call(h, area.data());
      returned_ms = MsSince(t0);
    });
    bool asleep = false;
    while (!(asleep = tid != 0 && SleepingInPoll(tid, 500)) && returned_ms < 0 && MsSince(t0) < 5000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(asleep) << c.what << ": the call never slept in a long wait";
    const int64_t killed_ms = MsSince(t0);
    server_->Kill();
    caller.join();
    server_.reset();
    EXPECT_EQ(status.load(), KORVEL_E_DISCONNECTED) << c.what;
    EXPECT_LT(returned_ms - killed_ms, 100) << c.what << ": the wait went on after the connection ended";
    EXPECT_TRUE(area.Untouched()) << c.what;
    EXPECT_EQ(Korvel_Search(h, area.data()), KORVEL_E_DISCONNECTED) << c.what;
    EXPECT_EQ(Korvel_GetTrack(h, area.data()), KORVEL_E_DISCONNECTED) << c.what;
    EXPECT_TRUE(area.Untouched()) << c.what;
    Close(h);
  }
}

// The hang-up meets the next command: it is seen during its wait.
TEST_P(EachTransport, AReaderThatHangsUpIsTheDeviceGoingAway) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kHangUp});
  const auto t0 = Clock::now();
  unsigned char mode[10];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_E_DISCONNECTED);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_TRUE(reader_->HungUp());
}

// Exclusivity is the server's: ser2net turns a second connection away.
TEST_P(Net, ASecondOpenIsTurnedAwayWhileTheFirstIsConnected) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Open(), nullptr);
  Korvel_OpenError error;
  EXPECT_EQ(Korvel_GetOpenError(&error), KORVEL_OPEN_BUSY) << error.text;
  EXPECT_EQ(std::string(error.device), Name());
  unsigned char text[30];
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);  // the first one is undisturbed
  Close(h);
  void* again = Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Korvel_Reset(again, text), KORVEL_OK);
}

// --- each of these waits out a 3000 ms limit --------------------------------

TEST_P(EachTransportSlow, SilenceIsNoReplyAfterThreeSecondsWhilePumping) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  std::atomic<int> pumps{0};
  ASSERT_EQ(Korvel_SetMessagePump(h, CountPump, &pumps), KORVEL_OK);
  GuardedArea text(30);
  const auto t0 = Clock::now();
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_E_NO_REPLY);
  const int64_t elapsed = MsSince(t0);
  EXPECT_GE(elapsed, kReplyLimitMs);
  EXPECT_LT(elapsed, 4500);
  EXPECT_TRUE(text.Untouched());
  // At least every ~10 ms: some 300 calls in 3000 ms.
  EXPECT_GE(pumps.load(), 250);
}

TEST_P(EachTransportSlow, AReplyCutShortTimesOutAfterItsStart) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  FaultSettings cut{Fault::kCutShort};
  cut.cut_bytes = 2;
  reader_->SetFault(cut);
  GuardedArea text(30);
  const auto t0 = Clock::now();
  EXPECT_EQ(Korvel_Reset(h, text.data()), KORVEL_E_REPLY_TIMEOUT);
  const int64_t elapsed = MsSince(t0);
  EXPECT_GE(elapsed, kReplyLimitMs);
  EXPECT_LT(elapsed, 4500);
  EXPECT_TRUE(text.Untouched());
}

// A port's line rate is set on open (RFC 2217 sets the server's): after the
// reader changed its own, it answers once the port is opened again at the
// new rate.  Raw TCP carries no line rate.
TEST_P(EachTransportSlow, AfterARateChangeTheReaderAnswersAReopenAtTheNewRate) {
  if (scheme() == Scheme::kTcp) GTEST_SKIP() << "raw TCP sets no line rate";
  void* h = Open(9600);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Korvel_SetCommBaud(h, 38400), KORVEL_OK);  // answered at the old rate
  unsigned char mode[10];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_E_NO_REPLY);
  Close(h);
  void* fast = Open(38400);
  ASSERT_NE(fast, nullptr);
  EXPECT_EQ(Korvel_Search(fast, mode), KORVEL_OK);
  EXPECT_EQ(Korvel_SetCommBaud(fast, 4800), KORVEL_OK);
  Close(fast);
  void* slow = Open(4800);
  ASSERT_NE(slow, nullptr);
  EXPECT_EQ(Korvel_Search(slow, mode), KORVEL_OK);
  EXPECT_EQ(reader_->State().baud, 4800u);
}

}  // namespace
