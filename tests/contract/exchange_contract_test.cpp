// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Contract of the framed commands on a scripted port: the exact bytes on the
// wire, the purges around them, the two reply time limits, the message pump,
// and what lands in the caller's area.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
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
using fake::Hex;
using fake::NoProblems;
using fake::Op;
using fake::Piece;
using fake::PumpRecorder;

const Bytes kReset = {0x02, 0x02, 0x32, 0x30, 0x03, 0x01};
const Bytes kSearch = {0x02, 0x02, 0x31, 0x30, 0x03, 0x02};
const Bytes kReadData = {0x02, 0x02, 0x33, 0x30, 0x03, 0x00};
const Bytes kAcceptedA = {0x02, 0x04, 0x32, 0x30, 'Y', 'A', 0x03, 0x6B};

// Runs Korvel_Reset's command on the port with a 30-byte area.
int RunReset(FakePort& port, const WaitHooks& hooks, GuardedArea& area) {
  return ReadIdentification(port, hooks, area.data());
}

// ---------------------------------------------------------------------------
// The exchange: purges, write, two reads
// ---------------------------------------------------------------------------

TEST(Exchange, PurgesTransmitThenReceiveThenWritesThenReadsTwice) {
  FakePort port;
  port.Expect(kReset, {{0, kAcceptedA}});
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_OK);
  EXPECT_TRUE(NoProblems(port));
  EXPECT_TRUE(port.ScriptDone());
  const std::vector<Op> want = {Op::kPurgeTransmit, Op::kPurgeReceive, Op::kWrite, Op::kRead, Op::kRead};
  EXPECT_EQ(port.OpKinds(), want);
  ASSERT_EQ(port.Ops().size(), want.size());
  EXPECT_EQ(port.Ops()[3].count, 2u);
  EXPECT_EQ(port.Ops()[4].count, 6u) << "LEN + 2";
  EXPECT_EQ(port.ShortReads(), 0);
  EXPECT_EQ(port.WaitCalls(), 0) << "the reply was complete at the first look";
  EXPECT_EQ(port.Now(), 0);
}

TEST(Exchange, StaleBytesAreGoneBeforeTheRequest) {
  FakePort port;
  // Left over from active mode or an earlier exchange: looks like a reply.
  port.ArriveAt(0, {0x02, 0x04, 0x32, 0x30, 'N', 0x09, 0x03, 0x00, '%', 'B'});
  port.Expect(kReset, {{20, kAcceptedA}});
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_OK);
  EXPECT_EQ(text[0], 'A');
  EXPECT_EQ(port.Waiting(), 0u);
  EXPECT_TRUE(NoProblems(port));
}

TEST(Exchange, TheTwoTimeLimitsAreSeparate) {
  // Start of the reply just inside 3000 ms, the rest just inside 3000 more.
  FakePort port;
  port.Expect(kReset, {{2990, {0x02, 0x04}}, {2990 + 2995, {0x32, 0x30, 'Y', 'A', 0x03, 0x6B}}});
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_OK);
  EXPECT_EQ(port.Now(), 2990 + 2995);
  EXPECT_EQ(text[0], 'A');
  EXPECT_TRUE(NoProblems(port));
}

struct TimeoutCase {
  const char* what;
  std::vector<Piece> answer;
  int status;
  int64_t ends_from;  // the call returns in [ends_from, ends_from + 10]
};

