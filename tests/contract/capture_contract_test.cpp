// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Contract of the active-mode capture on a scripted port: when it returns at
// once, how long it lets a burst settle, the 300-byte limit, and the purge
// that follows a capture.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "fake_port.h"
#include "guarded_area.h"
#include "korvel.h"
#include "protocol.h"
#include "test_support.h"

namespace korvel {
namespace {

using fake::Bytes;
using fake::FakePort;
using fake::GuardedArea;
using fake::NoProblems;
using fake::Op;
using fake::PumpRecorder;

Bytes Burst(size_t n, uint8_t first = 0) {
  Bytes b(n);
  std::iota(b.begin(), b.end(), first);
  return b;
}

Bytes AreaWith(const Bytes& data) {
  Bytes area(300, 0);
  std::copy(data.begin(), data.end(), area.begin());
  return area;
}

TEST(Capture, NothingWaitingReturnsAtOnce) {
  FakePort port;
  port.ArriveAt(10, {0x25, 0x42});  // arrives later: not waited for
  PumpRecorder pump(port);
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, pump.Hooks(), area.data()), KORVEL_E_EMPTY);
  EXPECT_EQ(port.Now(), 0);
  EXPECT_EQ(port.WaitCalls(), 0);
  EXPECT_TRUE(port.Ops().empty()) << "nothing read or purged";
  EXPECT_TRUE(area.Untouched());
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, CompleteBurstTakesOneSettleStep) {
  for (bool with_pump : {false, true}) {
    SCOPED_TRACE(with_pump ? "with a pump" : "without a pump");
    FakePort port;
    const Bytes burst = Burst(40, 0x30);
    port.ArriveAt(0, burst);
    PumpRecorder pump(port);
    GuardedArea area(300);
    EXPECT_EQ(CaptureTrack(port, with_pump ? pump.Hooks() : WaitHooks{}, area.data()), KORVEL_OK);
    EXPECT_EQ(port.Now(), 50);
    EXPECT_EQ(area.Contents(), AreaWith(burst));
    EXPECT_TRUE(area.GuardsIntact());
    ASSERT_EQ(port.OpKinds(), (std::vector<Op>{Op::kRead, Op::kPurgeReceive}));
    EXPECT_EQ(port.Ops()[0].count, 40u) << "one read of the whole burst";
    if (with_pump) {
      EXPECT_LE(pump.LongestGap(0, 50), 10);
    }
    EXPECT_TRUE(NoProblems(port));
  }
}

TEST(Capture, BurstStillArrivingGetsMoreSteps) {
  FakePort port;
  const Bytes burst = Burst(40, 0x41);
  port.ArriveAt(0, Bytes(burst.begin(), burst.begin() + 10));
  port.ArriveAt(30, Bytes(burst.begin() + 10, burst.begin() + 20));
  port.ArriveAt(70, Bytes(burst.begin() + 20, burst.begin() + 30));
  port.ArriveAt(120, Bytes(burst.begin() + 30, burst.end()));
  PumpRecorder pump(port);
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, pump.Hooks(), area.data()), KORVEL_OK);
  // Counts 10 at 0, 20 at 50, 30 at 100, 40 at 150, still 40 at 200.
  EXPECT_EQ(port.Now(), 200);
  EXPECT_EQ(area.Contents(), AreaWith(burst));
  EXPECT_LE(pump.LongestGap(0, 200), 10);
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, BinaryBytesAreReturnedAsReceived) {
  FakePort port;
  const Bytes burst = {0x02, 0x03, 0x11, 0x13, 0x0D, 0x0A, 0x00, 0xFF, 0x25, 0x3F, 0x00, 0x80};
  port.ArriveAt(0, burst);
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_OK);
  EXPECT_EQ(area.Contents(), AreaWith(burst));
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, ExactlyThreeHundredBytesFillTheArea) {
  FakePort port;
  const Bytes burst = Burst(300, 1);
  port.ArriveAt(0, burst);
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_OK);
  EXPECT_EQ(area.Contents(), burst);
  EXPECT_TRUE(area.GuardsIntact());
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, MoreThanThreeHundredStayQueued) {
  FakePort port;
  port.ArriveAt(0, Burst(301));
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_OVERFLOW);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_OVERFLOW) << "nothing new: the same answer";
  EXPECT_EQ(port.Waiting(), 301u);
  EXPECT_TRUE(port.Ops().empty()) << "nothing read or purged";
  EXPECT_TRUE(area.Untouched());
  EXPECT_TRUE(area.GuardsIntact());

  // A framed command purges them; then nothing is waiting.
  port.Expect({0x02, 0x02, 0x30, 0x31, 0x03, 0x02}, {{5, {0x02, 0x03, 0x30, 0x31, 'Y', 0x03, 0x00}}});
  EXPECT_EQ(SetMode(port, {}, '1'), KORVEL_OK);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_EMPTY);
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, BurstGrowingPastTheLimitWhileSettling) {
  FakePort port;
  port.ArriveAt(0, Burst(200));
  port.ArriveAt(40, Burst(200));
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_OVERFLOW);
  EXPECT_EQ(port.Waiting(), 400u);
  EXPECT_TRUE(area.Untouched());
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, EndlessStreamEndsOnceOverTheLimit) {
  // A device that never stops sending: 30 bytes every 10 ms for an hour.
  FakePort port;
  for (int64_t t = 0; t < 3600 * 1000; t += 10) port.ArriveAt(t, Burst(30));
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_OVERFLOW);
  EXPECT_LE(port.Now(), 1000) << "stops settling once more than 300 bytes are there";
  EXPECT_TRUE(area.Untouched());
  EXPECT_TRUE(area.GuardsIntact());
}

