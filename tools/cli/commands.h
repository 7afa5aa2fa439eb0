/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Running a command against the reader through the library, and where its
// output goes while it runs.
#pragma once

#include <atomic>
#include <string>

#include "console.h"
#include "report.h"
#include "request.h"

namespace korvel::cli {

// The simulated reader's part in a command (--simulate): it swipes by itself.
class Swiper {
 public:
  virtual ~Swiper() = default;
  // Swipes one sample card now (--card's, else the first); returns what it
  // swiped, for people ("visa: Visa test card").
  virtual std::string SwipeOnce() = 0;
  // From now until StopSwiping, swipes a sample card now and then every
  // second: --card's each time, else each in turn.
  virtual void StartSwiping() = 0;
  virtual void StopSwiping() = 0;
};

// Where a command's output goes: for people, text on standard output (`out`)
// and notes and errors on standard error (`err`); with --json, one object a
// line on `out` (and the error in words on `err`).  Written unbuffered, waiting for room as long as it takes
// until `stop` is set (a signal arrived); after that a write waits at most
// kSignalGraceMs, and a stream that cannot take it is given up (nothing more
// is written to it), so that a full pipe never holds the program after a
// signal.
class Output {
 public:
  Output(const Request& request, const std::atomic<bool>& stop)
      : request_(request), out_{console::Stream::kOut}, err_{console::Stream::kErr}, stop_(stop) {}
  // A note for people on `err` (nothing with --json).
  void Note(const std::string& text);
  // A line of the probe's conversation for people on `out` (nothing with --json).
  void Say(const std::string& text);
  // A swipe that watch saw.  False when `out` took not all of it.
  bool SwipeSeen(const Result& context, const Swipe& swipe);
  // True once `out` can no longer be written: a pipe whose reader has gone,
  // or a stream given up after a signal.
  bool Closed() const;
  // The command's result.  False when `out` did not take all of it (or any
  // earlier output).
  bool Finish(const Result& result);

  // How long a write waits for room once a signal arrived.
  static constexpr int kSignalGraceMs = 1000;

 private:
  struct Stream {
    console::Stream stream;
    bool failed = false;  // a write failed: a pipe without a reader, given up after a signal
  };
  bool Write(Stream& stream, const std::string& text);

  const Request& request_;
  Stream out_, err_;
  const std::atomic<bool>& stop_;
};

// Runs `request` on `port` (the simulated reader's port with --simulate).
// `swiper` is the simulated reader, null for a real one.  `stop` is set by a
// signal handler: watch and probe end their waits for a swipe on it within a
// few hundred milliseconds, and restore the reader's mode.
Result Run(const Request& request, const std::string& port, Swiper* swiper, Output& output,
           const std::atomic<bool>& stop);

// How long one wait for a swipe lasts before `stop` is looked at again.
inline constexpr uint32_t kWaitSliceMs = 250;

}  // namespace korvel::cli
