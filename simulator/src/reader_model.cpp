// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The reader model: parses request frames, answers them, applies faults and
// queues what the reader sends with the time it is due on the line.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>

#include "korvel/rates.h"
#include "korvel_sim.h"
#include "text.h"

namespace korvel::sim {
namespace {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kYes = 'Y';
constexpr uint8_t kNo = 'N';
// LEN is one byte and counts CMD, P0 and the status byte besides the data.
constexpr size_t kMaxReplyData = 255 - 3;

uint8_t Xor(const uint8_t* bytes, size_t count) {
  uint8_t x = 0;
  for (size_t i = 0; i < count; ++i) x ^= bytes[i];
  return x;
}

const char* CommandName(uint8_t cmd) {
  switch (cmd) {
    case '0': return "set mode";
    case '1': return "query mode";
    case '2': return "identification";
    case '3': return "read card data";
    case '4': return "set rate";
    case '5': return "track settings";
    default: return "unknown command";
  }
}

const char* ModeName(uint8_t mode) {
  return mode == '0' ? "active" : "command";
}

}  // namespace

std::vector<uint8_t> BuildReply(uint8_t cmd, uint8_t p0, uint8_t status, const std::vector<uint8_t>& data) {
  const size_t n = std::min(data.size(), kMaxReplyData);
  std::vector<uint8_t> frame;
  frame.reserve(n + 7);
  frame.push_back(kStx);
  frame.push_back(static_cast<uint8_t>(3 + n));
  frame.push_back(cmd);
  frame.push_back(p0);
  frame.push_back(status);
  frame.insert(frame.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
  frame.push_back(kEtx);
  frame.push_back(Xor(frame.data(), frame.size()));
  return frame;
}

std::vector<uint8_t> BuildRequest(uint8_t cmd, const std::vector<uint8_t>& params) {
  const size_t n = std::min<size_t>(params.size(), 254);
  std::vector<uint8_t> frame;
  frame.push_back(kStx);
  frame.push_back(static_cast<uint8_t>(1 + n));
  frame.push_back(cmd);
  frame.insert(frame.end(), params.begin(), params.begin() + static_cast<std::ptrdiff_t>(n));
  frame.push_back(kEtx);
  frame.push_back(Xor(frame.data(), frame.size()));
  return frame;
}

struct ReaderModel::Impl {
  ReaderState state;
  FaultSettings fault;
  bool line_timing = false;

  std::vector<uint8_t> rx;  // bytes of a request still being assembled
  int64_t last_rx_ms = 0;

  // A byte queued for the line, with what it takes to queue it again when a
  // fault change re-times the reply that the slow fault holds back.
  struct Pending {
    double due;          // milliseconds on the model's clock
    double earliest;     // not due before this (the `due` it was queued with)
    double byte_ms;      // its time on the line (0 without line timing)
    int64_t request_ms;  // held: when the request it answers arrived
    bool held;           // part of a reply that the slow fault holds back
    uint8_t byte;
  };
  std::deque<Pending> out;  // in line order; due times never decrease
  double line_free_at = 0;  // with line timing: when the last queued byte is out
  double last_taken = 0;    // the due time of the last byte taken from the queue
  bool hangup = false;
  std::vector<std::string> notes;
  size_t notes_dropped = 0;  // the oldest notes dropped since the last TakeNotes()

  // Notes nobody collects must not pile up without end; those dropped are
  // counted, and TakeNotes() says how many.
  void Note(std::string text) {
    if (notes.size() >= kMaxNotes) {
      notes.erase(notes.begin());
      ++notes_dropped;
    }
    notes.push_back(std::move(text));
  }

  // Queues bytes for the line, due no earlier than `due` and after whatever
  // is already queued; with line timing each byte takes 10 bit times.
  // `held` marks a reply that the slow fault holds back, to the request
  // that arrived at `request_ms`.
  void Send(const std::vector<uint8_t>& bytes, double due, bool held = false, int64_t request_ms = 0) {
    const double byte_ms = line_timing ? 10000.0 / static_cast<double>(state.baud) : 0;
    for (uint8_t b : bytes) Queue({0, due, byte_ms, request_ms, held, b});
  }

  // Queues one byte: due no earlier than its `earliest`, nor before the byte
  // ahead of it, nor (with line timing) before the line is free and its own
  // bit times have passed.
  void Queue(Pending p) {
    if (p.byte_ms > 0) {
      line_free_at = std::max(p.earliest, line_free_at) + p.byte_ms;
      p.due = line_free_at;
    } else {
      p.due = out.empty() ? p.earliest : std::max(p.earliest, out.back().due);
    }
    out.push_back(p);
  }

  // A new fault meets the reply that the slow fault holds back (see Fault).
  void Retime(const FaultSettings& next, int64_t now_ms) {
    const auto count = std::count_if(out.begin(), out.end(), [](const Pending& p) { return p.held; });
    if (count == 0) return;
    const double now = static_cast<double>(now_ms);
    std::deque<Pending> queued;
    queued.swap(out);
    line_free_at = last_taken;
    for (Pending p : queued) {
      if (p.held) {
        if (next.fault == Fault::kSilent) continue;
        if (next.fault == Fault::kSlow) {
          p.earliest = std::max(static_cast<double>(p.request_ms + next.delay_ms), now);
        } else {
          p.earliest = now;
          p.held = false;
        }
      }
      Queue(p);
    }
    if (next.fault == Fault::kSilent) {
      Note("  the held reply (" + std::to_string(count) + " byte(s)) is dropped (fault: silent)");
    } else if (next.fault == Fault::kSlow) {
      Note("  the held reply is now due " + std::to_string(next.delay_ms) +
           " ms after its request (fault: slow)");
    } else {
      Note("  the held reply goes out now");
    }
  }

  enum class Check { kIncomplete, kBad, kGood };

  // Is there a whole, well-formed request at `at` (an STX)?
  Check FrameAt(size_t at) const {
    if (rx.size() - at < 2) return Check::kIncomplete;
    const size_t len = rx[at + 1];
    if (rx.size() - at < len + 4) return Check::kIncomplete;
    const uint8_t* f = rx.data() + at;
    return len >= 1 && f[2 + len] == kEtx && Xor(f, 3 + len) == f[3 + len] ? Check::kGood : Check::kBad;
  }

  void Drop(size_t count, const char* why) {
    Note("ignored " + std::to_string(count) + " byte(s) " + why);
    rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(count));
  }

  void Parse(int64_t now_ms) {
    for (;;) {
      const auto stx = std::find(rx.begin(), rx.end(), kStx);
      if (stx != rx.begin()) Drop(static_cast<size_t>(stx - rx.begin()), "outside a frame");
      if (rx.empty()) return;
      const Check check = FrameAt(0);
      if (check == Check::kBad) {
        Drop(1, "(a malformed frame: bad length, ETX or block check)");
        continue;  // look for the next STX
      }
      if (check == Check::kIncomplete) {
        // A corrupt length can announce more bytes than will ever come: a
        // whole request further on wins over the start that waits for them.
        size_t later = 1;
        while (later < rx.size() && (rx[later] != kStx || FrameAt(later) != Check::kGood)) ++later;
        if (later == rx.size()) return;  // wait for more bytes
        Drop(later, "(an unfinished frame before a whole one)");
      }
      const size_t total = static_cast<size_t>(rx[1]) + 4;
      std::vector<uint8_t> frame(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(total));
      rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(total));
      Handle(frame, now_ms);
    }
  }