TEST(Capture, BytesAfterTheCountAreDiscarded) {
  FakePort port;
  const Bytes burst = Burst(40, 0x61);
  port.ArriveAt(0, burst);
  port.ArriveDuringNextRead({0x25, 0x42, 0x39});  // the start of the next swipe
  GuardedArea area(300);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_OK);
  EXPECT_EQ(area.Contents(), AreaWith(burst));
  EXPECT_EQ(port.Waiting(), 0u);
  EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_EMPTY);
  EXPECT_TRUE(NoProblems(port));
}

TEST(Capture, DeviceGoneOrHandleClosedWhileSettling) {
  {
    FakePort port;
    port.ArriveAt(0, Burst(10));
    port.ArriveAt(40, Burst(10));
    port.GoAwayAt(70);
    GuardedArea area(300);
    EXPECT_EQ(CaptureTrack(port, {}, area.data()), KORVEL_E_DISCONNECTED);
    EXPECT_EQ(port.Now(), 70);
    EXPECT_TRUE(area.Untouched());
    EXPECT_TRUE(NoProblems(port));
  }
  {
    FakePort port;
    port.ArriveAt(0, Burst(10));
    port.ArriveAt(40, Burst(10));
    PumpRecorder pump(port);
    pump.CloseAt(70);
    GuardedArea area(300);
    EXPECT_EQ(CaptureTrack(port, pump.Hooks(), area.data()), KORVEL_E_HANDLE);
    EXPECT_GE(port.Now(), 70);
    EXPECT_LE(port.Now(), 80);
    EXPECT_TRUE(area.Untouched());
    EXPECT_TRUE(NoProblems(port));
  }
}

// Waiting for a swipe: the wait ends with the burst's first byte (then the
// burst settles as in a capture) or at the timeout, sleeping in between.
TEST(WaitTrack, SwipeTimeoutAndOverflowThatClearsItself) {
  {
    SCOPED_TRACE("a swipe during the wait");
    FakePort port;
    const Bytes burst = Burst(40, 0x30);
    port.ArriveAt(2500, burst);
    PumpRecorder pump(port);
    GuardedArea area(300);
    EXPECT_EQ(WaitTrack(port, pump.Hooks(), area.data(), 10000), KORVEL_OK);
    EXPECT_EQ(port.Now(), 2550) << "the first byte, then one settle step";
    EXPECT_EQ(area.Contents(), AreaWith(burst));
    EXPECT_LE(pump.LongestGap(0, 2550), kPumpIntervalMs);
    EXPECT_TRUE(NoProblems(port));
  }
  {
    SCOPED_TRACE("nothing before the timeout");
    FakePort port;
    port.ArriveAt(1201, {0x25});
    GuardedArea area(300);
    EXPECT_EQ(WaitTrack(port, {}, area.data(), 1200), KORVEL_E_EMPTY);
    EXPECT_EQ(port.Now(), 1200);
    EXPECT_LE(port.WaitCalls(), 3) << "sleeps, does not spin";
    EXPECT_TRUE(area.Untouched());
    EXPECT_TRUE(port.Ops().empty());
    EXPECT_TRUE(NoProblems(port));
  }
  {
    SCOPED_TRACE("a burst over 300 bytes is reported once, then gone");
    FakePort port;
    port.ArriveAt(100, Burst(250));
    port.ArriveAt(130, Burst(150));  // still arriving while it is read away
    port.ArriveAt(1000, {'%', 'B', '?'});
    GuardedArea area(300);
    EXPECT_EQ(WaitTrack(port, {}, area.data(), kWaitForever), KORVEL_E_OVERFLOW);
    EXPECT_TRUE(area.Untouched());
    EXPECT_EQ(port.QueueContents(), Bytes{});
    EXPECT_EQ(WaitTrack(port, {}, area.data(), kWaitForever), KORVEL_OK);
    EXPECT_EQ(area.Contents(), AreaWith({'%', 'B', '?'}));
    EXPECT_TRUE(NoProblems(port));
  }
}

}  // namespace
}  // namespace korvel
