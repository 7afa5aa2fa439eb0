// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// libFuzzer target: arbitrary reader output, chopped into pieces that arrive
// at arbitrary fake times, fed through the scripted port into each framed
// command and into the active-mode capture.
//
// Input layout:
//   [0] operation (mod 7): mode, search, reset, read data, baud, track, capture
//   [1] flags: bit 0 a pump runs, bit 1 the pump closes the handle,
//       bit 2 the device goes away, bit 3 stale bytes wait before the call,
//       bit 6 two bytes land while the host reads (after it counted)
//   [2] parameter: mode byte / rate index / track record seed
//   [3] when the handle closes or the device goes away, in 32 ms units
//   [4] LEN of a well-formed reply head (flag bit 4) that starts the first
//       piece: 02 LEN CMD '0' 'Y'; with flag bit 5 the reply is completed
//       to LEN + 4 bytes by a last piece of filler
//   then pieces, each [delay][length][bytes...]: delay below 128 is in ms,
//   from 128 up in 32 ms units, counted from the previous piece.
//
// Checked on every input: the host writes exactly the request frame and
// nothing else, never spins or reads bytes that are not there, returns a
// documented status within the time limits, never writes outside the
// caller's area and leaves it untouched unless the call succeeded, and runs
// the pump at least every 10 ms while it waits.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fake_port.h"
#include "guarded_area.h"
#include "korvel.h"
#include "protocol.h"