  void Handle(const std::vector<uint8_t>& frame, int64_t now_ms) {
    const uint8_t cmd = frame[2];
    const std::vector<uint8_t> params(frame.begin() + 3, frame.end() - 2);
    const uint8_t p0 = params.empty() ? 0 : params[0];
    const std::string what = std::string("'") + static_cast<char>(cmd) + "' " + CommandName(cmd);

    switch (fault.fault) {
      case Fault::kSilent: Note(what + ": no reply (fault: silent)"); return;
      case Fault::kHangUp:
        Note(what + ": hanging up (fault: hangup)");
        hangup = true;
        return;
      case Fault::kRefuse:
        Note(what + ": refused with error byte " + Hex({fault.error_byte}) + " (fault: refuse)");
        Send(BuildReply(cmd, p0, kNo, {fault.error_byte}), static_cast<double>(now_ms));
        return;
      default: break;
    }

    uint32_t new_rate = 0;
    std::vector<uint8_t> reply = Execute(cmd, params, p0, what, &new_rate);

    double due = static_cast<double>(now_ms);
    const bool held = fault.fault == Fault::kSlow;
    switch (fault.fault) {
      case Fault::kSlow:
        due += fault.delay_ms;
        Note("  reply delayed by " + std::to_string(fault.delay_ms) + " ms (fault: slow)");
        break;
      case Fault::kCutShort:
        reply.resize(reply.size() > fault.cut_bytes ? reply.size() - fault.cut_bytes : 0);
        Note("  reply cut to " + std::to_string(reply.size()) + " byte(s) (fault: cut)");
        break;
      case Fault::kNoise:
        reply.insert(reply.begin(), fault.noise.begin(), fault.noise.end());
        Note("  noise " + Hex(fault.noise) + " before the reply (fault: noise)");
        break;
      default: break;
    }
    Send(reply, due, held, now_ms);
    // The reply to a rate change still goes out at the old rate.
    if (new_rate != 0) state.baud = new_rate;
  }

