/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The reader's framed command protocol and the active-mode capture, free of
// platform calls: everything here works on bytes and on the Port interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "port.h"

namespace korvel {

inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kStatusYes = 'Y';
inline constexpr int kReplyTimeoutMs = 3000;   // each of the two reply waits
inline constexpr size_t kReplyArea = 100;      // reply area of most commands
inline constexpr size_t kDataReplyArea = 255;  // reply area of the card-data command
inline constexpr size_t kCaptureLimit = 300;   // active-mode capture limit
inline constexpr int kSettleMs = 50;           // capture settle step
// The pump runs at least every 10 ms during a wait: waits sleep in slices of
// 5 ms, which leaves room for the scheduler's lateness.
inline constexpr int kPumpIntervalMs = 5;
// Without a pump a wait sleeps until input, a hang-up, Interrupt() or its
// time limit; this bounds each sleep all the same.
inline constexpr int kQuietSliceMs = 1000;
inline constexpr size_t kMaxFrame = 3 + 255 + 1;

enum Command : uint8_t {
  kCmdMode = '0',
  kCmdSearch = '1',
  kCmdReset = '2',
  kCmdReadData = '3',
  kCmdBaud = '4',
  kCmdTrack = '5',
};

// XOR of `count` bytes; 0 for none.
uint8_t BlockCheck(const uint8_t* bytes, size_t count);

// Lays out STX LEN CMD PARAM... ETX BCC into `frame` (room for kMaxFrame) and
// returns its length; `param_count` is at most 254.
size_t BuildFrame(uint8_t cmd, const uint8_t* params, size_t param_count, uint8_t* frame);

// Rate code of a supported baud rate ('0'..'3'), or 0 for any other rate.
uint8_t RateCode(uint32_t baud);

// What a wait runs besides sleeping: the caller's pump, and a check that the
// handle is still open.
struct WaitHooks {
  // Runs the caller's pump if one is set at this moment (it is looked up at
  // every run, so that a pump removed meanwhile is not run again); returns
  // whether one ran.  May be empty.
  std::function<bool()> pump;
  const std::atomic<bool>* closed = nullptr;  // may be null
  // Set by Korvel_CancelWait(): a wait for a swipe takes it (clears it) and
  // ends with KORVEL_E_CANCELLED.  May be null.
  std::atomic<bool>* cancel = nullptr;
};

// Runs the caller's pump and services the platform's message queue, once,
// unless the calling thread is inside a pump already: a call made from within
// a pump waits without running it, so that pumps never nest.  Returns whether
// anything needs servicing again within kPumpIntervalMs.
bool ServicePump(Port& port, const WaitHooks& hooks);

// True when the handle was closed (by the pump, or by another thread).
bool Closed(const WaitHooks& hooks);

// Sends one request frame and collects its reply into `reply` (zero-filled
// by the caller, `reply_size` bytes).  Returns 0 for a reply whose status
// byte is 'Y', the reader's error byte (1..255) for a refusal, or a negative
// status of korvel.h.  A reply whose LEN is below 3, or too long for the
// area, is a frame error; its bytes are read away first, so that none is
// left in the input queue to look like card data.  A refusal without an
// error byte, or with error byte 0, is KORVEL_E_REFUSED.
int ExchangeFrame(Port& port, const WaitHooks& hooks, const uint8_t* request, size_t request_len,
                  uint8_t* reply, size_t reply_size);

// The framed commands.  Each builds its frame, exchanges it and copies its
// result into the caller's area as korvel.h describes.
int SetMode(Port& port, const WaitHooks& hooks, uint32_t mode);
int QueryMode(Port& port, const WaitHooks& hooks, uint8_t* result10);
int ReadIdentification(Port& port, const WaitHooks& hooks, uint8_t* text30);
int ReadCardData(Port& port, const WaitHooks& hooks, uint8_t* data300);
int SetReaderBaud(Port& port, const WaitHooks& hooks, uint32_t baud);
int SetTrackSettings(Port& port, const WaitHooks& hooks, const uint8_t* record8);

// Active-mode capture into the caller's 300-byte area.
int CaptureTrack(Port& port, const WaitHooks& hooks, uint8_t* data300);

// Waits for no limit (Korvel_WaitTrack's KORVEL_WAIT_FOREVER).
inline constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// Waits up to `timeout_ms` for a swipe's first byte, then captures the burst
// as CaptureTrack() does.  KORVEL_E_EMPTY when nothing came in time; a burst
// over the limit is reported once (KORVEL_E_OVERFLOW) and read away.
// A cancel (hooks.cancel) taken while waiting for the first byte ends the
// wait with KORVEL_E_CANCELLED; a burst already arriving is captured first.
int WaitTrack(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t timeout_ms);

// The length of the complete swipe at the start of `bytes`, as the reader
// sends it with the track record `record8` and the tracks `tracks`
// (KORVEL_TRACK_1 | 2 | 3) configured: each configured track from its start
// sentinel to its end sentinel (and CR LF with the Enter mark on), tracks not
// configured skipped whole in between, ending with the last configured
// track.  0 while the swipe is not complete, when the bytes do not have that
// shape, or when a configured track has no sentinel (a zero byte).
size_t CompleteSwipeLength(const uint8_t* bytes, size_t count, const uint8_t* record8, unsigned tracks);

// As WaitTrack(), but the burst ends as soon as its bytes form a complete
// swipe (CompleteSwipeLength()); bytes after it stay in the input queue for
// the next call.  Without a rule (no record, or no tracks) or when the bytes
// do not complete one, the burst ends after 50 ms of quiet as in WaitTrack().
// `*count` gets the number of bytes written with KORVEL_OK.
int WaitSwipe(Port& port, const WaitHooks& hooks, uint8_t* data300, uint32_t timeout_ms,
              const uint8_t* record8, unsigned tracks, uint32_t* count);

}  // namespace korvel