namespace {

using korvel::fake::Bytes;
using korvel::fake::FakePort;
using korvel::fake::GuardedArea;
using korvel::fake::Piece;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "invariant broken: %s\n", what.c_str());
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  Bytes Take(size_t n) {
    n = std::min(n, size_ - std::min(pos_, size_));
    Bytes b(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

enum Operation { kMode, kSearch, kReset, kReadData, kBaud, kTrack, kCapture, kOperations };

bool IsFramedStatus(int s) {
  return (s >= 0 && s <= 255) || s == KORVEL_E_NO_REPLY || s == KORVEL_E_FRAME ||
         s == KORVEL_E_REPLY_TIMEOUT || s == KORVEL_E_DISCONNECTED || s == KORVEL_E_HANDLE ||
         s == KORVEL_E_REFUSED;
}

bool IsCaptureStatus(int s) {
  return s == KORVEL_OK || s == KORVEL_E_OVERFLOW || s == KORVEL_E_EMPTY || s == KORVEL_E_DISCONNECTED ||
         s == KORVEL_E_HANDLE;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const auto op = static_cast<Operation>(in.Byte() % kOperations);
  const uint8_t flags = in.Byte();
  const uint8_t param = in.Byte();
  const int64_t event_at = int64_t{in.Byte()} * 32;
  const uint8_t head_len = in.Byte();
  const bool with_pump = (flags & 1) != 0;
  const bool close_by_pump = with_pump && (flags & 2) != 0;

  std::vector<Piece> pieces;
  int64_t at = 0;
  while (!in.Empty()) {
    const uint8_t d = in.Byte();
    at += d < 128 ? d : int64_t{d - 128} * 32;
    pieces.push_back({at, in.Take(in.Byte())});
  }

  if ((flags & 16) != 0 && op != kCapture) {
    static const uint8_t kCmd[] = {'0', '1', '2', '3', '4', '5'};
    const Bytes head = {0x02, head_len, kCmd[op], '0', 'Y'};
    if (pieces.empty()) pieces.push_back({0, {}});
    pieces.front().bytes.insert(pieces.front().bytes.begin(), head.begin(), head.end());
    if ((flags & 32) != 0) {
      size_t have = 0;
      for (const Piece& p : pieces) have += p.bytes.size();
      Bytes filler;
      for (size_t i = have; i < size_t{head_len} + 4; ++i)
        filler.push_back(static_cast<uint8_t>(0x41 + i % 26));
      pieces.push_back({pieces.back().after_ms, filler});
    }
  }

  FakePort port;
  if ((flags & 4) != 0) port.GoAwayAt(event_at);
  if ((flags & 8) != 0) port.ArriveAt(0, {0x02, 0x04, 0x32, 0x30, 'Y', 'S', 0x03, 0x00, 0x15});
  if ((flags & 64) != 0) port.ArriveDuringNextRead({0x25, 0x42});

  // The pump records its times and may close the handle.
  std::vector<int64_t> pumps;
  std::atomic<bool> closed{false};
  korvel::WaitHooks hooks;
  if (with_pump) {
    hooks.pump = [&] {
      pumps.push_back(port.Now());
      if (close_by_pump && port.Now() >= event_at) closed.store(true);
      return true;
    };
  }
  hooks.closed = &closed;

  static const uint32_t kRates[] = {4800, 9600, 19200, 38400};
  uint8_t record[8];
  for (int i = 0; i < 8; ++i) record[i] = static_cast<uint8_t>(param * (i + 1) + i);

  // The request the host must write, built independently of the library.
  Bytes request;
  auto simple = [&](uint8_t cmd, uint8_t p) {
    request = {0x02, 0x02, cmd, p, 0x03, static_cast<uint8_t>(0x02 ^ 0x02 ^ cmd ^ p ^ 0x03)};
  };
  size_t area_size = 0;
  switch (op) {
    case kMode: simple('0', param); break;
    case kSearch:
      simple('1', '0');
      area_size = 10;
      break;
    case kReset:
      simple('2', '0');
      area_size = 30;
      break;
    case kReadData:
      simple('3', '0');
      area_size = 300;
      break;
    case kBaud: simple('4', static_cast<uint8_t>('0' + param % 4)); break;
    case kTrack: {
      request = {0x02, 0x09, '5'};
      request.insert(request.end(), record, record + 8);
      request.push_back(0x03);
      uint8_t bcc = 0;
      for (uint8_t b : request) bcc ^= b;
      request.push_back(bcc);
      break;
    }
    case kCapture: area_size = 300; break;
    default: break;
  }

  if (op == kCapture) {
    for (Piece& p : pieces) port.ArriveAt(p.after_ms, std::move(p.bytes));
  } else {
    port.Expect(request, std::move(pieces));
  }

  GuardedArea area(area_size == 0 ? 1 : area_size);
  int status = 0;
  switch (op) {
    case kMode: status = korvel::SetMode(port, hooks, param); break;
    case kSearch: status = korvel::QueryMode(port, hooks, area.data()); break;
    case kReset: status = korvel::ReadIdentification(port, hooks, area.data()); break;
    case kReadData: status = korvel::ReadCardData(port, hooks, area.data()); break;
    case kBaud: status = korvel::SetReaderBaud(port, hooks, kRates[param % 4]); break;
    case kTrack: status = korvel::SetTrackSettings(port, hooks, record); break;
    case kCapture: status = korvel::CaptureTrack(port, hooks, area.data()); break;
    default: break;
  }
  const int64_t end = port.Now();

  if (!port.Problems().empty()) Fail(port.Problems().front());
  Check(port.ShortReads() == 0, "read more bytes than were waiting");
  Check(area.GuardsIntact(), "wrote outside the caller's area");
  if (status != KORVEL_OK) Check(area.Untouched(), "area written on a failure");

  if (op == kCapture) {
    Check(IsCaptureStatus(status), "undocumented capture status");
    Check(port.Written().empty(), "the capture wrote to the port");
    if (status == KORVEL_OK) Check(port.Waiting() == 0, "bytes left after a capture");
    if (status == KORVEL_E_OVERFLOW) Check(port.Waiting() > 300, "overflow with 300 bytes or fewer");
    if (status == KORVEL_E_EMPTY)
      Check(end == 0 && port.Ops().empty(), "waited or touched the port with nothing there");
  } else {
    Check(IsFramedStatus(status), "undocumented command status");
    Check(port.ScriptDone() || status == KORVEL_E_DISCONNECTED, "the request was not written");
    Check(end <= 2 * korvel::kReplyTimeoutMs + 20, "waited past both time limits");
    if (status == KORVEL_E_NO_REPLY) Check(end >= korvel::kReplyTimeoutMs, "gave up on the reply too early");
    if (status == KORVEL_OK && area_size != 0 && !area.Untouched()) {
      if (op == kReset) Check(area[29] == 0, "identification text not terminated");
      if (op == kReadData) {
        for (size_t i = 248; i < 300; ++i) Check(area[i] == 0, "card data longer than a reply can hold");
      }
    }
  }

  if (with_pump && (end > 0)) {
    int64_t last = 0;
    for (int64_t t : pumps) {
      Check(t - last <= 10, "pump not run for more than 10 ms");
      last = t;
    }
    // Returning ends the wait; a status decided by a count needs no pump.
    Check(end - last <= 10, "pump not run for more than 10 ms before the end");
  }
  return 0;
}