TEST(Exchange, TimeLimitsAndBadStart) {
  const TimeoutCase cases[] = {
      {"no reply at all", {}, KORVEL_E_NO_REPLY, 3000},
      {"one byte is not enough", {{10, {0x02}}}, KORVEL_E_NO_REPLY, 3000},
      {"the start comes too late",
       {{3001, {0x02, 0x04, 0x32, 0x30, 'Y', 'A', 0x03, 0x00}}},
       KORVEL_E_NO_REPLY,
       3000},
      {"the body stops short", {{100, {0x02, 0x04}}, {200, {0x32, 0x30, 'Y'}}}, KORVEL_E_REPLY_TIMEOUT, 3100},
      {"the body comes too late",
       {{100, {0x02, 0x04}}, {3101, {0x32, 0x30, 'Y', 'A', 0x03, 0x6B}}},
       KORVEL_E_REPLY_TIMEOUT,
       3100},
      {"trailing bytes missing",
       {{100, {0x02, 0x04, 0x32, 0x30, 'Y', 'A', 0x03}}},
       KORVEL_E_REPLY_TIMEOUT,
       3100},
      {"noise first", {{700, {0x15, 0x02, 0x32, 0x30, 'Y', 0x03, 0x00}}}, KORVEL_E_FRAME, 700},
      {"noise first, arriving alone", {{700, {0x15}}, {900, {0x02}}}, KORVEL_E_FRAME, 900},
  };
  for (const TimeoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (bool with_pump : {false, true}) {
      SCOPED_TRACE(with_pump ? "with a pump" : "without a pump");
      FakePort port;
      PumpRecorder pump(port);
      port.Expect(kReset, c.answer);
      GuardedArea text(30);
      EXPECT_EQ(RunReset(port, with_pump ? pump.Hooks() : WaitHooks{}, text), c.status);
      EXPECT_GE(port.Now(), c.ends_from);
      EXPECT_LE(port.Now(), c.ends_from + 10);
      EXPECT_TRUE(text.Untouched());
      EXPECT_TRUE(text.GuardsIntact());
      EXPECT_EQ(port.ShortReads(), 0);
      EXPECT_TRUE(NoProblems(port));
    }
  }
}

TEST(Exchange, BadStartLeavesTheRestQueuedForTheNextPurge) {
  FakePort port;
  port.Expect(kReset, {{0, {0x15, 0x02, 0x32, 0x30, 'Y', 0x03, 0x00}}});
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_E_FRAME);
  EXPECT_EQ(port.Waiting(), 5u);
  // The next command starts clean.
  port.Expect(kReset, {{5, kAcceptedA}});
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_OK);
  EXPECT_EQ(text[0], 'A');
  EXPECT_TRUE(NoProblems(port));
}

TEST(Exchange, ReplyArrivingByteByByte) {
  FakePort port;
  std::vector<Piece> pieces;
  const Bytes reply = {0x02, 0x08, 0x32, 0x30, 'Y', 'K', 'V', '2', '.', '1', 0x03, 0x00};
  for (size_t i = 0; i < reply.size(); ++i)
    pieces.push_back({static_cast<int64_t>(37 * (i + 1)), {reply[i]}});
  port.Expect(kReset, pieces);
  PumpRecorder pump(port);
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, pump.Hooks(), text), KORVEL_OK);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data())), "KV2.1");
  // Done within a few milliseconds of the last byte.
  EXPECT_GE(port.Now(), 37 * static_cast<int64_t>(reply.size()));
  EXPECT_LE(port.Now(), 37 * static_cast<int64_t>(reply.size()) + 10);
  EXPECT_LE(pump.LongestGap(0, port.Now()), 10);
  EXPECT_EQ(port.ShortReads(), 0);
  EXPECT_TRUE(NoProblems(port));
}

TEST(Exchange, PumpRunsAtLeastEvery10msInBothWaits) {
  FakePort port;
  port.Expect(kReset, {{1000, {0x02, 0x04, 0x32}}, {2500, {0x30, 'Y', 'A', 0x03, 0x6B}}});
  PumpRecorder pump(port);
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, pump.Hooks(), text), KORVEL_OK);
  EXPECT_EQ(port.Now(), 2500);
  EXPECT_LE(pump.LongestGap(0, 2500), 10);
  EXPECT_TRUE(NoProblems(port));

  // And all the way to a timeout.
  FakePort silent;
  silent.Expect(kReset);
  PumpRecorder pump2(silent);
  EXPECT_EQ(RunReset(silent, pump2.Hooks(), text), KORVEL_E_NO_REPLY);
  EXPECT_LE(pump2.LongestGap(0, silent.Now()), 10);
  EXPECT_TRUE(NoProblems(silent));
}

