// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// libFuzzer target: arbitrary bytes from a network port server, cut into
// arbitrary pieces, through the Telnet decoder and the client's side of the
// conversation, with the line settings asked for and purges between pieces.
//
// Input layout:
//   [0] flags: bit 0 ask for the line settings first, bit 1 the server
//       confirmed a purge before (purges are then awaited)
//   then pieces, each [length][action][bytes...]: the action's low two bits
//   ask for a purge (receive, transmit or both) after the piece.
//
// Checked on every input: the same stream fed whole pieces or a byte at a
// time gives the same data, answers and state; without an IAC byte the data
// is the stream itself (unless purges drop it); answers are only whole
// negotiations (IAC verb option); the data of AppendData decodes back to
// itself; no subnegotiation value grows past its bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "telnet.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace telnet = korvel::telnet;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

struct Run {
  telnet::Client client;
  Bytes data;
  Bytes answer;
  Bytes sent;  // what the client asked to send
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = input[0];
  Run whole, single;
  for (Run* r : {&whole, &single}) {
    r->sent = r->client.Start();
    if ((flags & 2) != 0) {
      const Bytes confirmed = {telnet::kIac, telnet::kSb, telnet::kOptionComPort, 112, 3,
                               telnet::kIac, telnet::kSe};
      r->client.Receive(confirmed.data(), confirmed.size(), &r->data, &r->answer);
    }
    if ((flags & 1) != 0) {
      const Bytes line = r->client.ConfigureLine(9600);
      r->sent.insert(r->sent.end(), line.begin(), line.end());
    }
  }

  Bytes stream;
  bool purged = false;
  size_t pos = 1;
  while (pos + 2 <= size) {
    const size_t length = input[pos];
    const uint8_t action = input[pos + 1];
    pos += 2;
    const size_t n = length < size - pos ? length : size - pos;
    const uint8_t* piece = input + pos;
    pos += n;
    stream.insert(stream.end(), piece, piece + n);
    whole.client.Receive(piece, n, &whole.data, &whole.answer);
    for (size_t i = 0; i < n; ++i) single.client.Receive(piece + i, 1, &single.data, &single.answer);
    if ((action & 3) != 0) {
      purged = true;
      for (Run* r : {&whole, &single}) {
        const Bytes purge = r->client.Purge(action & 3);
        r->sent.insert(r->sent.end(), purge.begin(), purge.end());
      }
    }
  }

  Check(whole.data == single.data, "the data depends on how the stream was cut");
  Check(whole.answer == single.answer, "the answers depend on how the stream was cut");
  Check(whole.client.com_port() == single.client.com_port(), "option state depends on the cut");
  Check(whole.client.line() == single.client.line(), "line state depends on the cut");
  Check(whole.client.refusal() == single.client.refusal(), "refusal depends on the cut");
  Check(whole.client.Dropping() == single.client.Dropping(), "purge state depends on the cut");
  Check(whole.data.size() <= stream.size(), "more data than bytes received");
  Check((whole.client.line() == telnet::Client::Progress::kRefused) == !whole.client.refusal().empty(),
        "a refusal without its text, or a text without a refusal");
  bool has_iac = false;
  for (uint8_t b : stream) has_iac = has_iac || b == telnet::kIac;
  if (!has_iac && !purged && (flags & 2) == 0) Check(whole.data == stream, "plain bytes were altered");

  // Answers are whole negotiations, nothing else.
  Check(whole.answer.size() % 3 == 0, "a partial answer");
  for (size_t i = 0; i + 2 < whole.answer.size(); i += 3)
    Check(whole.answer[i] == telnet::kIac && whole.answer[i + 1] >= telnet::kWill &&
              whole.answer[i + 1] <= telnet::kDont,
          "an answer that is not a negotiation");

  // What the client sends decodes as commands only, and data round-trips.
  telnet::Decoder decoder;
  Bytes data;
  std::vector<telnet::Command> commands;
  decoder.Feed(whole.sent.data(), whole.sent.size(), &data, &commands);
  Check(data.empty(), "the client's own commands decode as data");
  Bytes encoded;
  telnet::AppendData(stream.data(), stream.size(), &encoded);
  data.clear();
  commands.clear();
  decoder.Feed(encoded.data(), encoded.size(), &data, &commands);
  Check(data == stream && commands.empty(), "data does not survive its encoding");
  commands.clear();
  data.clear();
  telnet::Decoder raw;
  raw.Feed(stream.data(), stream.size(), &data, &commands);
  for (const telnet::Command& c : commands)
    Check(c.value.size() <= telnet::kMaxSubnegotiation && c.at <= data.size(), "a command out of bounds");
  return 0;
}
