// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Table tests of the pure network pieces: the network port names, the Telnet
// decoder (whole and split at every byte), and the client's side of the
// conversation (answers to negotiations, line settings and their
// confirmation, purges).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "fake_port.h"
#include "korvel/port_names.h"
#include "telnet.h"

namespace korvel::telnet {

// GoogleTest prints a command with this.
void PrintTo(const Command& c, std::ostream* os) {
  *os << "{at " << c.at << ", verb " << int(c.verb) << ", option " << int(c.option) << ", value "
      << fake::Hex(c.value) << "}";
}

namespace {

using Bytes = std::vector<uint8_t>;
using fake::Hex;
using Protocol = NetworkPortName::Protocol;

TEST(NetworkPortNames, Table) {
  struct Case {
    const char* name;
    Protocol protocol;
    const char* host;
    uint16_t port;
    bool error;
  };
  const Case cases[] = {
      {"rfc2217://127.0.0.1:7000", Protocol::kRfc2217, "127.0.0.1", 7000, false},
      {"tcp://reader-3.shop.example:4001", Protocol::kRawTcp, "reader-3.shop.example", 4001, false},
      {"RFC2217://Host_1:1", Protocol::kRfc2217, "Host_1", 1, false},
      {"TCP://h:65535", Protocol::kRawTcp, "h", 65535, false},
      {"rfc2217://[::1]:7000", Protocol::kRfc2217, "::1", 7000, false},
      {"tcp://[fe80::1%eth0]:23", Protocol::kRawTcp, "fe80::1%eth0", 23, false},
      // Other names keep their meaning.
      {"com1", Protocol::kNone, "", 0, false},
      {"/dev/ttyUSB0", Protocol::kNone, "", 0, false},
      {"rfc2217:/h:1", Protocol::kNone, "", 0, false},
      {"udp://h:1", Protocol::kNone, "", 0, false},
      {"", Protocol::kNone, "", 0, false},
      // The scheme matched, the rest does not parse.
      {"rfc2217://", Protocol::kRfc2217, "", 0, true},
      {"tcp://host", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:", Protocol::kRawTcp, "", 0, true},
      {"tcp://:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:0", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:65536", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:123456", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:70x", Protocol::kRawTcp, "", 0, true},
      {"tcp://host:7000/", Protocol::kRawTcp, "", 0, true},
      {"tcp://user@host:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://::1:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://[::1:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://[]:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://[host]:7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://[::1]7000", Protocol::kRawTcp, "", 0, true},
      {"tcp://ho st:7000", Protocol::kRawTcp, "", 0, true},
  };
  for (const Case& c : cases) {
    const NetworkPortName n = ParseNetworkPortName(c.name);
    EXPECT_EQ(n.protocol, c.protocol) << c.name;
    EXPECT_EQ(n.host, c.host) << c.name;
    EXPECT_EQ(n.port, c.port) << c.name;
    EXPECT_EQ(!n.error.empty(), c.error) << c.name << ": " << n.error;
  }
}

// What the decoder makes of a byte stream: data, and commands at their place.
struct Decoded {
  Bytes data;
  std::vector<Command> commands;
};

Decoded Decode(const Bytes& wire, size_t piece) {
  Decoder decoder;
  Decoded out;
  for (size_t i = 0; i < wire.size(); i += piece) {
    const size_t n = std::min(piece, wire.size() - i);
    std::vector<Command> commands;
    const size_t before = out.data.size();
    decoder.Feed(wire.data() + i, n, &out.data, &commands);
    for (Command& c : commands) {
      c.at += before;  // make the positions absolute
      out.commands.push_back(std::move(c));
    }
  }
  return out;
}

TEST(TelnetDecoder, DataAndCommandsWholeAndSplitAtEveryByte) {
  struct Case {
    const char* what;
    Bytes wire;
    Bytes data;
    std::vector<Command> commands;
  };
  const Case cases[] = {
      {"plain data", {0x02, 0x04, 0x31, 0x00, 0x0D, 0x0A}, {0x02, 0x04, 0x31, 0x00, 0x0D, 0x0A}, {}},
      {"doubled 0xFF is one data byte", {0x41, 0xFF, 0xFF, 0xFF, 0xFF, 0x42}, {0x41, 0xFF, 0xFF, 0x42}, {}},
      {"negotiations between data",
       {0x01, kIac, kWill, kOptionEcho, 0x02, kIac, kDo, kOptionComPort},
       {0x01, 0x02},
       {{1, kWill, kOptionEcho, {}}, {2, kDo, kOptionComPort, {}}}},
      {"NOP, go-ahead and data mark are commands",
       {kIac, 241, 0x30, kIac, 249, kIac, 242},
       {0x30},
       {{0, 241, 0, {}}, {1, 249, 0, {}}, {1, 242, 0, {}}}},
      {"subnegotiation with a doubled 0xFF in its value",
       {0x31, kIac, kSb, kOptionComPort, 101, 0x00, kIac, kIac, kIac, kIac, 0x80, kIac, kSe, 0x32},
       {0x31, 0x32},
       {{1, kSb, kOptionComPort, {101, 0x00, 0xFF, 0xFF, 0x80}}}},
      {"subnegotiation ended by another command",
       {kIac, kSb, kOptionComPort, 107, 0x10, kIac, kWill, kOptionBinary, 0x33},
       {0x33},
       {{0, kSb, kOptionComPort, {107, 0x10}}, {0, kWill, kOptionBinary, {}}}},
      {"a stray SE is a command", {kIac, kSe, 0x34}, {0x34}, {{0, kSe, 0, {}}}},
      {"an unfinished command waits for more", {0x35, kIac, kSb, kOptionComPort, 112}, {0x35}, {}},
  };
  for (const Case& c : cases) {
    for (size_t piece = 1; piece <= c.wire.size(); ++piece) {
      const Decoded d = Decode(c.wire, piece);
      EXPECT_EQ(Hex(d.data), Hex(c.data)) << c.what << ", pieces of " << piece;
      EXPECT_EQ(d.commands, c.commands) << c.what << ", pieces of " << piece;
    }
  }
}

TEST(TelnetDecoder, AnOverlongSubnegotiationIsCut) {
  Bytes wire = {kIac, kSb, kOptionComPort};
  wire.insert(wire.end(), 1000, 0x55);
  wire.insert(wire.end(), {kIac, kSe, 0x36});
  const Decoded d = Decode(wire, wire.size());
  ASSERT_EQ(d.commands.size(), 1u);
  EXPECT_EQ(d.commands[0].value, Bytes(kMaxSubnegotiation, 0x55));
  EXPECT_EQ(d.data, Bytes{0x36});
}

TEST(TelnetEncoding, DataAndComPortCommandsDoubleEvery0xFF) {
  Bytes out;
  const Bytes data = {0x02, 0xFF, 0x35, 0xFF, 0xFF};
  AppendData(data.data(), data.size(), &out);
  EXPECT_EQ(Hex(out), Hex({0x02, 0xFF, 0xFF, 0x35, 0xFF, 0xFF, 0xFF, 0xFF}));
  out.clear();
  AppendComPortCommand(kSetBaudRate, {0x00, 0x00, 0xFF, 0x00}, &out);
  EXPECT_EQ(Hex(out), Hex({kIac, kSb, 44, 1, 0x00, 0x00, 0xFF, 0xFF, 0x00, kIac, kSe}));
}

// A write cut short keeps the rest of the unit it cut: whole commands and
// subnegotiations, 0xFF doubled.
TEST(TelnetEncoding, UnitEndIsTheNextPlaceAWriteMayStop) {
  const Bytes wire = {kIac, kSb,  44,   12,   kIac,  kIac, kIac, kSe,  // a subnegotiation, 0xFF in its value
                      0x41, kIac, kIac, kIac, kWill, 3,    kIac, 241, 0x42};
  const size_t boundaries[] = {0, 8, 9, 11, 14, 16, 17};
  for (size_t at = 0; at <= wire.size(); ++at) {
    const size_t* next = std::lower_bound(std::begin(boundaries), std::end(boundaries), at);
    EXPECT_EQ(UnitEnd(wire, at), *next) << at;
  }
}

Bytes Sb(std::initializer_list<uint8_t> value) {
  Bytes out = {kIac, kSb, kOptionComPort};
  out.insert(out.end(), value);
  out.insert(out.end(), {kIac, kSe});
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(TelnetClient, AnswersEachNegotiationOnce) {
  struct Case {
    const char* what;
    Bytes received;
    Bytes answer;
  };
  // After Start(): WILL COM-PORT, WILL BINARY and DO BINARY are asked for.
  const Case cases[] = {
      {"the server agrees to what was asked: nothing to answer",
       {kIac, kDo, 44, kIac, kDo, 0, kIac, kWill, 0},
       {}},
      {"suppress-go-ahead is accepted both ways",
       {kIac, kWill, 3, kIac, kDo, 3},
       {kIac, kDo, 3, kIac, kWill, 3}},
      {"echo and anything unknown are refused",
       {kIac, kWill, 1, kIac, kDo, 1, kIac, kDo, 24, kIac, kWill, 31},
       {kIac, kDont, 1, kIac, kWont, 1, kIac, kWont, 24, kIac, kDont, 31}},
      {"a repeated offer is answered once", {kIac, kWill, 3, kIac, kWill, 3}, {kIac, kDo, 3}},
      {"a refused request repeated, or withdrawn and made again, is answered once",
       {kIac, kWill, 5, kIac, kWill, 5, kIac, kDo, 5, kIac, kDo, 5, kIac, kWont, 5, kIac, kWill, 5},
       {kIac, kDont, 5, kIac, kWont, 5}},
      {"an option switched on and off is answered each time",
       {kIac, kWill, 3, kIac, kWont, 3, kIac, kWill, 3},
       {kIac, kDo, 3, kIac, kDont, 3, kIac, kDo, 3}},
      {"switching off an option that is on is confirmed",
       {kIac, kDo, 0, kIac, kDont, 0, kIac, kDont, 0},
       {kIac, kWont, 0}},
      {"what ser2net says first",
       {0xff, 0xfb, 0x03, 0xff, 0xfd, 0x03, 0xff, 0xfb, 0x01, 0xff, 0xfe,
        0x01, 0xff, 0xfd, 0x00, 0xff, 0xfb, 0x00, 0xff, 0xfd, 0x2c},
       {kIac, kDo, 3, kIac, kWill, 3, kIac, kDont, 1}},
  };
  for (const Case& c : cases) {
    Client client;
    EXPECT_EQ(Hex(client.Start()), Hex({kIac, kWill, 44, kIac, kWill, 0, kIac, kDo, 0}));
    Bytes data, answer;
    client.Receive(c.received.data(), c.received.size(), &data, &answer);
    EXPECT_EQ(Hex(answer), Hex(c.answer)) << c.what;
    EXPECT_TRUE(data.empty()) << c.what;
  }
}

TEST(TelnetClient, TheComPortOptionIsAgreedOrRefused) {
  struct Case {
    Bytes received;
    Client::Progress progress;
  };
  const Case cases[] = {
      {{}, Client::Progress::kPending},
      {{kIac, kDo, 44}, Client::Progress::kDone},
      {{kIac, kDont, 44}, Client::Progress::kRefused},
      {{kIac, kWill, 44}, Client::Progress::kPending},  // the server's side of it is not the question
  };
  for (const Case& c : cases) {
    Client client;
    client.Start();
    Bytes data, answer;
    client.Receive(c.received.data(), c.received.size(), &data, &answer);
    EXPECT_EQ(client.com_port(), c.progress) << Hex(c.received);
  }
}

TEST(TelnetClient, TheLineSettingsAreSentAndMustBeConfirmedAsAsked) {
  const Bytes asked = Cat({Sb({12, 3}), Sb({1, 0x00, 0x00, 0x4B, 0x00}), Sb({2, 8}), Sb({3, 1}), Sb({4, 1}),
                           Sb({5, 1}), Sb({5, 8}), Sb({5, 11})});
  const Bytes confirmed = Cat({Sb({101, 0x00, 0x00, 0x4B, 0x00}), Sb({102, 8}), Sb({103, 1}), Sb({104, 1})});
  struct Case {
    const char* what;
    Bytes received;
    Client::Progress line;
    std::string refusal;
  };
  const Case cases[] = {
      {"every setting confirmed", Cat({confirmed, Sb({105, 1})}), Client::Progress::kDone, ""},
      {"in another order, with modem control answers and notices between",
       Cat({Sb({105, 8}), Sb({107, 0x30}), Sb({105, 1}), confirmed}), Client::Progress::kDone, ""},
      {"the flow control not yet confirmed", Cat({confirmed, Sb({105, 11})}), Client::Progress::kPending, ""},
      {"another rate", Sb({101, 0x00, 0x00, 0x12, 0xC0}), Client::Progress::kRefused,
       "the server set 4800 baud when asked for 19200"},
      {"seven data bits", Cat({Sb({101, 0x00, 0x00, 0x4B, 0x00}), Sb({102, 7})}), Client::Progress::kRefused,
       "the server set 7 data bits when asked for 8"},
      {"hardware flow control", Sb({105, 3}), Client::Progress::kRefused,
       "the server set 3 for the flow control (1 is none) when asked for 1"},
  };
  for (const Case& c : cases) {
    Client client;
    client.Start();
    EXPECT_EQ(client.line(), Client::Progress::kPending);
    EXPECT_EQ(Hex(client.ConfigureLine(19200)), Hex(asked));
    Bytes data, answer;
    client.Receive(c.received.data(), c.received.size(), &data, &answer);
    EXPECT_EQ(client.line(), c.line) << c.what;
    EXPECT_EQ(client.refusal(), c.refusal) << c.what;
    EXPECT_TRUE(answer.empty()) << c.what;
  }
}

// Once the server has confirmed a purge, the data it sent before confirming
// a receive purge is dropped, and the data after it kept.
TEST(TelnetClient, AReceivePurgeDropsTheDataBeforeItsConfirmation) {
  Client client;
  client.Start();
  Bytes data, answer;
  auto receive = [&](const Bytes& b) { client.Receive(b.data(), b.size(), &data, &answer); };

  // Before any confirmation nothing is dropped.
  EXPECT_EQ(Hex(client.Purge(kPurgeReceive)), Hex(Sb({12, 1})));
  receive({0x01, 0x02});
  EXPECT_EQ(data, (Bytes{0x01, 0x02}));
  receive(Sb({112, 1}));
  EXPECT_TRUE(client.confirms_purges());
  EXPECT_FALSE(client.Dropping());

  // Now a purge drops until its confirmation, split or not.
  data.clear();
  client.Purge(kPurgeReceive);
  client.Purge(kPurgeTransmit);  // a transmit purge drops nothing
  EXPECT_TRUE(client.Dropping());
  const Bytes wire = Cat({{0x15, 0x15}, Sb({112, 2}), {0x16}, Sb({112, 1}), {0x02, 0xFF, 0xFF, 0x03}});
  for (size_t i = 0; i < wire.size(); ++i) receive({wire[i]});
  EXPECT_EQ(Hex(data), Hex({0x02, 0xFF, 0x03}));
  EXPECT_FALSE(client.Dropping());

  // Two purges need two confirmations; StopDropping gives up waiting.
  data.clear();
  client.Purge(kPurgeReceive);
  client.Purge(kPurgeBoth);
  receive(Cat({Sb({112, 1}), {0x20}}));
  EXPECT_TRUE(data.empty());
  client.StopDropping();
  receive({0x21});
  EXPECT_EQ(data, Bytes{0x21});
}

}  // namespace
}  // namespace korvel::telnet
