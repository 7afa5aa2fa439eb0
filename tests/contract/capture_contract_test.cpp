// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Contract of the active-mode capture on a scripted port: when it returns at
// once, how long it lets a burst settle, the 300-byte limit, and the purge
// that follows a capture.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <numeric>
#include <string>
#include <vector>

#include "fake_port.h"
#include "guarded_area.h"
#include "korvel.h"
#include "korvel_card.h"
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

// A reader set to "%?;?+?" with the Enter mark, as it sends tracks.
Bytes Track(char start, const std::string& text, bool enter = true) {
  const std::string all = start + text + '?' + (enter ? "\r\n" : "");
  return Bytes(all.begin(), all.end());
}
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts)
    for (uint8_t b : p) all.push_back(b);
  return all;
}

// The rule that tells a whole swipe, on bytes alone.
TEST(SwipeComplete, LengthOfTheWholeSwipeAtTheStart) {
  const auto* rec = reinterpret_cast<const unsigned char*>(KORVEL_TRACK_DEFAULT);
  const Bytes t1 = Track('%', "B4111111111111111^DOE/JOHN^2912101"),
              t2 = Track(';', "4111111111111111=2912101"), t3 = Track('+', "0123");
  const Bytes all = Join({t1, t2, t3});
  const unsigned k12 = KORVEL_TRACKS_1 | KORVEL_TRACKS_2, k123 = k12 | KORVEL_TRACKS_3;
  struct Row {
    const char* what;
    Bytes bytes;
    unsigned tracks;
    size_t expected;
    const char* record = KORVEL_TRACK_DEFAULT;
  } rows[] = {
      {"tracks 1 and 2, whole", Join({t1, t2}), k12, t1.size() + t2.size()},
      {"track 3 behind them is not part of it", all, k12, t1.size() + t2.size()},
      {"all three", all, k123, all.size()},
      {"its CR LF has not come yet", Join({t1, Bytes(t2.begin(), t2.end() - 1)}), k12, 0},
      {"its end sentinel has not come yet", Join({t1, Bytes(t2.begin(), t2.end() - 3)}), k12, 0},
      {"the card has no track 3", Join({t1, t2}), k123, 0},
      {"track 1 sent though only 2 is configured is passed over", Join({t1, t2}), KORVEL_TRACKS_2,
       t1.size() + t2.size()},
      {"only track 1 configured", all, KORVEL_TRACKS_1, t1.size()},
      {"tracks out of order", Join({t2, t1}), k12, 0},
      {"noise in front", Join({Bytes{'x'}, t1, t2}), k12, 0},
      {"Enter mark off: no CR LF", Join({Track('%', "B1", false), Track(';', "1", false)}), k12, 7,
       "%?;?+?70"},
      {"Enter mark off but CR LF sent", Join({t1, t2}), k12, 0, "%?;?+?70"},
      {"a configured track has no sentinel", Join({t1, t2}), k12, 0, "%?\0?+?71"},
      {"nothing", {}, k12, 0},
      {"no tracks configured", all, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const auto* record = reinterpret_cast<const unsigned char*>(row.record);
    EXPECT_EQ(CompleteSwipeLength(row.bytes.data(), row.bytes.size(), record, row.tracks), row.expected);
  }
  EXPECT_EQ(CompleteSwipeLength(nullptr, 3, rec, k12), 0u);
  EXPECT_EQ(CompleteSwipeLength(all.data(), all.size(), nullptr, k12), 0u);
}

// The capture that knows the configured tracks: early when the bytes make a
// whole swipe, 50 ms of quiet otherwise, and nothing behind the swipe lost.
TEST(WaitSwipe, EndsAtTheLastConfiguredTrackAndKeepsWhatFollows) {
  const auto* rec = reinterpret_cast<const uint8_t*>(KORVEL_TRACK_DEFAULT);
  const Bytes t1 = Track('%', "B4111111111111111^DOE/JOHN^2912101"),
              t2 = Track(';', "4111111111111111=2912101"), t3 = Track('+', "0123");
  const unsigned k12 = KORVEL_TRACKS_1 | KORVEL_TRACKS_2;
  struct Arrival {
    int64_t at_ms;
    Bytes bytes;
  };
  struct Row {
    const char* what;
    std::vector<Arrival> arrivals;
    unsigned tracks;
    int64_t returns_at;
    Bytes first;
    Bytes next;  // what the following call returns (after its own 50 ms of quiet)
  } rows[] = {
      {"whole at once", {{100, Join({t1, t2})}}, k12, 100, Join({t1, t2}), {}},
      {"in pieces: returns with the last one",
       {{100, Join({t1, Bytes(t2.begin(), t2.begin() + 5)})}, {120, Bytes(t2.begin() + 5, t2.end())}},
       k12,
       120,
       Join({t1, t2}),
       {}},
      {"more than configured: the rest comes next",
       {{100, Join({t1, t2, t3})}},
       k12,
       100,
       Join({t1, t2}),
       t3},
      {"a card without a configured track: quiet time",
       {{100, Join({t1, t2})}},
       k12 | KORVEL_TRACKS_3,
       150,
       Join({t1, t2}),
       {}},
      {"malformed: quiet time", {{100, Bytes{'x', 'y', 'z'}}}, k12, 150, Bytes{'x', 'y', 'z'}, {}},
      {"no tracks configured: quiet time as WaitTrack", {{100, Join({t1, t2})}}, 0, 150, Join({t1, t2}), {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakePort port;
    for (const Arrival& a : row.arrivals) port.ArriveAt(a.at_ms, a.bytes);
    PumpRecorder pump(port);
    GuardedArea area(300);
    uint32_t count = 0;
    EXPECT_EQ(WaitSwipe(port, pump.Hooks(), area.data(), 10000, rec, row.tracks, &count), KORVEL_OK);
    EXPECT_EQ(port.Now(), row.returns_at);
    EXPECT_EQ(count, row.first.size());
    EXPECT_EQ(area.Contents(), AreaWith(row.first));
    EXPECT_LE(pump.LongestGap(0, port.Now()), kPumpIntervalMs);
    if (!row.next.empty()) {
      EXPECT_EQ(WaitSwipe(port, pump.Hooks(), area.data(), 10000, rec, row.tracks, &count), KORVEL_OK);
      EXPECT_EQ(area.Contents(), AreaWith(row.next));
      EXPECT_EQ(count, row.next.size());
    }
    EXPECT_EQ(port.QueueContents(), Bytes{});
    EXPECT_TRUE(NoProblems(port));
  }
  {
    SCOPED_TRACE("over 300 bytes without a whole swipe: overflow, read away");
    FakePort port;
    port.ArriveAt(100, Burst(400));
    GuardedArea area(300);
    uint32_t count = 7;
    EXPECT_EQ(WaitSwipe(port, {}, area.data(), 10000, rec, k12, &count), KORVEL_E_OVERFLOW);
    EXPECT_EQ(count, 7u);
    EXPECT_TRUE(area.Untouched());
    EXPECT_EQ(port.QueueContents(), Bytes{});
  }
}

// A cancel ends one wait for a swipe: the one in progress, or the next; a
// swipe already arriving is delivered first.
TEST(WaitTrack, ACancelEndsOneWaitAndNeverASwipe) {
  {
    SCOPED_TRACE("a cancel made before the wait");
    FakePort port;
    port.ArriveAt(500, {'%', 'B', '?'});
    std::atomic<bool> cancel{true};
    WaitHooks hooks;
    hooks.cancel = &cancel;
    GuardedArea area(300);
    EXPECT_EQ(WaitTrack(port, hooks, area.data(), kWaitForever), KORVEL_E_CANCELLED);
    EXPECT_EQ(port.Now(), 0);
    EXPECT_FALSE(cancel.load()) << "taken";
    EXPECT_TRUE(area.Untouched());
    EXPECT_EQ(WaitTrack(port, hooks, area.data(), kWaitForever), KORVEL_OK) << "one cancel, one wait";
    EXPECT_EQ(area.Contents(), AreaWith({'%', 'B', '?'}));
  }
  {
    SCOPED_TRACE("a cancel while a swipe is waiting");
    FakePort port;
    port.ArriveAt(0, {';', '1', '?'});
    std::atomic<bool> cancel{true};
    WaitHooks hooks;
    hooks.cancel = &cancel;
    GuardedArea area(300);
    EXPECT_EQ(WaitTrack(port, hooks, area.data(), kWaitForever), KORVEL_OK);
    EXPECT_EQ(area.Contents(), AreaWith({';', '1', '?'}));
    EXPECT_TRUE(cancel.load()) << "kept for the next wait";
    EXPECT_TRUE(NoProblems(port));
  }
}

}  // namespace
}  // namespace korvel