  std::vector<uint8_t> Refuse(uint8_t cmd, uint8_t p0, uint8_t error, const std::string& why) {
    Note(why + ": refused with error byte " + Hex({error}));
    return BuildReply(cmd, p0, kNo, {error});
  }

  std::vector<uint8_t> Execute(uint8_t cmd, const std::vector<uint8_t>& params, uint8_t p0,
                               const std::string& what, uint32_t* new_rate) {
    switch (cmd) {
      case '0':
        if (params.size() != 1 || (p0 != '0' && p0 != '1'))
          return Refuse(cmd, p0, kErrorBadParameter, what + " " + Hex(params));
        state.mode = p0;
        Note(what + ": now in " + ModeName(p0) + " mode");
        return BuildReply(cmd, p0, kYes, {});
      case '1':
        if (fault.fault == Fault::kModeByte) {
          Note(what + ": answered with " +
               (fault.mode_byte ? "mode byte " + Hex({*fault.mode_byte}) : "no data") + " (fault: mode)");
          return BuildReply(
              cmd, p0, kYes,
              fault.mode_byte ? std::vector<uint8_t>{*fault.mode_byte} : std::vector<uint8_t>{});
        }
        Note(what + ": " + ModeName(state.mode) + " mode");
        return BuildReply(cmd, p0, kYes, {state.mode});
      case '2':
        Note(what + ": \"" + state.identification + "\"");
        return BuildReply(cmd, p0, kYes, {state.identification.begin(), state.identification.end()});
      case '3':
        if (state.last_swipe.empty()) return Refuse(cmd, p0, kErrorNoCard, what + " (no card swiped yet)");
        Note(what + ": " + std::to_string(state.last_swipe.size()) + " byte(s)");
        return BuildReply(cmd, p0, kYes, state.last_swipe);
      case '4': {
        const LineRate* found = params.size() == 1 ? FindLineRateByCode(p0) : nullptr;
        if (found == nullptr) return Refuse(cmd, p0, kErrorBadParameter, what + " " + Hex(params));
        const uint32_t rate = found->baud;
        *new_rate = rate;
        Note(what + ": " + std::to_string(rate) + " baud (this reply at " + std::to_string(state.baud) +
             ", then switching)");
        return BuildReply(cmd, p0, kYes, {});
      }
      case '5':
        if (params.size() != state.track_settings.size())
          return Refuse(cmd, p0, kErrorBadParameter,
                        what + " with " + std::to_string(params.size()) + " byte(s)");
        std::copy(params.begin(), params.end(), state.track_settings.begin());
        Note(what + ": " + Hex(params) + " (Enter mark " + (params[7] == '1' ? "on" : "off") + ")");
        return BuildReply(cmd, p0, kYes, {});
      default: return Refuse(cmd, p0, kErrorUnknownCommand, what + " " + Hex({cmd}));
    }
  }

  std::vector<uint8_t> TrackBytes(const Card& card) const {
    std::vector<uint8_t> bytes;
    const std::string* tracks[3] = {&card.track1, &card.track2, &card.track3};
    const bool enter = state.track_settings[7] == '1';
    for (int i = 0; i < 3; ++i) {
      if (tracks[i]->empty()) continue;
      bytes.push_back(state.track_settings[2 * i]);
      bytes.insert(bytes.end(), tracks[i]->begin(), tracks[i]->end());
      bytes.push_back(state.track_settings[2 * i + 1]);
      if (enter) {
        bytes.push_back('\r');
        bytes.push_back('\n');
      }
    }
    return bytes;
  }
};

