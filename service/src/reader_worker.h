/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// One served reader: a thread of its own around the library's blocking
// calls.  It opens the port, finds the reader's mode, sends the track
// settings, sets active mode and waits for swipes; it runs the clients'
// commands between waits (a command ends a pending wait at once); it opens
// the port again when the reader comes back; on stop it puts the reader back
// in the mode it found it in.  It tells the loop what happens through a Sink,
// whose calls must not block.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "protocol.h"
#include "reader_state.h"

namespace korvel::service {

// What a worker reports.  Called on the worker's thread.
class ReaderSink {
 public:
  virtual ~ReaderSink() = default;
  struct StateReport {
    std::string reader;
    uint64_t generation = 0;
    ReaderState state = ReaderState::kOpening;
    std::string reason;
    std::string identification;  // ready: the reader's identification text
    int mode_found = -1;         // ready: the mode byte found at open
  };
  virtual void ReaderChanged(StateReport report) = 0;
  virtual void Swiped(uint64_t generation, SwipeRecord swipe) = 0;
};

class ReaderWorker {
 public:
  // A command for the reader, run on the worker's thread with the open
  // handle, or with null when the reader is not ready.  It reports its own
  // result (it must not block).
  using Job = std::function<void(void* handle, ReaderWorker& worker)>;

  ReaderWorker(ReaderSettings settings, uint64_t generation, ReaderSink* sink);
  ~ReaderWorker();  // stops and joins
  ReaderWorker(const ReaderWorker&) = delete;
  ReaderWorker& operator=(const ReaderWorker&) = delete;

  const ReaderSettings& settings() const { return settings_; }
  uint64_t generation() const { return generation_; }

  void Start();
  // Asks the thread to restore the reader's mode and end; Join waits for it.
  void RequestStop();
  void Join();
  // The device's folder changed: a reader waiting for its device tries again at once.
  void PathChanged();
  // Runs `job` between waits (ending a pending wait at once).
  void Submit(Job job);

  // For jobs, on the worker's thread: the record swipes are decoded with
  // now, and the reader's settings given back (after a claim ends).
  void UseRecord(const TrackRecord& record) { record_ = record; }
  const TrackRecord& record() const { return record_; }
  void Restore(void* handle);

 private:
  void Run();
  // Opens and sets the reader up; null when it failed (reported).
  void* Open();
  void Serve(void* handle);
  // Waits up to `ms` (-1: no limit) or until stopped, woken by a path event
  // or given work; answers jobs with null meanwhile.
  void Idle(int64_t ms);
  bool RunJobs(void* handle);
  void Report(bool changed, const std::string& identification = "", int mode_found = -1);
  bool Stopping();
  int Wait(void* handle, unsigned char* data, uint32_t* count);
  void Interrupt();

  const ReaderSettings settings_;
  const uint64_t generation_;
  ReaderSink* sink_;
  ReaderLife life_;
  TrackRecord record_;
  uint64_t seq_ = 0;
  int mode_found_ = -1;
  bool served_ = false;  // it answered like a reader at least once

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool path_changed_ = false;
  std::deque<Job> jobs_;
  void* handle_ = nullptr;  // the open handle, for Interrupt (guarded)
  TrailRule trail_;
  std::thread thread_;
};

}  // namespace korvel::service
