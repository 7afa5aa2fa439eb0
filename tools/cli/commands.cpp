// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "korvel/clock.h"
#include "korvel/serial_devices.h"
#include "service_client.h"

namespace korvel::cli {

namespace {

// A port opened by the library, closed when it goes out of scope.
class Handle {
 public:
  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }

  // Opens `port` at `baud`; on failure fills `result` with the library's reason.
  bool Open(const std::string& port, uint32_t baud, Result* result) {
    Close();
    handle_ = Korvel_CommOpenWithBaud(port.c_str(), baud);
    if (handle_ != nullptr) return true;
    Korvel_OpenError error{};
    Korvel_GetOpenError(&error);
    FailOpen(result, error, error.reason == KORVEL_OPEN_PERMISSION ? GroupToJoin(error.device) : "");
    if (error.reason == KORVEL_OPEN_BUSY)
      if (const auto name = ServedAs(port)) result->reason = "served by korveld as " + *name;
    return false;
  }
  void Close() {
    if (handle_ != nullptr) Korvel_CommClose(handle_);
    handle_ = nullptr;
  }
  void* get() const { return handle_; }

 private:
  void* handle_ = nullptr;
};

// Waits for a swipe until `deadline_ms` (MonotonicMs; -1: none) in slices, so
// that a signal, or standard output closing, ends the wait promptly.
// KORVEL_E_EMPTY at the deadline or when `ended` says so (then *stopped is
// true).
int WaitSwipe(void* handle, unsigned char* data, int64_t deadline_ms, const std::function<bool()>& ended,
              bool* stopped) {
  for (;;) {
    if (ended()) {
      *stopped = true;
      return KORVEL_E_EMPTY;
    }
    uint32_t slice = kWaitSliceMs;
    if (deadline_ms >= 0) {
      const int64_t left = deadline_ms - MonotonicMs();
      if (left <= 0) return KORVEL_E_EMPTY;
      slice = static_cast<uint32_t>(std::min<int64_t>(left, kWaitSliceMs));
    }
    const int status = Korvel_WaitTrack(handle, data, slice);
    if (status != KORVEL_E_EMPTY) return status;
  }
}

int64_t DeadlineOf(int64_t timeout_ms) {
  return timeout_ms >= 0 ? MonotonicMs() + timeout_ms : -1;
}

void Info(void* handle, Result* r) {
  unsigned char mode[KORVEL_MODE_AREA] = {};
  int status = Korvel_Search(handle, mode);
  if (status != KORVEL_OK) return Fail(r, "query_mode", status);
  r->mode = mode[0];
  unsigned char text[KORVEL_VERSION_AREA] = {};
  status = Korvel_Reset(handle, text);
  if (status != KORVEL_OK) return Fail(r, "identify", status);
  r->identification = reinterpret_cast<const char*>(text);
}

void Mode(void* handle, const Request& request, Result* r) {
  if (request.mode) {
    const int status = Korvel_ReadMode(handle, *request.mode);
    if (status != KORVEL_OK)
      return Fail(r, *request.mode == KORVEL_MODE_ACTIVE ? "set_active" : "set_command", status);
    r->mode = *request.mode;
    r->mode_set = true;
    return;
  }
  unsigned char mode[KORVEL_MODE_AREA] = {};
  const int status = Korvel_Search(handle, mode);
  if (status != KORVEL_OK) return Fail(r, "query_mode", status);
  r->mode = mode[0];
}

void Read(void* handle, const Request& request, Swiper* swiper, Result* r) {
  if (swiper != nullptr) r->sample_card = swiper->SwipeOnce();
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = Korvel_ReadData(handle, data);
  if (status != KORVEL_OK) return Fail(r, "read_data", status);
  r->swipe = DecodeSwipe(data, sizeof data, request.record, TodayYymm(), request.reveal);
  if (request.require_valid)
    if (const std::string invalid = InvalidReason(*r->swipe); !invalid.empty()) FailInvalid(r, invalid);
}

void Sentinels(void* handle, const Request& request, Result* r) {
  const int status = Korvel_SetTrack(handle, request.record.data());
  if (status != KORVEL_OK) return Fail(r, "set_track", status);
  r->record = request.record;
}

// Rate change: the reader answers the command at the old rate and then
// switches; the port is opened again at the new rate and asked for its mode.
// When that fails, the old rate is tried, so that the user learns where the
// reader is.
void Baud(Handle& handle, const std::string& port, const Request& request, Result* r) {
  r->new_baud = request.new_baud;
  int status = Korvel_SetCommBaud(handle.get(), request.new_baud);
  if (status != KORVEL_OK) return Fail(r, "set_rate", status);
  handle.Close();
  // A moment for the reader's line to switch after its reply.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  unsigned char mode[KORVEL_MODE_AREA] = {};
  if (!handle.Open(port, request.new_baud, r)) return;
  status = Korvel_Search(handle.get(), mode);
  if (status == KORVEL_OK) return RateChecked(r, request.baud, status, std::nullopt);
  const int new_status = status;
  std::optional<int> old_status;
  if (ExitOfStatus(new_status) != Exit::kDisconnected) {
    handle.Close();
    Result old;
    if (handle.Open(port, request.baud, &old)) old_status = Korvel_Search(handle.get(), mode);
  }
  RateChecked(r, request.baud, new_status, old_status);
}

void Probe(void* handle, const Request& request, Swiper* swiper, Output& output,
           const std::atomic<bool>& stop, Result* r) {
  auto step = [&](const char* name, int status, std::string detail = {}) {
    r->steps.push_back({name, status, std::move(detail)});
    output.Say(StepText(r->steps.back()));
    if (status != KORVEL_OK && r->exit == Exit::kOk) Fail(r, name, status);  // the first failure decides
    return status == KORVEL_OK;
  };
  unsigned char mode[KORVEL_MODE_AREA] = {};
  int status = Korvel_Search(handle, mode);
  if (status == KORVEL_OK) r->mode = mode[0];
  if (!step("query_mode", status, status == KORVEL_OK ? std::string(ModeName(mode[0])) + " mode" : ""))
    return;

  unsigned char text[KORVEL_VERSION_AREA] = {};
  status = Korvel_Reset(handle, text);
  if (status == KORVEL_OK) r->identification = reinterpret_cast<const char*>(text);
  if (!step("identify", status,
            status == KORVEL_OK
                ? "\"" + Printable(text, std::strlen(reinterpret_cast<const char*>(text))) + "\""
                : ""))
    return;

  if (!step("set_active", Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE))) return;
  if (swiper != nullptr) {
    r->sample_card = swiper->SwipeOnce();
    output.Say("    the simulated reader swipes " + r->sample_card + "\n");
  } else {
    output.Note("Swipe a card within " + SecondsText(request.timeout_ms) + "...");
  }
  unsigned char data[KORVEL_DATA_AREA] = {};
  status = WaitSwipe(
      handle, data, DeadlineOf(request.timeout_ms), [&] { return stop.load(); }, &r->interrupted);
  if (r->interrupted) {
    output.Say("Card data                   interrupted\n");
  } else if (status == KORVEL_OK) {
    r->swipe = DecodeSwipe(data, sizeof data, request.record, TodayYymm(), request.reveal);
    step("wait_swipe", status, std::to_string(r->swipe->bytes.size()) + " bytes");
    // The card under its step, indented as the simulated swipe's line is.
    std::string card;
    for (const char c : "    " + SwipeText(*r->swipe, false)) {
      card += c;
      if (c == '\n') card += "    ";
    }
    output.Say(card.substr(0, card.size() - 4));
  } else {
    step("wait_swipe", status, status == KORVEL_E_EMPTY ? "nothing swiped" : "");
    if (status == KORVEL_E_EMPTY) r->reason = "nothing was swiped within " + SecondsText(request.timeout_ms);
  }
  if (ExitOfStatus(status) == Exit::kDisconnected) return;
  step("set_command", Korvel_ReadMode(handle, KORVEL_MODE_COMMAND));
  if (r->exit == Exit::kOk && r->interrupted) {
    r->exit = Exit::kInterrupted;
    r->status.reset();
    r->reason = "interrupted by a signal; the reader is back in command mode";
  }
  if (r->exit == Exit::kOk && request.require_valid && r->swipe)
    if (const std::string invalid = InvalidReason(*r->swipe); !invalid.empty()) FailInvalid(r, invalid);
}

