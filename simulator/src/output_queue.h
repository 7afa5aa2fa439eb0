/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// korvel-sim's output: lines handed over without ever blocking, written to a
// descriptor by a thread of their own.  A reader that stops reading (a pipe
// nobody empties) fills a bounded queue; lines that do not fit are dropped
// and counted, and once there is room again a line says how many.  The
// simulated reader and the command loop never wait for the output.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <thread>

namespace korvel::sim {

class OutputQueue {
 public:
  // Writes to `fd` (which stays open); holds at most `max_lines` lines and
  // `max_bytes` bytes waiting.  The writer starts at once.
  OutputQueue(int fd, size_t max_lines, size_t max_bytes);
  ~OutputQueue();  // Finish(0) unless Finish was called
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // Queues one line (the newline is added); drops it when the queue is full
  // or the descriptor takes nothing any more.  Any thread; never waits for
  // the descriptor.
  void Line(std::string line);

  // Lets the writer write what is queued for at most `wait_ms`, then stops
  // it; lines queued later are dropped.  True when everything was written.
  // A writer stuck in a write that does not return (a stopped terminal) is
  // left to the end of the process; it holds nothing of this object's.
  bool Finish(int wait_ms);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;  // also held by the writer
  std::thread writer_;
};

}  // namespace korvel::sim
