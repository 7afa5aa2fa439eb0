// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Table tests of the pure protocol pieces: block check, request frames, rate
// codes and the validation of a reply that is already complete in the input
// queue (no timing involved).
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "fake_port.h"
#include "guarded_area.h"
#include "korvel.h"
#include "korvel/port_names.h"
#include "protocol.h"
#include "test_support.h"

namespace korvel {
namespace {

using fake::Bytes;
using fake::FakePort;
using fake::GuardedArea;
using fake::Hex;
using fake::NoProblems;

TEST(BlockCheck, XorsTheGivenRange) {
  struct Case {
    Bytes bytes;
    uint8_t bcc;
  };
  const Case cases[] = {
      {{}, 0x00},
      {{0x5A}, 0x5A},
      {{0xFF, 0xFF}, 0x00},
      {{0x02, 0x02, 0x32, 0x30, 0x03}, 0x01},
      // The builder XORs over the zero placeholder of the check byte too.
      {{0x02, 0x02, 0x32, 0x30, 0x03, 0x00}, 0x01},
      {{0x02, 0x09, 0x35, 0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31, 0x03}, 0x31},
  };
  for (const Case& c : cases) EXPECT_EQ(BlockCheck(c.bytes.data(), c.bytes.size()), c.bcc) << Hex(c.bytes);

  Bytes all(256);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(BlockCheck(all.data(), all.size()), 0x00);
  EXPECT_EQ(BlockCheck(all.data(), 0), 0x00) << "count 0 reads nothing";
}

Bytes Frame(uint8_t cmd, const Bytes& params) {
  Bytes frame(kMaxFrame + 8, 0xCC);
  const size_t len = BuildFrame(cmd, params.data(), params.size(), frame.data());
  // Nothing past the frame is written.
  for (size_t i = len; i < frame.size(); ++i) EXPECT_EQ(frame[i], 0xCC) << "byte " << i << " past the frame";
  frame.resize(len);
  return frame;
}

TEST(BuildFrame, EveryRequestOfTheCommandSet) {
  struct Case {
    const char* what;
    uint8_t cmd;
    Bytes params;
    Bytes wire;
  };
  const Case cases[] = {
      {"mode active", '0', {'0'}, {0x02, 0x02, 0x30, 0x30, 0x03, 0x03}},
      {"mode command", '0', {'1'}, {0x02, 0x02, 0x30, 0x31, 0x03, 0x02}},
      {"search", '1', {'0'}, {0x02, 0x02, 0x31, 0x30, 0x03, 0x02}},
      {"reset", '2', {'0'}, {0x02, 0x02, 0x32, 0x30, 0x03, 0x01}},
      {"read data", '3', {'0'}, {0x02, 0x02, 0x33, 0x30, 0x03, 0x00}},
      {"baud 4800", '4', {'0'}, {0x02, 0x02, 0x34, 0x30, 0x03, 0x07}},
      {"baud 9600", '4', {'1'}, {0x02, 0x02, 0x34, 0x31, 0x03, 0x06}},
      {"baud 19200", '4', {'2'}, {0x02, 0x02, 0x34, 0x32, 0x03, 0x05}},
      {"baud 38400", '4', {'3'}, {0x02, 0x02, 0x34, 0x33, 0x03, 0x04}},
      {"track default",
       '5',
       {'%', '?', ';', '?', '+', '?', '7', '1'},
       {0x02, 0x09, 0x35, 0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31, 0x03, 0x31}},
      {"track all zero",
       '5',
       {0, 0, 0, 0, 0, 0, 0, 0},
       {0x02, 0x09, 0x35, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x3D}},
      // Control bytes in the record go out as they are: no escaping.
      {"track with STX/ETX/XON",
       '5',
       {0x02, 0x03, 0x11, 0x13, 0x0D, 0x0A, 0xFF, 0x80},
       {0x02, 0x09, 0x35, 0x02, 0x03, 0x11, 0x13, 0x0D, 0x0A, 0xFF, 0x80, 0x03, 0x46}},
  };
  for (const Case& c : cases) EXPECT_EQ(Hex(Frame(c.cmd, c.params)), Hex(c.wire)) << c.what;
}

TEST(BuildFrame, LongestParameterList) {
  Bytes params(254);
  std::iota(params.begin(), params.end(), 1);
  const Bytes frame = Frame('9', params);
  ASSERT_EQ(frame.size(), kMaxFrame);
  EXPECT_EQ(frame[0], 0x02);
  EXPECT_EQ(frame[1], 0xFF);
  EXPECT_EQ(frame[2], '9');
  EXPECT_EQ(frame[frame.size() - 2], 0x03);
  // A frame whose check byte is right XORs to zero as a whole.
  EXPECT_EQ(BlockCheck(frame.data(), frame.size()), 0x00);
}

TEST(RateCode, OnlyTheFourRates) {
  EXPECT_EQ(RateCode(4800), '0');
  EXPECT_EQ(RateCode(9600), '1');
  EXPECT_EQ(RateCode(19200), '2');
  EXPECT_EQ(RateCode(38400), '3');
  for (uint32_t other : {0u, 1u, 300u, 2400u, 4799u, 9601u, 57600u, 115200u, 0x80000000u, 0xFFFFFFFFu})
    EXPECT_EQ(RateCode(other), 0) << other;
}

// A reply that is complete in the input queue when the exchange begins to
// count: validation only, no waiting.
struct ReplyCase {
  const char* what;
  Bytes reply;
  size_t area;
  int status;
  size_t stored;    // bytes of the reply that land in the area
  size_t consumed;  // bytes the exchange takes out of the queue
};

const Bytes kResetRequest = {0x02, 0x02, 0x32, 0x30, 0x03, 0x01};

Bytes Reply(uint8_t len, Bytes body_and_tail) {
  Bytes r = {0x02, len};
  r.insert(r.end(), body_and_tail.begin(), body_and_tail.end());
  return r;
}

Bytes ReplyOfLen(uint8_t len, uint8_t status) {
  Bytes r = {0x02, len, 0x32, 0x30, status};
  for (int i = 0; i + 3 < len; ++i) r.push_back(static_cast<uint8_t>('a' + i % 26));
  r.push_back(0x03);
  r.push_back(0x00);
  return r;
}

TEST(ExchangeFrame, ReplyValidationTable) {
  // A refused reply is read away whole (`consumed`) but only its first two
  // bytes land in the area.
  const Bytes len0 = Reply(0, {0x03, 0x01});
  const Bytes len1 = Reply(1, {0x32, 0x03, 0x00});
  const Bytes len2 = Reply(2, {0x32, 0x30, 0x03, 0x00});
  const ReplyCase cases[] = {
      {"accepted, one data byte", Reply(4, {0x32, 0x30, 'Y', 'A', 0x03, 0x6B}), 100, 0, 8, 8},
      {"refused with error byte 5", Reply(4, {0x32, 0x30, 'N', 0x05, 0x03, 0x00}), 100, 5, 8, 8},
      {"refused with error byte 255", Reply(4, {0x32, 0x30, 'N', 0xFF, 0x03, 0x00}), 100, 255, 8, 8},
      {"refused with error byte 0", Reply(4, {0x32, 0x30, 'N', 0x00, 0x03, 0x00}), 100, KORVEL_E_REFUSED, 8,
       8},
      {"refused without an error byte (LEN 3)", Reply(3, {0x32, 0x30, 'N', 0x03, 0x07}), 100,
       KORVEL_E_REFUSED, 7, 7},
      {"status byte compared exactly ('y')", Reply(4, {0x32, 0x30, 'y', 0x07, 0x03, 0x00}), 100, 7, 8, 8},
      {"LEN 0: no status byte", len0, 100, KORVEL_E_FRAME, 2, len0.size()},
      {"LEN 1: no status byte", len1, 100, KORVEL_E_FRAME, 2, len1.size()},
      {"LEN 2: no status byte", len2, 100, KORVEL_E_FRAME, 2, len2.size()},
      {"LEN 3, no data", Reply(3, {0x32, 0x30, 'Y', 0x03, 0x00}), 100, 0, 7, 7},
      {"check byte and echoed command not examined", Reply(4, {0x39, 0x39, 'Y', 'A', 0x7F, 0x55}), 100, 0, 8,
       8},
      {"bad start byte", {0x15, 0x02, 0x32, 0x30, 'Y', 0x03, 0x00}, 100, KORVEL_E_FRAME, 2, 2},
      {"start byte 0x00", {0x00, 0x02}, 100, KORVEL_E_FRAME, 2, 2},
      {"longest reply the 100-byte area holds", ReplyOfLen(96, 'Y'), 100, 0, 100, 100},
      {"one byte too long for 100", ReplyOfLen(97, 'Y'), 100, KORVEL_E_FRAME, 2, 101},
      {"LEN 255 for 100", ReplyOfLen(255, 'Y'), 100, KORVEL_E_FRAME, 2, 259},
      {"longest reply the 255-byte area holds", ReplyOfLen(251, 'Y'), 255, 0, 255, 255},
      {"one byte too long for 255", ReplyOfLen(252, 'Y'), 255, KORVEL_E_FRAME, 2, 256},
      {"LEN 255 for 255", ReplyOfLen(255, 'Y'), 255, KORVEL_E_FRAME, 2, 259},
  };
  const Bytes trailing = {0xDE, 0xAD};  // bytes after the reply stay queued
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.what);
    FakePort port;
    Bytes answer = c.reply;
    answer.insert(answer.end(), trailing.begin(), trailing.end());
    port.Expect(kResetRequest, {{0, answer}});
    GuardedArea reply(c.area);
    std::fill_n(reply.data(), c.area, 0);
    EXPECT_EQ(ExchangeFrame(port, {}, kResetRequest.data(), kResetRequest.size(), reply.data(), c.area),
              c.status);
    EXPECT_TRUE(reply.GuardsIntact());
    EXPECT_EQ(port.WaitCalls(), 0) << "a complete reply needs no waiting";
    EXPECT_EQ(port.ShortReads(), 0);
    EXPECT_EQ(port.Waiting(), answer.size() - c.consumed);
    // What was taken lands at the start of the area; the rest stays zero.
    for (size_t i = 0; i < c.area; ++i) {
      const uint8_t want = i < c.stored ? c.reply[i] : 0;
      ASSERT_EQ(reply[i], want) << "reply area offset " << i;
    }
    EXPECT_TRUE(NoProblems(port));
  }
}

}  // namespace
}  // namespace korvel

