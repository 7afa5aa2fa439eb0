// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "telnet.h"

#include <algorithm>

namespace korvel::telnet {

void AppendData(const uint8_t* bytes, size_t count, std::vector<uint8_t>* out) {
  for (size_t i = 0; i < count; ++i) {
    out->push_back(bytes[i]);
    if (bytes[i] == kIac) out->push_back(kIac);
  }
}

void AppendNegotiation(uint8_t verb, uint8_t option, std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, verb, option});
}

void AppendComPortCommand(uint8_t command, const std::vector<uint8_t>& value, std::vector<uint8_t>* out) {
  out->insert(out->end(), {kIac, kSb, kOptionComPort, command});
  AppendData(value.data(), value.size(), out);
  out->insert(out->end(), {kIac, kSe});
}

size_t UnitEnd(const std::vector<uint8_t>& wire, size_t at) {
  size_t i = 0;
  while (i < at && i < wire.size()) {
    if (wire[i] != kIac || i + 1 >= wire.size()) {
      ++i;
    } else if (wire[i + 1] >= kWill && wire[i + 1] <= kDont) {
      i += 3;
    } else if (wire[i + 1] != kSb) {
      i += 2;  // a doubled 0xFF, or a command of two bytes
    } else {
      i += 3;  // IAC SB option, then the value up to IAC SE
      while (i < wire.size() && !(wire[i] == kIac && i + 1 < wire.size() && wire[i + 1] == kSe))
        i += wire[i] == kIac ? 2 : 1;
      i += 2;
    }
  }
  return std::min(i, wire.size());
}

// ---------------------------------------------------------------------------
// Decoder

void Decoder::Emit(size_t at, std::vector<Command>* commands) {
  pending_.at = at;
  commands->push_back(std::move(pending_));
  pending_ = {};
  state_ = State::kData;
}