TEST(Exchange, DeviceGoneEndsEitherWaitAtOnce) {
  for (int64_t gone_at : {0, 500, 1500}) {
    SCOPED_TRACE("gone at " + std::to_string(gone_at));
    FakePort port;
    port.Expect(kReset, {{1000, {0x02, 0x04}}});
    port.GoAwayAt(gone_at);
    PumpRecorder pump(port);
    GuardedArea text(30);
    EXPECT_EQ(RunReset(port, pump.Hooks(), text), KORVEL_E_DISCONNECTED);
    EXPECT_EQ(port.Now(), gone_at);
    EXPECT_TRUE(text.Untouched());
    EXPECT_TRUE(NoProblems(port));
  }
}

TEST(Exchange, HandleClosedDuringTheWaitEndsIt) {
  for (int64_t closed_at : {200, 1200}) {
    SCOPED_TRACE("closed at " + std::to_string(closed_at));
    FakePort port;
    port.Expect(kReset, {{1000, {0x02, 0x04}}});
    PumpRecorder pump(port);
    pump.CloseAt(closed_at);
    GuardedArea text(30);
    EXPECT_EQ(RunReset(port, pump.Hooks(), text), KORVEL_E_HANDLE);
    EXPECT_GE(port.Now(), closed_at);
    EXPECT_LE(port.Now(), closed_at + 10);
    EXPECT_TRUE(text.Untouched());
    EXPECT_TRUE(NoProblems(port));
  }
}

// ---------------------------------------------------------------------------
// The command set: exact request frames
// ---------------------------------------------------------------------------

struct RequestCase {
  const char* what;
  std::function<int(FakePort&)> call;
  Bytes wire;
};

TEST(Commands, RequestFramesOnTheWire) {
  uint8_t area[300];
  const uint8_t record_default[8] = {'%', '?', ';', '?', '+', '?', '7', '1'};
  const uint8_t record_zero[8] = {};
  const RequestCase cases[] = {
      {"mode '0'", [](FakePort& p) { return SetMode(p, {}, '0'); }, {0x02, 0x02, 0x30, 0x30, 0x03, 0x03}},
      {"mode '1'", [](FakePort& p) { return SetMode(p, {}, '1'); }, {0x02, 0x02, 0x30, 0x31, 0x03, 0x02}},
      {"mode: low byte only, not validated",
       [](FakePort& p) { return SetMode(p, {}, 0xABCD0137u); },
       {0x02, 0x02, 0x30, 0x37, 0x03, 0x04}},
      {"search", [&](FakePort& p) { return QueryMode(p, {}, area); }, kSearch},
      {"reset", [&](FakePort& p) { return ReadIdentification(p, {}, area); }, kReset},
      {"read data", [&](FakePort& p) { return ReadCardData(p, {}, area); }, kReadData},
      {"baud 4800",
       [](FakePort& p) { return SetReaderBaud(p, {}, 4800); },
       {0x02, 0x02, 0x34, 0x30, 0x03, 0x07}},
      {"baud 9600",
       [](FakePort& p) { return SetReaderBaud(p, {}, 9600); },
       {0x02, 0x02, 0x34, 0x31, 0x03, 0x06}},
      {"baud 19200",
       [](FakePort& p) { return SetReaderBaud(p, {}, 19200); },
       {0x02, 0x02, 0x34, 0x32, 0x03, 0x05}},
      {"baud 38400",
       [](FakePort& p) { return SetReaderBaud(p, {}, 38400); },
       {0x02, 0x02, 0x34, 0x33, 0x03, 0x04}},
      {"track default",
       [&](FakePort& p) { return SetTrackSettings(p, {}, record_default); },
       {0x02, 0x09, 0x35, 0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31, 0x03, 0x31}},
      {"track all zero",
       [&](FakePort& p) { return SetTrackSettings(p, {}, record_zero); },
       {0x02, 0x09, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x3D}},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakePort port;
    port.Expect(c.wire, {{3, {0x02, 0x03, c.wire[2], c.wire[3], 'Y', 0x03, 0x00}}});
    EXPECT_EQ(c.call(port), KORVEL_OK);
    EXPECT_EQ(Hex(port.Written()), Hex(c.wire)) << "exactly one request, nothing else";
    EXPECT_TRUE(port.ScriptDone());
    EXPECT_TRUE(NoProblems(port));
  }
}

