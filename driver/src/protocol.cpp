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
int WaitForBytes(Port& port, const WaitHooks& hooks, int need, int64_t timeout_ms, int timeout_status,
                 bool cancellable = false) {
  const int64_t start = port.NowMs();
  for (;;) {
    const int waiting = port.BytesInQueue();
    if (waiting < 0 || port.Gone()) return KORVEL_E_DISCONNECTED;
    if (waiting >= need) return KORVEL_OK;
    if (cancellable && hooks.cancel != nullptr && hooks.cancel->exchange(false, std::memory_order_acq_rel))
      return KORVEL_E_CANCELLED;
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

namespace {

// CaptureTrack(), also saying how many bytes it wrote.
int CaptureBurst(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t* written) {
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
  *written = static_cast<uint32_t>(count);
  // Whatever arrived after the count was taken belongs to no capture.
  port.PurgeReceive();
  return KORVEL_OK;
}

}  // namespace

int CaptureTrack(Port& port, const WaitHooks& hooks, uint8_t* data300) {
  uint32_t written = 0;
  return CaptureBurst(port, hooks, data300, &written);
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

namespace {

int64_t WaitLimit(uint32_t timeout_ms) {
  return timeout_ms == kWaitForever ? INT64_MAX : static_cast<int64_t>(timeout_ms);
}

// The end of a capture that went over the limit: unlike Korvel_GetTrack, the
// over-long burst goes, so that the next swipe comes through instead of the
// same overflow again.
int Overflowed(Port& port, const WaitHooks& hooks) {
  const int discarded = DiscardBurst(port, hooks);
  return discarded == KORVEL_OK ? KORVEL_E_OVERFLOW : discarded;
}

// Collects a burst byte by byte until CompleteSwipeLength() says it is a
// whole swipe (nothing behind it is read), or until 50 ms pass without a new
// byte (then as CaptureTrack()).
int CaptureSwipe(Port& port, const WaitHooks& hooks, uint8_t* data300, const uint8_t* record8,
                 unsigned tracks, uint32_t* written) {
  uint8_t got[kCaptureLimit];
  size_t n = 0;
  int64_t last_byte_ms = port.NowMs();
  for (;;) {
    int waiting = port.BytesInQueue();
    if (waiting < 0 || port.Gone()) return KORVEL_E_DISCONNECTED;
    for (; waiting > 0 && n < kCaptureLimit; --waiting) {
      (void)port.Read(got + n, 1);
      if (port.Gone()) return KORVEL_E_DISCONNECTED;
      ++n;
      last_byte_ms = port.NowMs();
      if (CompleteSwipeLength(got, n, record8, tracks) == n) {
        std::memset(data300, 0, KORVEL_DATA_AREA);
        std::memcpy(data300, got, n);
        *written = static_cast<uint32_t>(n);
        return KORVEL_OK;
      }
    }
    if (waiting > 0) return Overflowed(port, hooks);
    const bool pumping = ServicePump(port, hooks);
    if (Closed(hooks)) return KORVEL_E_HANDLE;
    const int64_t quiet = port.NowMs() - last_byte_ms;
    if (quiet >= kSettleMs) {
      std::memset(data300, 0, KORVEL_DATA_AREA);
      std::memcpy(data300, got, n);
      *written = static_cast<uint32_t>(n);
      port.PurgeReceive();
      return KORVEL_OK;
    }
    const Slice slice = NextSlice(pumping, kSettleMs - quiet, kWakeOnInput);
    if (port.Wait(slice.ms, slice.flags) == WaitResult::kGone) return KORVEL_E_DISCONNECTED;
  }
}

}  // namespace

int WaitTrack(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t timeout_ms) {
  uint32_t written = 0;
  return WaitSwipe(port, hooks, data300, timeout_ms, nullptr, 0, &written);
}

int WaitSwipe(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t timeout_ms,
              const uint8_t* record8, unsigned tracks, uint32_t* count) {
  int status = WaitForBytes(port, hooks, 1, WaitLimit(timeout_ms), KORVEL_E_EMPTY, true);
  if (status != KORVEL_OK) return status;
  const bool by_rule = record8 != nullptr && (tracks & 7u) != 0;
  status = by_rule ? CaptureSwipe(port, hooks, data300, record8, tracks, count)
                   : CaptureBurst(port, hooks, data300, count);
  return status == KORVEL_E_OVERFLOW && !by_rule ? Overflowed(port, hooks) : status;
}

size_t CompleteSwipeLength(const uint8_t* bytes, size_t count, const uint8_t* record8, unsigned tracks) {
  tracks &= 7u;
  if (bytes == nullptr || record8 == nullptr || tracks == 0) return 0;
  const bool enter = record8[7] == '1';
  int last = 0;  // the highest configured track
  for (int t = 1; t <= 3; ++t) {
    if ((tracks & (1u << (t - 1))) == 0) continue;
    if (record8[2 * (t - 1)] == 0 || record8[2 * (t - 1) + 1] == 0) return 0;
    last = t;
  }
  size_t at = 0;
  unsigned seen = 0;
  int previous = 0;
  while (at < count) {
    // The next track: one after the previous one, by its start sentinel.
    int track = 0;
    for (int t = previous + 1; t <= 3 && track == 0; ++t)
      if (record8[2 * (t - 1)] != 0 && bytes[at] == record8[2 * (t - 1)]) track = t;
    if (track == 0 || track > last) return 0;
    const uint8_t end = record8[2 * (track - 1) + 1];
    if (end == 0) return 0;
    size_t stop = at + 1;
    while (stop < count && bytes[stop] != end) ++stop;
    if (stop >= count) return 0;  // its end sentinel has not come yet
    at = stop + 1;
    if (enter) {
      if (at + 2 > count) return 0;
      if (bytes[at] != '\r' || bytes[at + 1] != '\n') return 0;
      at += 2;
    }
    seen |= 1u << (track - 1);
    previous = track;
    if (track == last) return (seen & tracks) == tracks ? at : 0;
  }
  return 0;
}

}  // namespace korvel