void Decoder::Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data,
                   std::vector<Command>* commands) {
  const size_t base = data->size();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t b = bytes[i];
    switch (state_) {
      case State::kData:
        if (b == kIac)
          state_ = State::kIac;
        else
          data->push_back(b);
        break;
      case State::kSbIac:
        if (b == kIac) {  // a doubled 0xFF inside the value
          if (pending_.value.size() < kMaxSubnegotiation) pending_.value.push_back(b);
          state_ = State::kSbValue;
          break;
        }
        // SE ends the subnegotiation; any other command ends it as well and
        // is then taken as a command of its own.
        Emit(data->size() - base, commands);
        if (b == kSe) break;
        [[fallthrough]];
      case State::kIac:
        if (b == kIac) {
          data->push_back(kIac);
          state_ = State::kData;
        } else if (b >= kWill && b <= kDont) {
          pending_.verb = b;
          state_ = State::kOption;
        } else if (b == kSb) {
          pending_.verb = b;
          state_ = State::kSbOption;
        } else {
          pending_.verb = b;
          Emit(data->size() - base, commands);
        }
        break;
      case State::kOption:
        pending_.option = b;
        Emit(data->size() - base, commands);
        break;
      case State::kSbOption:
        pending_.option = b;
        state_ = b == kIac ? State::kSbIac : State::kSbValue;
        break;
      case State::kSbValue:
        if (b == kIac)
          state_ = State::kSbIac;
        else if (pending_.value.size() < kMaxSubnegotiation)
          pending_.value.push_back(b);
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// Client

namespace {

std::vector<uint8_t> BigEndian32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

// "the server set 4800 baud instead of 9600", and the like.
std::string Describe(uint8_t command, const std::vector<uint8_t>& asked, const std::vector<uint8_t>& got) {
  auto number = [](const std::vector<uint8_t>& v) {
    uint64_t n = 0;
    for (uint8_t b : v) n = n << 8 | b;
    return std::to_string(n);
  };
  const char* what = "";
  switch (command) {
    case kSetBaudRate: what = " baud"; break;
    case kSetDataSize: what = " data bits"; break;
    case kSetParity: what = " for the parity (1 is none)"; break;
    case kSetStopSize: what = " for the stop bits (1 is one)"; break;
    case kSetControl: what = " for the flow control (1 is none)"; break;
    default: break;
  }
  if (got.empty()) return std::string("the server answered the line setting") + what + " without a value";
  return "the server set " + number(got) + what + " when asked for " + number(asked);
}

}  // namespace

Client::Client() {
  std::fill(std::begin(us_), std::end(us_), Q::kNo);
  std::fill(std::begin(him_), std::end(him_), Q::kNo);
}

bool Client::WantLocal(uint8_t option) {
  return option == kOptionComPort || option == kOptionBinary || option == kOptionSuppressGoAhead;
}

bool Client::WantRemote(uint8_t option) {
  return option == kOptionBinary || option == kOptionSuppressGoAhead;
}

std::vector<uint8_t> Client::Start() {
  std::vector<uint8_t> out;
  AppendNegotiation(kWill, kOptionComPort, &out);
  AppendNegotiation(kWill, kOptionBinary, &out);
  AppendNegotiation(kDo, kOptionBinary, &out);
  us_[kOptionComPort] = Q::kWantYes;
  us_[kOptionBinary] = Q::kWantYes;
  him_[kOptionBinary] = Q::kWantYes;
  return out;
}

std::vector<uint8_t> Client::ConfigureLine(uint32_t baud) {
  std::vector<uint8_t> out = Purge(kPurgeBoth);
  settings_ = {{kSetBaudRate, BigEndian32(baud)},
               {kSetDataSize, {kDataSize8}},
               {kSetParity, {kParityNone}},
               {kSetStopSize, {kStopSize1}},
               {kSetControl, {kControlNoFlow}}};
  refusal_.clear();
  for (const Setting& s : settings_) AppendComPortCommand(s.command, s.asked, &out);
  // As a local open raises them.  Not awaited: servers in front of a
  // pseudo-terminal, and many adapters, never confirm modem control.
  AppendComPortCommand(kSetControl, {kControlDtrOn}, &out);
  AppendComPortCommand(kSetControl, {kControlRtsOn}, &out);
  return out;
}

std::vector<uint8_t> Client::Purge(uint8_t what) {
  std::vector<uint8_t> out;
  AppendComPortCommand(kPurgeData, {what}, &out);
  if ((what & kPurgeReceive) != 0 && confirms_purges_) ++awaited_purges_;
  return out;
}

Client::Progress Client::com_port() const {
  switch (us_[kOptionComPort]) {
    case Q::kYes: return Progress::kDone;
    case Q::kWantYes: return Progress::kPending;
    default: return Progress::kRefused;
  }
}

Client::Progress Client::line() const {
  if (!refusal_.empty()) return Progress::kRefused;
  if (settings_.empty()) return Progress::kPending;
  for (const Setting& s : settings_)
    if (!s.confirmed) return Progress::kPending;
  return Progress::kDone;
}

void Client::Receive(const uint8_t* bytes, size_t count, std::vector<uint8_t>* data,
                     std::vector<uint8_t>* answer) {
  decoded_.clear();
  commands_.clear();
  decoder_.Feed(bytes, count, &decoded_, &commands_);
  // Data and commands in the order they came: a purge confirmation ends the
  // dropping of the data before it, not of the data after it.
  size_t from = 0;
  auto deliver = [&](size_t to) {
    if (awaited_purges_ == 0) data->insert(data->end(), decoded_.begin() + from, decoded_.begin() + to);
    from = to;
  };
  for (const Command& c : commands_) {
    deliver(c.at);
    Handle(c, answer);
  }
  deliver(decoded_.size());
}

void Client::Handle(const Command& c, std::vector<uint8_t>* answer) {
  switch (c.verb) {
    case kDo: {
      Q& q = us_[c.option];
      if (q == Q::kNo) {
        const bool want = WantLocal(c.option);
        q = want ? Q::kYes : Q::kRefused;
        AppendNegotiation(want ? kWill : kWont, c.option, answer);
      } else if (q == Q::kWantYes) {
        q = Q::kYes;
      }
      break;
    }
    case kDont: {
      Q& q = us_[c.option];
      if (q == Q::kYes) AppendNegotiation(kWont, c.option, answer);
      if (q != Q::kRefused) q = Q::kNo;
      break;
    }
    case kWill: {
      Q& q = him_[c.option];
      if (q == Q::kNo) {
        const bool want = WantRemote(c.option);
        q = want ? Q::kYes : Q::kRefused;
        AppendNegotiation(want ? kDo : kDont, c.option, answer);
      } else if (q == Q::kWantYes) {
        q = Q::kYes;
      }
      break;
    }
    case kWont: {
      Q& q = him_[c.option];
      if (q == Q::kYes) AppendNegotiation(kDont, c.option, answer);
      if (q != Q::kRefused) q = Q::kNo;
      break;
    }
    case kSb:
      if (c.option == kOptionComPort && !c.value.empty()) HandleComPort(c.value);
      break;
    default: break;  // NOP, go-ahead, data mark, ...: nothing to do
  }
}

void Client::HandleComPort(const std::vector<uint8_t>& value) {
  if (value[0] < kServerCode) return;  // a request of the server's: none is answered
  const uint8_t command = static_cast<uint8_t>(value[0] - kServerCode);
  const std::vector<uint8_t> got(value.begin() + 1, value.end());
  if (command == kPurgeData) {
    confirms_purges_ = true;
    if (!got.empty() && (got[0] & kPurgeReceive) != 0 && awaited_purges_ > 0) --awaited_purges_;
    return;
  }
  // The answers to modem control and break commands share the code of the
  // flow control setting; only flow control values (0 to 3) answer it.
  if (command == kSetControl && (got.size() != 1 || got[0] > 3)) return;
  for (Setting& s : settings_) {
    if (s.command != command || s.confirmed) continue;
    if (got == s.asked)
      s.confirmed = true;
    else if (refusal_.empty())
      refusal_ = Describe(command, s.asked, got);
    return;
  }
}

}  // namespace korvel::telnet
