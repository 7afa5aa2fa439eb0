// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "protocol.h"

#include <algorithm>
#include <cstring>

#include "korvel.h"
#include "korvel/rates.h"

namespace korvel {

uint8_t BlockCheck(const uint8_t* bytes, size_t count) {
  uint8_t bcc = 0;
  for (size_t i = 0; i < count; ++i) bcc ^= bytes[i];
  return bcc;
}

size_t BuildFrame(uint8_t cmd, const uint8_t* params, size_t param_count, uint8_t* frame) {
  const size_t len = 1 + param_count;
  frame[0] = kStx;
  frame[1] = static_cast<uint8_t>(len);
  frame[2] = cmd;
  if (param_count != 0) std::memcpy(frame + 3, params, param_count);
  frame[2 + len] = kEtx;
  frame[3 + len] = 0;
  frame[3 + len] = BlockCheck(frame, 4 + len);
  return 4 + len;
}

uint8_t RateCode(uint32_t baud) {
  const LineRate* rate = FindLineRate(baud);
  return rate == nullptr ? 0 : rate->code;
}

namespace {

// Set while the calling thread runs a pump: a call made from within it waits
// without running the pump again.
thread_local bool t_inside_pump = false;

// How long the next sleep of a wait may be, and what may end it early.
struct Slice {
  int ms;
  unsigned flags;
};

Slice NextSlice(bool pumping, int64_t left_ms, unsigned flags) {
  int ms = static_cast<int>(std::min<int64_t>(left_ms, pumping ? kPumpIntervalMs : kQuietSliceMs));
  if (pumping) flags |= kWakeOnMessages;
  return {std::max(ms, 0), flags};
}

// Waits until at least `need` bytes are in the input queue.  Returns 0, or
// `timeout_status` once `timeout_ms` have passed, or a failure status when
// the device goes away or the handle is closed.  When enough bytes are
// already there at the first look, no time limit applies.
int WaitForBytes(Port& port, const WaitHooks& hooks, int need, int64_t timeout_ms, int timeout_status) {
  const int64_t start = port.NowMs();
  for (;;) {
    const int waiting = port.BytesInQueue();
    if (waiting < 0 || port.Gone()) return KORVEL_E_DISCONNECTED;
    if (waiting >= need) return KORVEL_OK;
    const bool pumping = ServicePump(port, hooks);
    if (Closed(hooks)) return KORVEL_E_HANDLE;
    const int64_t elapsed = port.NowMs() - start;
    if (elapsed >= timeout_ms) return timeout_status;
    // Some bytes are there but not enough: the port reads as "ready" all the
    // time, so sleep briefly instead of waiting for input.
    const bool partial = waiting > 0;
    Slice slice = NextSlice(pumping, timeout_ms - elapsed, partial ? 0u : kWakeOnInput);
    if (partial) slice.ms = std::min(slice.ms, 2);
    if (port.Wait(slice.ms, slice.flags) == WaitResult::kGone) return KORVEL_E_DISCONNECTED;
  }
}

// Sleeps `ms` milliseconds, running the pump at least every 10 ms.
int WaitPumping(Port& port, const WaitHooks& hooks, int ms) {
  const int64_t start = port.NowMs();
  for (;;) {
    const bool pumping = ServicePump(port, hooks);
    if (Closed(hooks)) return KORVEL_E_HANDLE;
    const int64_t elapsed = port.NowMs() - start;
    if (elapsed >= ms) return KORVEL_OK;
    const Slice slice = NextSlice(pumping, ms - elapsed, 0u);
    if (port.Wait(slice.ms, slice.flags) == WaitResult::kGone) return KORVEL_E_DISCONNECTED;
  }
}

// Reads away the `count` bytes of a reply that is refused, as they arrive,
// for at most the reply time limit; whatever is still missing then is purged
// with anything behind it.  Returns a failure status of the wait, or 0.
int DiscardReply(Port& port, const WaitHooks& hooks, size_t count) {
  uint8_t scratch[kMaxFrame];
  const int64_t start = port.NowMs();
  while (count > 0) {
    const int64_t left = kReplyTimeoutMs - (port.NowMs() - start);
    const int status = left > 0 ? WaitForBytes(port, hooks, 1, static_cast<int>(left), KORVEL_E_REPLY_TIMEOUT)
                                : KORVEL_E_REPLY_TIMEOUT;
    if (status == KORVEL_E_REPLY_TIMEOUT) {
      port.PurgeReceive();
      return KORVEL_OK;
    }
    if (status != KORVEL_OK) return status;
    const size_t take =
        std::min({count, sizeof scratch, static_cast<size_t>(std::max(port.BytesInQueue(), 0))});
    (void)port.Read(scratch, take);
    if (port.Gone()) return KORVEL_E_DISCONNECTED;
    count -= take;
  }
  return KORVEL_OK;
}

}  // namespace

bool Closed(const WaitHooks& hooks) {
  return hooks.closed != nullptr && hooks.closed->load(std::memory_order_acquire);
}

bool ServicePump(Port& port, const WaitHooks& hooks) {
  if (t_inside_pump) return false;
  struct Inside {
    Inside() { t_inside_pump = true; }
    ~Inside() { t_inside_pump = false; }
  } inside;
  port.PumpPlatformMessages();
  const bool ran = hooks.pump && hooks.pump();
  return ran || port.HasPlatformPump();
}

int ExchangeFrame(Port& port, const WaitHooks& hooks, const uint8_t* request, size_t request_len,
                  uint8_t* reply, size_t reply_size) {
  port.PurgeTransmit();
  port.PurgeReceive();
  // A request that did not go out shows up as a missing reply.
  (void)port.Write(request, request_len);

  int status = WaitForBytes(port, hooks, 2, kReplyTimeoutMs, KORVEL_E_NO_REPLY);
  if (status != KORVEL_OK) return status;
  (void)port.Read(reply, 2);
  if (port.Gone()) return KORVEL_E_DISCONNECTED;
  if (reply[0] != kStx) return KORVEL_E_FRAME;

  const uint8_t len = reply[1];
  const size_t rest = static_cast<size_t>(len) + 2;
  // A reply without a status byte, or longer than the area can hold, is
  // refused rather than taken as an answer or read past the area's end.
  if (len < 3 || 2 + rest > reply_size) {
    status = DiscardReply(port, hooks, rest);
    return status != KORVEL_OK ? status : KORVEL_E_FRAME;
  }
  status = WaitForBytes(port, hooks, static_cast<int>(rest), kReplyTimeoutMs, KORVEL_E_REPLY_TIMEOUT);
  if (status != KORVEL_OK) return status;
  (void)port.Read(reply + 2, rest);
  if (port.Gone()) return KORVEL_E_DISCONNECTED;

  if (reply[4] == kStatusYes) return KORVEL_OK;
  // The error byte follows the status byte inside the body (LEN 4 or more).
  if (len < 4 || reply[5] == 0) return KORVEL_E_REFUSED;
  return reply[5];
}

namespace {

struct Reply {
  int status;
  bool accepted;    // the status byte was 'Y'
  size_t data_len;  // LEN - 3, or 0
};

Reply Exchange(Port& port, const WaitHooks& hooks, uint8_t cmd, const uint8_t* params, size_t param_count,
               uint8_t* reply, size_t reply_size) {
  uint8_t frame[kMaxFrame];
  const size_t len = BuildFrame(cmd, params, param_count, frame);
  std::memset(reply, 0, reply_size);
  Reply r{};
  r.status = ExchangeFrame(port, hooks, frame, len, reply, reply_size);
  r.accepted = r.status == KORVEL_OK;
  r.data_len = reply[1] > 3 ? reply[1] - 3u : 0;
  return r;
}

int SimpleCommand(Port& port, const WaitHooks& hooks, uint8_t cmd, uint8_t param) {
  uint8_t reply[kReplyArea];
  return Exchange(port, hooks, cmd, &param, 1, reply, sizeof reply).status;
}

}  // namespace

int SetMode(Port& port, const WaitHooks& hooks, uint32_t mode) {
  return SimpleCommand(port, hooks, kCmdMode, static_cast<uint8_t>(mode & 0xFF));
}

int QueryMode(Port& port, const WaitHooks& hooks, uint8_t* result10) {
  uint8_t reply[kReplyArea];
  const uint8_t param = '0';
  const Reply r = Exchange(port, hooks, kCmdSearch, &param, 1, reply, sizeof reply);
  // Ten bytes from offset 5 whatever LEN is: the area is zero past the reply.
  if (r.accepted) std::memcpy(result10, reply + 5, KORVEL_MODE_AREA);
  return r.status;
}

int ReadIdentification(Port& port, const WaitHooks& hooks, uint8_t* text30) {
  uint8_t reply[kReplyArea];
  const uint8_t param = '0';
  const Reply r = Exchange(port, hooks, kCmdReset, &param, 1, reply, sizeof reply);
  if (r.accepted) {
    std::memset(text30, 0, KORVEL_VERSION_AREA);
    std::memcpy(text30, reply + 5, std::min<size_t>(r.data_len, KORVEL_VERSION_AREA - 1));
  }
  return r.status;
}

int ReadCardData(Port& port, const WaitHooks& hooks, uint8_t* data300) {
  uint8_t reply[kDataReplyArea];
  const uint8_t param = '0';
  const Reply r = Exchange(port, hooks, kCmdReadData, &param, 1, reply, sizeof reply);
  if (r.accepted) {
    std::memset(data300, 0, KORVEL_DATA_AREA);
    // LEN is at most 251 here (the reply fits its area), so at most 248 bytes.
    std::memcpy(data300, reply + 5, r.data_len);
  }
  return r.status;
}

int SetReaderBaud(Port& port, const WaitHooks& hooks, uint32_t baud) {
  const uint8_t code = RateCode(baud);
  if (code == 0) return KORVEL_E_BAUD;
  return SimpleCommand(port, hooks, kCmdBaud, code);
}

int SetTrackSettings(Port& port, const WaitHooks& hooks, const uint8_t* record8) {
  uint8_t reply[kReplyArea];
  return Exchange(port, hooks, kCmdTrack, record8, KORVEL_TRACK_RECORD, reply, sizeof reply).status;
}

int CaptureTrack(Port& port, const WaitHooks& hooks, uint8_t* data300) {
  int count = port.BytesInQueue();
  if (count < 0 || port.Gone()) return KORVEL_E_DISCONNECTED;
  if (count == 0) return KORVEL_E_EMPTY;

  // Settle: wait in 50 ms steps for as long as the burst keeps growing.  Once
  // it is over the limit the answer can only be "too much", so stop there: a
  // device that never stops sending must not hold the call for ever.
  int noted;
  do {
    noted = count;
    const int status = WaitPumping(port, hooks, kSettleMs);
    if (status != KORVEL_OK) return status;
    count = port.BytesInQueue();
    if (count < 0) return KORVEL_E_DISCONNECTED;
  } while (count > noted && count <= static_cast<int>(kCaptureLimit));

  if (count > static_cast<int>(kCaptureLimit)) return KORVEL_E_OVERFLOW;

  uint8_t captured[kCaptureLimit] = {};
  (void)port.Read(captured, static_cast<size_t>(count));
  if (port.Gone()) return KORVEL_E_DISCONNECTED;
  std::memset(data300, 0, KORVEL_DATA_AREA);
  std::memcpy(data300, captured, static_cast<size_t>(count));
  // Whatever arrived after the count was taken belongs to no capture.
  port.PurgeReceive();
  return KORVEL_OK;
}

namespace {

// Reads away a burst that went over the capture limit, for as long as it
// keeps coming (in settle steps), but no longer than a reply may take; then
// purges whatever is left.
int DiscardBurst(Port& port, const WaitHooks& hooks) {
  uint8_t scratch[512];
  const int64_t start = port.NowMs();
  for (;;) {
    int waiting = port.BytesInQueue();
    if (waiting < 0 || port.Gone()) return KORVEL_E_DISCONNECTED;
    while (waiting > 0) {
      const size_t take = std::min(static_cast<size_t>(waiting), sizeof scratch);
      (void)port.Read(scratch, take);
      if (port.Gone()) return KORVEL_E_DISCONNECTED;
      waiting -= static_cast<int>(take);
    }
    if (port.NowMs() - start >= kReplyTimeoutMs) break;
    const int status = WaitPumping(port, hooks, kSettleMs);
    if (status != KORVEL_OK) return status;
    const int more = port.BytesInQueue();
    if (more < 0) return KORVEL_E_DISCONNECTED;
    if (more == 0) break;
  }
  port.PurgeReceive();
  return KORVEL_OK;
}

}  // namespace

int WaitTrack(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t timeout_ms) {
  const int64_t limit = timeout_ms == kWaitForever ? INT64_MAX : static_cast<int64_t>(timeout_ms);
  int status = WaitForBytes(port, hooks, 1, limit, KORVEL_E_EMPTY);
  if (status != KORVEL_OK) return status;
  status = CaptureTrack(port, hooks, data300);
  if (status != KORVEL_E_OVERFLOW) return status;
  // Unlike Korvel_GetTrack, the over-long burst goes, so that the next swipe
  // comes through instead of the same overflow again.
  const int discarded = DiscardBurst(port, hooks);
  return discarded == KORVEL_OK ? KORVEL_E_OVERFLOW : discarded;
}

}  // namespace korvel