// Watch's start: the mode found, then active mode.  False (with `r` failed)
// when the reader did not answer or refused.
bool EnterActiveMode(void* handle, Result* r, bool* was_active) {
  unsigned char mode[KORVEL_MODE_AREA] = {};
  int status = Korvel_Search(handle, mode);
  if (status != KORVEL_OK) {
    Fail(r, "query_mode", status);
    return false;
  }
  r->mode = mode[0];
  *was_active = mode[0] == KORVEL_MODE_ACTIVE;
  if (!*was_active) {
    status = Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE);
    if (status != KORVEL_OK) {
      Fail(r, "set_active", status);
      return false;
    }
  }
  return true;
}

// What watch says when it starts: the port, the mode found, what ends it.
std::string WatchStartNote(const Request& request, const Swiper* swiper, const Result& r) {
  std::string note = "Watching " + r.port + " in active mode (found in " + ModeName(*r.mode) + " mode); ";
  note += swiper != nullptr ? "the simulated reader swipes a card every second" : "swipe cards";
  if (request.count > 0) note += ", " + std::to_string(request.count) + " to go";
  if (request.timeout_ms >= 0) note += ", for " + SecondsText(request.timeout_ms);
  return note + "; Ctrl-C stops.";
}

// The swipes, each decoded and written, until --count, --timeout, a signal,
// standard output closing or a failed wait.  Sets *timed_out when the
// timeout ended it; returns how many swipes (and over-long bursts) were seen.
int WatchSwipes(void* handle, const Request& request, Output& output, const std::atomic<bool>& stop,
                Result* r, bool* timed_out) {
  const int64_t deadline = DeadlineOf(request.timeout_ms);
  bool ended = false;
  int number = 0;
  // A reader of the output that went away (korvel watch | head -n 1) ends
  // the watch as a signal does, without waiting for the next swipe to fail.
  // When a signal arrived too (or stopped a write to a full pipe), the
  // signal wins: the watch was interrupted.
  auto output_closed = [&] {
    if (stop.load()) {
      r->interrupted = true;
      return;
    }
    r->exit = Exit::kFailure;
    r->status.reset();
    r->step = "output";
    r->reason = "standard output is closed";
  };
  for (;;) {
    unsigned char data[KORVEL_DATA_AREA] = {};
    const int status = WaitSwipe(
        handle, data, deadline, [&] { return stop.load() || output.Closed(); }, &ended);
    if (ended) {
      output_closed();
      break;
    }
    if (status == KORVEL_E_EMPTY) {
      *timed_out = true;
      break;
    }
    if (status != KORVEL_OK && status != KORVEL_E_OVERFLOW) {
      Fail(r, "wait_swipe", status);
      break;
    }
    Swipe swipe;
    if (status == KORVEL_OK) {
      swipe = DecodeSwipe(data, sizeof data, request.record, TodayYymm(), request.reveal);
      ++r->swipes;
    } else {
      swipe.status = status;  // an over-long burst, read away by the library
    }
    swipe.number = ++number;
    if (!InvalidReason(swipe).empty()) ++r->invalid_swipes;
    if (!output.SwipeSeen(*r, swipe)) {
      output_closed();
      break;
    }
    if (request.count > 0 && r->swipes >= request.count) break;
  }
  return number;
}

