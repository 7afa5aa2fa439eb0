// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "reader_worker.h"

#include <chrono>

#include "korvel.h"
#include "korvel/clock.h"
#include "report.h"

namespace korvel::service {

namespace {

int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

ReaderWorker::ReaderWorker(ReaderSettings settings, uint64_t generation, ReaderSink* sink)
    : settings_(std::move(settings)),
      generation_(generation),
      sink_(sink),
      life_(IsNetworkPort(settings_.port)),
      record_(settings_.Record()) {}

ReaderWorker::~ReaderWorker() {
  RequestStop();
  Join();
}

void ReaderWorker::Start() {
  thread_ = std::thread([this] { Run(); });
}

void ReaderWorker::RequestStop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  Interrupt();
}

void ReaderWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

void ReaderWorker::PathChanged() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path_changed_ = true;
  }
  wake_.notify_all();
}

void ReaderWorker::Submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_all();
  Interrupt();
}

bool ReaderWorker::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void ReaderWorker::Interrupt() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A cancel made between two waits ends the next one: nothing is missed.
  if (handle_ != nullptr) Korvel_CancelWait(handle_);
}

int ReaderWorker::Wait(void* handle, unsigned char* data, uint32_t* count) {
  // The swipe ends as soon as it is whole by the configured tracks, else
  // after the library's quiet time.
  return Korvel_WaitSwipe(handle, data, KORVEL_WAIT_FOREVER, record_.data(), settings_.tracks, count);
}

void ReaderWorker::Report(bool changed, const std::string& identification, int mode_found) {
  if (!changed) return;
  ReaderSink::StateReport report;
  report.reader = settings_.name;
  report.generation = generation_;
  report.state = life_.state();
  report.reason = life_.reason();
  report.identification = identification;
  report.mode_found = mode_found;
  sink_->ReaderChanged(std::move(report));
}

void ReaderWorker::Idle(int64_t ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!jobs_.empty()) {
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      job(nullptr, *this);
      lock.lock();
    }
    if (stop_) return;
    if (path_changed_) {
      path_changed_ = false;
      if (life_.WakesOnPathEvent()) return;
    }
    if (ms >= 0 && std::chrono::steady_clock::now() >= until) return;
    if (ms < 0)
      wake_.wait(lock);
    else
      wake_.wait_until(lock, until);
  }
}

bool ReaderWorker::RunJobs(void* handle) {
  for (;;) {
    Job job;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return false;
      if (jobs_.empty()) return true;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job(handle, *this);
  }
}

void* ReaderWorker::Open() {
  void* handle = Korvel_CommOpenWithBaud(settings_.port.c_str(), settings_.baud);
  if (handle == nullptr) {
    Korvel_OpenError error{};
    Korvel_GetOpenError(&error);
    Report(life_.OpenFailed(error.reason,
                            error.text[0] != '\0' ? error.text : cli::OpenReasonName(error.reason)));
    return nullptr;
  }
  // The probe: a reader answers the mode query and names itself.
  unsigned char mode[KORVEL_MODE_AREA] = {};
  unsigned char text[KORVEL_VERSION_AREA] = {};
  int status = Korvel_Search(handle, mode);
  const char* step = "query_mode";
  if (status == KORVEL_OK) {
    step = "identify";
    status = Korvel_Reset(handle, text);
  }
  if (status == KORVEL_OK && settings_.record) {
    step = "set_track";
    status = Korvel_SetTrack(handle, settings_.record->data());
  }
  if (status == KORVEL_OK && mode[0] != KORVEL_MODE_ACTIVE) {
    step = "set_active";
    status = Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE);
  }
  if (status != KORVEL_OK) {
    Korvel_CommClose(handle);
    std::string reason = cli::StepWords(step) + ": " + cli::StatusReason(status);
    if (settings_.discovered && !served_) reason = "does not answer like a reader (" + reason + ")";
    Report(status == KORVEL_E_DISCONNECTED ? life_.Lost(reason) : life_.SetupFailed(reason));
    return nullptr;
  }
  mode_found_ = mode[0];
  served_ = true;
  record_ = settings_.Record();
  Report(life_.Ready(), std::string(reinterpret_cast<const char*>(text)), mode_found_);
  return handle;
}

void ReaderWorker::Restore(void* handle) {
  // A record a claim sent is taken back too: swipes are decoded with the
  // configured one (or the reader's default) again.
  const bool changed = record_ != settings_.Record();
  record_ = settings_.Record();
  if (handle == nullptr) return;
  if (settings_.record || changed) Korvel_SetTrack(handle, record_.data());
  Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE);
}

void ReaderWorker::Serve(void* handle) {
  unsigned char data[KORVEL_DATA_AREA];
  for (;;) {
    if (!RunJobs(handle)) return;
    uint32_t count = 0;
    const int status = Wait(handle, data, &count);
    if (status == KORVEL_OK || status == KORVEL_E_OVERFLOW) {
      SwipeRecord swipe;
      swipe.ended_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
      swipe.reader = settings_.name;
      swipe.seq = ++seq_;
      swipe.time = TimeText(UnixMs());
      swipe.status = status;
      if (status == KORVEL_OK) swipe.bytes.assign(data, data + count);
      const bool complete = status == KORVEL_OK && settings_.tracks != 0 &&
                            Korvel_SwipeComplete(data, count, record_.data(), settings_.tracks) == count;
      swipe.follows = trail_.Delivered(swipe.seq, complete, MonotonicMs());
      swipe.record = record_;
      swipe.today_yymm = TodayYymm();
      sink_->Swiped(generation_, std::move(swipe));
      continue;
    }
    if (status == KORVEL_E_EMPTY || status == KORVEL_E_CANCELLED) continue;
    Report(life_.Lost(status == KORVEL_E_DISCONNECTED ? "the device went away" : cli::StatusReason(status)));
    return;
  }
}

void ReaderWorker::Run() {
  while (!Stopping()) {
    void* handle = Open();
    if (handle != nullptr) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        handle_ = handle;
      }
      Serve(handle);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        handle_ = nullptr;
      }
      if (Stopping()) {
        // Back to the mode the reader was found in.
        if (mode_found_ >= 0 && mode_found_ != KORVEL_MODE_ACTIVE)
          Korvel_ReadMode(handle, static_cast<uint32_t>(mode_found_));
        Korvel_CommClose(handle);
        return;
      }
      Korvel_CommClose(handle);
    }
    // A discovered device that never answered like a reader is not asked
    // again until its path changes (it may be a modem, say).
    const bool probe_failed = settings_.discovered && !served_ && life_.state() == ReaderState::kFailed;
    Idle(probe_failed ? -1 : life_.RetryDelayMs());
  }
}

}  // namespace korvel::service