ReaderModel::ReaderModel(const Options& options) : impl_(std::make_shared<Impl>()) {
  impl_->state.mode = options.mode;
  impl_->state.identification = options.identification;
  impl_->state.baud = options.baud;
  impl_->line_timing = options.line_timing;
}

void ReaderModel::Receive(const uint8_t* bytes, size_t count, int64_t now_ms, uint32_t host_baud) {
  Impl& m = *impl_;
  if (count == 0) return;
  if (host_baud != 0 && host_baud != m.state.baud) {
    m.Note("ignored " + std::to_string(count) + " byte(s): host line at " +
           (FindLineRate(host_baud) ? std::to_string(host_baud) + " baud" : std::string("another rate")) +
           ", reader at " + std::to_string(m.state.baud));
    return;
  }
  if (!m.rx.empty() && now_ms - m.last_rx_ms > kInterByteTimeoutMs) {
    m.Note("dropped an incomplete request of " + std::to_string(m.rx.size()) + " byte(s)");
    m.rx.clear();
  }
  m.last_rx_ms = now_ms;
  m.rx.insert(m.rx.end(), bytes, bytes + count);
  m.Parse(now_ms);
}

void ReaderModel::Swipe(const Card& card, int64_t now_ms) {
  Impl& m = *impl_;
  std::vector<uint8_t> bytes = m.TrackBytes(card);
  m.state.last_swipe = bytes;
  if (m.state.mode != '0') {
    m.Note("swipe \"" + card.name + "\": " + std::to_string(bytes.size()) +
           " byte(s) held for read card data (command mode)");
    return;
  }
  if (m.fault.fault == Fault::kBurst) {
    std::vector<uint8_t> burst;
    burst.reserve(m.fault.burst_bytes);
    for (size_t i = 0; i < m.fault.burst_bytes; ++i)
      burst.push_back(bytes.empty() ? static_cast<uint8_t>('0' + i % 10) : bytes[i % bytes.size()]);
    bytes.swap(burst);
    m.fault.fault = Fault::kNone;
    m.Note("swipe \"" + card.name + "\": burst of " + std::to_string(bytes.size()) +
           " byte(s) (fault: burst, now cleared)");
  } else {
    m.Note("swipe \"" + card.name + "\": " + std::to_string(bytes.size()) + " byte(s) sent (active mode)");
  }
  m.Send(bytes, static_cast<double>(now_ms));
}

std::vector<uint8_t> ReaderModel::TakeOutput(int64_t now_ms) {
  std::vector<uint8_t> bytes;
  auto& out = impl_->out;
  while (!out.empty() && out.front().due <= static_cast<double>(now_ms)) {
    bytes.push_back(out.front().byte);
    impl_->last_taken = out.front().due;
    out.pop_front();
  }
  return bytes;
}

int64_t ReaderModel::NextDue() const {
  if (impl_->out.empty()) return -1;
  return static_cast<int64_t>(std::ceil(impl_->out.front().due));
}

void ReaderModel::SetFault(const FaultSettings& fault, int64_t now_ms) {
  impl_->fault = fault;
  impl_->Note("fault: " + DescribeFault(fault));
  impl_->Retime(fault, now_ms);
}

const FaultSettings& ReaderModel::fault() const {
  return impl_->fault;
}
const ReaderState& ReaderModel::state() const {
  return impl_->state;
}
std::vector<uint8_t> ReaderModel::TrackBytes(const Card& card) const {
  return impl_->TrackBytes(card);
}

bool ReaderModel::TakeHangUp() {
  const bool h = impl_->hangup;
  impl_->hangup = false;
  return h;
}

std::vector<std::string> ReaderModel::TakeNotes() {
  std::vector<std::string> notes;
  notes.swap(impl_->notes);
  if (impl_->notes_dropped != 0) {
    notes.insert(notes.begin(), std::to_string(impl_->notes_dropped) +
                                    " line(s) of output dropped: they came faster than they were taken");
    impl_->notes_dropped = 0;
  }
  return notes;
}

}  // namespace korvel::sim