// Puts the reader back in the mode it was found in (unless it went away).
void RestoreMode(void* handle, bool was_active, Output& output, Result* r) {
  if (r->exit == Exit::kDisconnected) return;
  if (was_active) {
    r->restored = true;
    return;
  }
  // The mode found: command mode (a reader that answered with an unknown
  // mode byte is left in command mode, its mode at power-up).
  const int restore = Korvel_ReadMode(handle, KORVEL_MODE_COMMAND);
  r->restored = restore == KORVEL_OK;
  if (!r->restored && r->exit == Exit::kOk) Fail(r, "restore_mode", restore);
  if (!r->restored && r->exit != Exit::kOk)
    output.Note("The reader could not be put back in command mode: " + StatusReason(restore) + ".");
}

// A watch that ran to its end: interrupted, timed out short of its swipes,
// or (--require-valid) invalid swipes seen decide the exit.
void WatchOutcome(const Request& request, bool timed_out, int number, Result* r) {
  if (r->interrupted) {
    r->exit = Exit::kInterrupted;
    r->status.reset();
    r->reason = "interrupted by a signal";
  } else if (timed_out && (request.count > 0 ? r->swipes < request.count : r->swipes == 0)) {
    r->exit = Exit::kTimeout;
    r->status = KORVEL_E_EMPTY;
    r->step = "wait_swipe";
    r->reason = request.count > 0 ? std::to_string(r->swipes) + " of " + std::to_string(request.count) +
                                        " swipes within " + SecondsText(request.timeout_ms)
                                  : "nothing was swiped within " + SecondsText(request.timeout_ms);
  } else if (request.require_valid && r->invalid_swipes > 0) {
    FailInvalid(
        r, std::to_string(r->invalid_swipes) + " of " + std::to_string(number) +
               (r->invalid_swipes == 1 ? " swipes was not a valid card" : " swipes were not valid cards") +
               " (failed checks or no card data)");
  }
}