TEST(Commands, UnsupportedRateNeverTouchesThePort) {
  for (uint32_t baud : {0u, 1u, 2400u, 9601u, 57600u, 115200u, 0xFFFFFFFFu}) {
    FakePort port;
    EXPECT_EQ(SetReaderBaud(port, {}, baud), KORVEL_E_BAUD) << baud;
    EXPECT_TRUE(port.Ops().empty()) << baud;
    EXPECT_TRUE(NoProblems(port));
  }
}

TEST(Commands, RefusalStatusIsTheErrorByte) {
  for (int error : {1, 5, 0x59, 200, 255}) {
    FakePort port;
    port.Expect({0x02, 0x02, 0x34, 0x31, 0x03, 0x06},
                {{3, {0x02, 0x04, 0x34, 0x31, 'E', static_cast<uint8_t>(error), 0x03, 0x00}}});
    EXPECT_EQ(SetReaderBaud(port, {}, 9600), error);
    EXPECT_TRUE(NoProblems(port));
  }
}

// ---------------------------------------------------------------------------
// Result copying
// ---------------------------------------------------------------------------

Bytes TextReply(uint8_t cmd, const std::string& text) {
  Bytes r = {0x02, static_cast<uint8_t>(text.size() + 3), cmd, 0x30, 'Y'};
  r.insert(r.end(), text.begin(), text.end());
  r.push_back(0x03);
  r.push_back(0x5C);
  return r;
}