// The names the library really opens: both platform mappings of "comN".
TEST(PortNames, ComNamesMapToTheMachinesPorts) {
  struct Case {
    const char* name;
    const char* posix;
    const char* windows;
  };
  const Case cases[] = {
      {"com1", "/dev/ttyS0", "com1"},
      {"COM2", "/dev/ttyS1", "COM2"},
      {"Com9", "/dev/ttyS8", "Com9"},
      {"com10", "/dev/ttyS9", "\\\\.\\COM10"},
      {"com99999", "/dev/ttyS99998", "\\\\.\\COM99999"},
      // Not "comN": used as given.
      {"com0", "com0", "com0"},
      {"com", "com", "com"},
      {"com1x", "com1x", "com1x"},
      {"com-1", "com-1", "com-1"},
      {"com123456", "com123456", "com123456"},
      {"xcom1", "xcom1", "xcom1"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"\\\\.\\COM3", "\\\\.\\COM3", "\\\\.\\COM3"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(korvel::PosixDevicePath(c.name), c.posix) << c.name;
    EXPECT_EQ(korvel::WindowsDeviceName(c.name), c.windows) << c.name;
  }
  // And back, for the port list: only a device some comN name opens has one.
  const std::pair<const char*, const char*> back[] = {
      {"/dev/ttyS0", "com1"}, {"/dev/ttyS9", "com10"}, {"/dev/ttyS99998", "com99999"},
      {"/dev/ttyS99999", ""}, {"/dev/ttyS01", ""},     {"/dev/ttyS", ""},
      {"/dev/ttyS1x", ""},    {"/dev/ttyUSB0", ""},    {"/tmp/dev/ttyS0", ""},
  };
  for (const auto& [path, com] : back) {
    EXPECT_EQ(korvel::PosixComName(path), com) << path;
    if (*com != '\0') {
      EXPECT_EQ(korvel::PosixDevicePath(com), path) << path;
    }
  }
}