void Watch(void* handle, const Request& request, Swiper* swiper, Output& output,
           const std::atomic<bool>& stop, Result* r) {
  bool was_active = false;
  if (!EnterActiveMode(handle, r, &was_active)) return;
  output.Note(WatchStartNote(request, swiper, *r));
  if (swiper != nullptr) swiper->StartSwiping();
  bool timed_out = false;
  const int number = WatchSwipes(handle, request, output, stop, r, &timed_out);
  if (swiper != nullptr) swiper->StopSwiping();

  RestoreMode(handle, was_active, output, r);
  if (r->exit != Exit::kOk) return;
  WatchOutcome(request, timed_out, number, r);
  std::string end = std::to_string(r->swipes) + (r->swipes == 1 ? " swipe" : " swipes");
  if (r->restored)
    end += was_active ? "; the reader stays in active mode" : "; the reader is back in command mode";
  output.Note(end + ".");
}

}  // namespace

void Output::Note(const std::string& text) {
  if (!request_.json) Write(err_, text + "\n");
}

void Output::Say(const std::string& text) {
  if (!request_.json) Write(out_, text);
}

bool Output::Write(Stream& stream, const std::string& text) {
  size_t done = 0;
  int64_t give_up_at = -1;
  while (!stream.failed && done < text.size()) {
    int wait_ms = static_cast<int>(kWaitSliceMs);
    if (stop_.load()) {
      const int64_t now = MonotonicMs();
      if (give_up_at < 0) give_up_at = now + kSignalGraceMs;
      if (now >= give_up_at) {
        stream.failed = true;
        break;
      }
      wait_ms = static_cast<int>(std::min<int64_t>(give_up_at - now, wait_ms));
    }
    const long n = console::WriteSome(stream.stream, text.data() + done, text.size() - done, wait_ms);
    if (n < 0)
      stream.failed = true;  // a pipe whose reader has gone, an error
    else
      done += static_cast<size_t>(n);  // 0: no room yet, or a signal: look again
  }
  return !stream.failed;
}

bool Output::Closed() const {
  return out_.failed || console::Broken(out_.stream);
}

bool Output::SwipeSeen(const Result& context, const Swipe& swipe) {
  if (request_.json) return Write(out_, JsonLine(SwipeJson(context, swipe)) + "\n");
  return Write(out_, (swipe.number > 1 ? "\n" : "") + SwipeText(swipe, true));
}

bool Output::Finish(const Result& result) {
  const bool written = Write(out_, request_.json ? JsonLine(ResultJson(result)) + "\n" : ResultText(result));
  Write(err_, ErrorText(result));
  return written;
}

Result Run(const Request& request, const std::string& port, Swiper* swiper, Output& output,
           const std::atomic<bool>& stop) {
  Result r;
  r.command = request.command;
  r.port = port;
  r.simulated = request.simulate;
  r.baud = request.baud;
  if (request.command == Command::kPorts) {
    r.ports = FindSerialDevices();
    if (r.ports.empty() && !r.simulated) output.Note("No serial devices found.");
    return r;
  }
  Handle handle;
  if (!handle.Open(port, request.baud, &r)) return r;
  r.status = KORVEL_OK;  // until a call says otherwise
  switch (request.command) {
    case Command::kPorts: break;
    case Command::kInfo: Info(handle.get(), &r); break;
    case Command::kMode: Mode(handle.get(), request, &r); break;
    case Command::kRead: Read(handle.get(), request, swiper, &r); break;
    case Command::kSentinels: Sentinels(handle.get(), request, &r); break;
    case Command::kBaud: Baud(handle, port, request, &r); break;
    case Command::kProbe:
      output.Say("Probing " + port + " at " + std::to_string(request.baud) + " baud" +
                 (request.simulate ? " (the simulated reader)" : "") + "\n");
      Probe(handle.get(), request, swiper, output, stop, &r);
      break;
    case Command::kWatch: Watch(handle.get(), request, swiper, output, stop, &r); break;
  }
  return r;
}

}  // namespace korvel::cli