TEST(Search, TenBytesFromOffsetFiveWhateverLen) {
  {
    SCOPED_TRACE("LEN 4: the mode, the two trailing bytes, seven zeros");
    FakePort port;
    port.Expect(kSearch, {{5, {0x02, 0x04, 0x31, 0x30, 'Y', '0', 0x03, 0x77}}});
    GuardedArea mode(10);
    EXPECT_EQ(QueryMode(port, {}, mode.data()), KORVEL_OK);
    EXPECT_EQ(mode.Contents(), (Bytes{'0', 0x03, 0x77, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(mode.GuardsIntact());
  }
  {
    SCOPED_TRACE("a long reply: still exactly ten bytes");
    FakePort port;
    port.Expect(kSearch, {{5, TextReply(0x31, "1ABCDEFGHIJKLMNOPQ")}});
    GuardedArea mode(10);
    EXPECT_EQ(QueryMode(port, {}, mode.data()), KORVEL_OK);
    EXPECT_EQ(mode.Contents(), (Bytes{'1', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'}));
    EXPECT_TRUE(mode.GuardsIntact());
  }
  {
    SCOPED_TRACE("LEN 3: nothing but zeros behind offset 4");
    FakePort port;
    port.Expect(kSearch, {{5, {0x02, 0x03, 0x31, 0x30, 'Y', 0x03, 0x00}}});
    GuardedArea mode(10);
    EXPECT_EQ(QueryMode(port, {}, mode.data()), KORVEL_OK);
    EXPECT_EQ(mode.Contents(), (Bytes{0x03, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
}

TEST(Reset, IdentificationText) {
  struct Case {
    const char* what;
    std::string text;
    std::string expect;
  };
  const Case cases[] = {
      {"LEN 3: an empty text", "", ""},
      {"short text", "KRV-100 V1.2", "KRV-100 V1.2"},
      {"29 bytes fit", std::string(29, 'x'), std::string(29, 'x')},
      {"30 bytes are cut to 29", std::string(30, 'y'), std::string(29, 'y')},
      {"the longest reply the area holds (93 bytes)", std::string(93, 'z'), std::string(29, 'z')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePort port;
    port.Expect(kReset, {{5, TextReply(0x32, c.text)}});
    GuardedArea text(30);
    EXPECT_EQ(RunReset(port, {}, text), KORVEL_OK);
    Bytes want(30, 0);
    std::copy(c.expect.begin(), c.expect.end(), want.begin());
    EXPECT_EQ(text.Contents(), want) << "zero over all 30 bytes, text at the start, terminated inside";
    EXPECT_TRUE(text.GuardsIntact());
    EXPECT_TRUE(NoProblems(port));
  }
}

TEST(ReadData, CardDataIntoThe300ByteArea) {
  struct Case {
    const char* what;
    size_t data_len;
  };
  for (const Case& c :
       {Case{"no data", 0}, Case{"a typical swipe", 120}, Case{"the longest reply its area holds", 248}}) {
    SCOPED_TRACE(c.what);
    std::string data;
    for (size_t i = 0; i < c.data_len; ++i) data.push_back(static_cast<char>(0x20 + i % 90));
    FakePort port;
    port.Expect(kReadData, {{5, TextReply(0x33, data)}});
    GuardedArea area(300);
    EXPECT_EQ(ReadCardData(port, {}, area.data()), KORVEL_OK);
    Bytes want(300, 0);
    std::copy(data.begin(), data.end(), want.begin());
    EXPECT_EQ(area.Contents(), want);
    EXPECT_TRUE(area.GuardsIntact());
    EXPECT_TRUE(NoProblems(port));
  }
}

// Every way a command can end without 'Y' leaves the caller's area as it was.
TEST(Commands, AreasUntouchedUnlessAccepted) {
  struct Outcome {
    const char* what;
    std::function<std::vector<Piece>(uint8_t cmd)> answer;
    int status;
  };
  const Outcome outcomes[] = {
      {"refusal",
       [](uint8_t c) {
         return std::vector<Piece>{{5, {0x02, 0x04, c, 0x30, 'N', 0x07, 0x03, 0}}};
       },
       7},
      {"refusal with error byte 0",
       [](uint8_t c) {
         return std::vector<Piece>{{5, {0x02, 0x04, c, 0x30, 'N', 0x00, 0x03, 0}}};
       },
       KORVEL_E_REFUSED},
      {"refusal without an error byte",
       [](uint8_t c) {
         return std::vector<Piece>{{5, {0x02, 0x03, c, 0x30, 'N', 0x03, 0}}};
       },
       KORVEL_E_REFUSED},
      {"LEN 0",
       [](uint8_t) {
         return std::vector<Piece>{{5, {0x02, 0x00, 0x03, 0x01}}};
       },
       KORVEL_E_FRAME},
      {"no reply", [](uint8_t) { return std::vector<Piece>{}; }, KORVEL_E_NO_REPLY},
      {"bad start",
       [](uint8_t) {
         return std::vector<Piece>{{5, {0x06, 0x02}}};
       },
       KORVEL_E_FRAME},
      {"short body",
       [](uint8_t c) {
         return std::vector<Piece>{{5, {0x02, 0x04, c, 0x30, 'Y'}}};
       },
       KORVEL_E_REPLY_TIMEOUT},
      {"LEN 252: too long for any area",
       [](uint8_t c) {
         Bytes r = {0x02, 252, c, 0x30, 'Y'};
         r.resize(256, 'q');
         return std::vector<Piece>{{5, r}};
       },
       KORVEL_E_FRAME},
  };
  struct Target {
    const char* what;
    uint8_t cmd;
    size_t area;
    std::function<int(FakePort&, uint8_t*)> call;
  };
  const Target targets[] = {
      {"search", '1', 10, [](FakePort& p, uint8_t* a) { return QueryMode(p, {}, a); }},
      {"reset", '2', 30, [](FakePort& p, uint8_t* a) { return ReadIdentification(p, {}, a); }},
      {"read data", '3', 300, [](FakePort& p, uint8_t* a) { return ReadCardData(p, {}, a); }},
  };
  for (const Target& t : targets) {
    for (const Outcome& o : outcomes) {
      SCOPED_TRACE(std::string(t.what) + ": " + o.what);
      FakePort port;
      port.Expect({0x02, 0x02, t.cmd, 0x30, 0x03, static_cast<uint8_t>(t.cmd ^ 0x33)}, o.answer(t.cmd));
      GuardedArea area(t.area);
      EXPECT_EQ(t.call(port, area.data()), o.status);
      EXPECT_TRUE(area.Untouched());
      EXPECT_TRUE(area.GuardsIntact());
      EXPECT_TRUE(NoProblems(port));
    }
  }
}

TEST(Commands, OverlongRepliesForTheSmallArea) {
  // LEN 97 fits the card-data area but not the 100-byte one.
  Bytes reply = {0x02, 97, 0x32, 0x30, 'Y'};
  reply.resize(101, 'w');
  {
    FakePort port;
    port.Expect(kReset, {{5, reply}});
    GuardedArea text(30);
    EXPECT_EQ(RunReset(port, {}, text), KORVEL_E_FRAME);
    EXPECT_TRUE(text.Untouched());
    EXPECT_TRUE(NoProblems(port));
  }
  {
    reply[2] = 0x33;
    FakePort port;
    port.Expect(kReadData, {{5, reply}});
    GuardedArea data(300);
    EXPECT_EQ(ReadCardData(port, {}, data.data()), KORVEL_OK);
    EXPECT_EQ(data[93], 'w');
    EXPECT_EQ(data[94], 0);
    EXPECT_TRUE(NoProblems(port));
  }
}

// A refused over-long reply is read away as it arrives, so that none of its
// bytes is left to look like card data; only what comes after it stays.
TEST(Exchange, OverlongReplyIsReadAwayAsItArrives) {
  Bytes reply = {0x02, 200, 0x32, 0x30, 'Y'};
  reply.resize(204, 'v');
  const Bytes head(reply.begin(), reply.begin() + 60);
  const Bytes tail(reply.begin() + 60, reply.end());
  FakePort port;
  port.Expect(kReset, {{5, head}, {400, tail}});
  port.ArriveAt(2000, {'%', 'B'});  // a swipe long after the reply
  GuardedArea text(30);
  EXPECT_EQ(RunReset(port, {}, text), KORVEL_E_FRAME);
  EXPECT_EQ(port.Now(), 400) << "returns once the whole reply is read";
  EXPECT_TRUE(text.Untouched());
  EXPECT_EQ(port.QueueContents(), Bytes{}) << "no byte of the reply is left";
  EXPECT_TRUE(NoProblems(port));

  // A reply that stops short of its LEN is read away for the reply's time
  // limit; what is left then goes with a purge.
  FakePort cut;
  cut.Expect(kReset, {{5, head}});
  EXPECT_EQ(RunReset(cut, {}, text), KORVEL_E_FRAME);
  EXPECT_GE(cut.Now(), 5 + kReplyTimeoutMs);
  EXPECT_LE(cut.Now(), 5 + kReplyTimeoutMs + kQuietSliceMs);
  EXPECT_EQ(cut.OpKinds().back(), Op::kPurgeReceive);
  EXPECT_TRUE(NoProblems(cut));
}

// A pump that calls the library again: the inner call waits without running
// the pump, so pumps never nest however often the pump calls.
TEST(Exchange, APumpIsNeverRunFromInsideItself) {
  FakePort port;
  port.Expect(kReset, {});  // silent: the outer call waits out its limit
  for (int i = 0; i < 3; ++i) port.Expect(kReadData, {});
  int depth = 0;
  int deepest = 0;
  int inner_calls = 0;
  std::atomic<bool> closed{false};
  WaitHooks hooks;
  hooks.closed = &closed;
  hooks.pump = [&] {
    ++depth;
    deepest = std::max(deepest, depth);
    if (inner_calls < 3) {
      ++inner_calls;
      uint8_t data[300];
      EXPECT_EQ(ReadCardData(port, hooks, data), KORVEL_E_NO_REPLY);
    }
    --depth;
    return true;
  };
  GuardedArea text(30);
  EXPECT_EQ(ReadIdentification(port, hooks, text.data()), KORVEL_E_NO_REPLY);
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(inner_calls, 1) << "the outer wait ran out during the first inner call";
  EXPECT_TRUE(NoProblems(port));
}

}  // namespace
}  // namespace korvel
