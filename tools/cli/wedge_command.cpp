// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "wedge_command.h"

#include <algorithm>
#include <cstdlib>

#include "exit_codes.h"
#include "korvel.h"
#include "korvel/clock.h"
#include "korvel/serial_devices.h"
#include "platform_text.h"
#include "report.h"
#include "service_client.h"

namespace korvel::cli {

namespace {

// korvel wedge --help; the --service lines and the --simulate usage only
// where the build has them.
std::string WedgeHelp(const ParseContext& context) {
  std::string text = "Usage: korvel [OPTIONS] wedge PORT [OPTIONS]\n";
  if (context.have_service) text += "       korvel wedge --service NAME [--socket PATH] [OPTIONS]\n";
  if (context.have_simulator) text += "       korvel --simulate [OPTIONS] wedge [OPTIONS]\n";
  text += std::string("\n") + kWedgeDescription +
          "\n"
          "Options:\n"
          "  --template TEXT         what a swipe types (default {track2}{enter}):\n"
          "                          literal text and {account} {name} {surname}\n"
          "                          {given_name} {expiration} {service_code} {track1}\n"
          "                          {track2} {track3} {enter} {tab}; {{ and }} for braces\n"
          "  --allow-payment-data    also type a payment card's account number and\n"
          "                          discretionary data (see below)\n"
          "  --key-delay MS          milliseconds between keys (default 5, at most 1000)\n"
          "  --count N               stop after N swipes\n"
          "  --timeout SECONDS       stop after this long\n"
          "  --sentinels RECORD      the reader's track settings, for decoding (%?;?+?71)\n";
  if (context.have_service)
    text +=
        "  --service NAME          type the swipes of the reader korveld serves as NAME\n"
        "                          (the service must grant card data in full: its\n"
        "                          reveal_groups); instead of PORT\n"
        "  --socket PATH           with --service: the service's socket\n";
  text += context.have_simulator ? "  --baud RATE, --simulate, --card KEY   as for the other commands\n"
                                 : "  --baud RATE             as for the other commands\n";
  return text +
         "\n"
         "Safe by default: a payment card (its account number passes the check digit)\n"
         "is not typed when the template holds {account}, {track1}, {track2} or\n"
         "{track3}, which carry its number or discretionary data: typed keys reach\n"
         "whatever window has the focus and every program that reads keys.\n"
         "Membership, gift, ID and staff cards are typed.  A swipe that lacks a field\n"
         "the template needs, or whose track is malformed, types nothing.  " +
         kWedgeLogText;
}

// Options that take a value, the wedge's and the global ones.
bool TakesValue(const std::string& option) {
  for (const char* name : {"--baud", "--card", "--template", "--key-delay", "--count", "--timeout",
                           "--sentinels", "--service", "--socket"})
    if (option == name) return true;
  return false;
}

std::optional<int64_t> Number(const std::string& text, int64_t low, int64_t high) {
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit))
    return std::nullopt;
  const int64_t n = std::strtoll(text.c_str(), nullptr, 10);
  if (n < low || n > high) return std::nullopt;
  return n;
}

// The bytes of the swipe, the area's trailing zeros left out.
size_t Used(const unsigned char* data, size_t size) {
  while (size > 0 && data[size - 1] == 0) --size;
  return size;
}

}  // namespace

bool IsWedgeCommand(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return i + 1 < args.size() && args[i + 1] == "wedge";
    if (arg.size() > 1 && arg[0] == '-') {
      if (arg.find('=') == std::string::npos && TakesValue(arg)) ++i;
      continue;
    }
    return arg == kWedgeName;
  }
  return false;
}

WedgeParsed ParseWedgeArguments(const std::vector<std::string>& args, const ParseContext& context) {
  WedgeParsed parsed;
  WedgeRequest& r = parsed.request;
  auto usage = [&](const std::string& text) {
    parsed.kind = WedgeParsed::Kind::kUsageError;
    parsed.text = text;
    return parsed;
  };
  std::vector<std::string> positionals;
  bool command_seen = false, options_end = false;
  std::optional<std::string> card_key;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (options_end || arg.size() < 2 || arg[0] != '-') {
      if (!command_seen && arg == kWedgeName)
        command_seen = true;
      else
        positionals.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_end = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.kind = WedgeParsed::Kind::kHelp;
      parsed.text = WedgeHelp(context);
      return parsed;
    }
    std::string value;
    bool has_value = false;
    if (const size_t eq = arg.find('='); eq != std::string::npos && arg.rfind("--", 0) == 0) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_value = true;
    }
    if (TakesValue(arg)) {
      if (!has_value) {
        if (i + 1 >= args.size()) return usage(arg + ": a value is missing");
        value = args[++i];
      }
    } else if (has_value) {
      return usage(arg + " takes no value");
    }
    if (arg == "--simulate") {
      r.simulate = true;
    } else if (arg == "--allow-payment-data") {
      r.allow_payment_data = true;
    } else if (arg == "--baud") {
      const std::optional<uint32_t> rate = ParseRate(value);
      if (!rate)
        return usage("--baud: '" + value + "' is not a rate of the reader (4800, 9600, 19200, 38400)");
      r.baud = *rate;
    } else if (arg == "--card") {
      card_key = value;
    } else if (arg == "--template") {
      r.template_text = value;
    } else if (arg == "--key-delay") {
      const std::optional<int64_t> ms = Number(value, 0, wedge::kMaxKeyDelayMs);
      if (!ms)
        return usage("--key-delay: '" + value + "' is not a number of milliseconds (0 to " +
                     std::to_string(wedge::kMaxKeyDelayMs) + ")");
      r.key_delay_ms = static_cast<int>(*ms);
    } else if (arg == "--count") {
      const std::optional<int64_t> n = Number(value, 1, kMaxCount);
      if (!n)
        return usage("--count: '" + value + "' is not a number of swipes (1 to " + std::to_string(kMaxCount) +
                     ")");
      r.count = static_cast<int>(*n);
    } else if (arg == "--timeout") {
      const std::optional<int64_t> ms = ParseSeconds(value);
      if (!ms)
        return usage("--timeout: '" + value + "' is not a number of seconds above 0 and at most " +
                     std::to_string(kMaxTimeoutSeconds));
      r.timeout_ms = *ms;
    } else if (arg == "--service") {
      if (!context.have_service) return usage(std::string("--service: ") + kServiceLinuxOnly);
      if (value.empty()) return usage("--service: the reader's name is empty");
      r.service = value;
    } else if (arg == "--socket") {
      r.socket = value;
    } else if (arg == "--sentinels") {
      std::string error;
      const std::optional<TrackRecord> record = ParseRecord(value, &error);
      if (!record) return usage("--sentinels: " + error);
      r.record = *record;
    } else {
      return usage("wedge: unknown option " + arg);
    }
  }
  if (!command_seen) return usage("the command is not wedge");
  if (r.simulate && !context.have_simulator)
    return usage("--simulate: this build of korvel has no simulated reader");
  if (card_key) {
    if (!r.simulate) return usage("--card chooses the simulated reader's card: it needs --simulate");
    const auto& keys = context.sample_cards;
    const auto found = std::find(keys.begin(), keys.end(), *card_key);
    if (found == keys.end()) return usage("--card: no sample card '" + *card_key + "'");
    r.card = static_cast<size_t>(found - keys.begin());
  }
  if (!r.service.empty()) {
    if (r.simulate) return usage("--service and --simulate: give one of them");
    if (!positionals.empty()) return usage("wedge: a PORT and --service: give one of them");
  } else if (!r.socket.empty()) {
    return usage("--socket goes with --service");
  }
  if (!r.simulate && r.service.empty()) {
    if (positionals.empty()) return usage("wedge: PORT is missing (or give --service NAME or --simulate)");
    r.port = positionals.front();
    positionals.erase(positionals.begin());
  }
  if (!positionals.empty()) return usage("wedge: unexpected argument '" + positionals.front() + "'");
  std::string error;
  std::optional<wedge::Template> templ = wedge::ParseTemplate(r.template_text, &error);
  if (!templ) return usage("--template: " + error);
  r.templ = std::move(*templ);
  parsed.kind = WedgeParsed::Kind::kRun;
  return parsed;
}

bool TypeSwipe(const WedgeRequest& request, int number, int status, const uint8_t* bytes, size_t count,
               const TrackRecord& record, wedge::Typist& typist, const WedgeLog& log, std::string* error) {
  const std::string name = "swipe " + std::to_string(number);
  wedge::Plan plan;
  if (status == KORVEL_E_OVERFLOW)
    plan.refused = "the reader sent more card data than a swipe holds";
  else if (status != KORVEL_OK)
    plan.refused = StatusReason(status);
  else if (count == 0)
    plan.refused = kNoCardData;
  else
    plan = wedge::ExpandSwipe(request.templ, bytes, count, record.data(), KORVEL_CARD_NO_DATE,
                              request.allow_payment_data);
  if (!plan.refused.empty()) {
    log("korvel: " + name + " not typed: " + plan.refused);
    wedge::Notify("Card not typed", plan.refused);
    return true;
  }
  std::string why;
  if (!typist.Type(plan.actions, request.key_delay_ms, &why)) {
    *error = name + " could not be typed: " + why;
    return false;
  }
  log("korvel: " + name + " typed: " + plan.masked);
  return true;
}

int RunWedge(const WedgeRequest& request, const std::string& port, Swiper* swiper, wedge::Typist& typist,
             const WedgeLog& log, const std::atomic<bool>& stop) {
  Result r;
  r.port = port;
  auto failed = [&] {
    log(ErrorText(r).substr(0, ErrorText(r).size() - 1));
    return CodeOf(r.exit);
  };
  void* handle = Korvel_CommOpenWithBaud(port.c_str(), request.baud);
  if (handle == nullptr) {
    Korvel_OpenError error{};
    Korvel_GetOpenError(&error);
    FailOpen(&r, error, error.reason == KORVEL_OPEN_PERMISSION ? GroupToJoin(error.device) : "");
    return failed();
  }
  struct Closer {
    void* handle;
    ~Closer() { Korvel_CommClose(handle); }
  } closer{handle};

  unsigned char mode[KORVEL_MODE_AREA] = {};
  int status = Korvel_Search(handle, mode);
  if (status != KORVEL_OK) {
    Fail(&r, "query_mode", status);
    return failed();
  }
  const bool was_active = mode[0] == KORVEL_MODE_ACTIVE;
  if (!was_active && (status = Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE)) != KORVEL_OK) {
    Fail(&r, "set_active", status);
    return failed();
  }
  std::string note = "korvel: typing swipes from " + port + " into the window with the focus, template " +
                     request.template_text;
  if (request.allow_payment_data) note += ", payment data allowed";
  if (request.count > 0) note += ", " + std::to_string(request.count) + " to go";
  if (request.timeout_ms >= 0) note += ", for " + SecondsText(request.timeout_ms);
  log(note + "; Ctrl-C stops.");
  if (swiper != nullptr) swiper->StartSwiping();

  const int64_t deadline = request.timeout_ms >= 0 ? MonotonicMs() + request.timeout_ms : -1;
  int swipes = 0;
  bool timed_out = false;
  for (;;) {
    if (stop.load()) {
      r.interrupted = true;
      break;
    }
    uint32_t slice = kWaitSliceMs;
    if (deadline >= 0) {
      const int64_t left = deadline - MonotonicMs();
      if (left <= 0) {
        timed_out = true;
        break;
      }
      slice = static_cast<uint32_t>(std::min<int64_t>(left, slice));
    }
    unsigned char data[KORVEL_DATA_AREA] = {};
    status = Korvel_WaitTrack(handle, data, slice);
    if (status == KORVEL_E_EMPTY) continue;
    if (status != KORVEL_OK && status != KORVEL_E_OVERFLOW) {
      Fail(&r, "wait_swipe", status);
      break;
    }
    std::string error;
    if (!TypeSwipe(request, ++swipes, status, data, Used(data, sizeof data), request.record, typist, log,
                   &error)) {
      r.exit = Exit::kFailure;
      r.reason = error;
      break;
    }
    if (request.count > 0 && swipes >= request.count) break;
  }
  if (swiper != nullptr) swiper->StopSwiping();

  if (r.exit != Exit::kDisconnected && !was_active) {
    const int restore = Korvel_ReadMode(handle, KORVEL_MODE_COMMAND);
    if (restore != KORVEL_OK) {
      if (r.exit == Exit::kOk)
        Fail(&r, "restore_mode", restore);
      else
        log("korvel: the reader could not be put back in command mode: " + StatusReason(restore) + ".");
    }
  }
  if (r.exit != Exit::kOk) return failed();
  std::string end = "korvel: " + std::to_string(swipes) + (swipes == 1 ? " swipe" : " swipes");
  end += was_active ? "; the reader stays in active mode." : "; the reader is back in command mode.";
  log(end);
  if (r.interrupted) return CodeOf(Exit::kInterrupted);
  if (timed_out && (request.count > 0 ? swipes < request.count : swipes == 0)) {
    log("korvel: " + (request.count > 0 ? std::to_string(swipes) + " of " + std::to_string(request.count) +
                                              " swipes within " + SecondsText(request.timeout_ms)
                                        : "nothing was swiped within " + SecondsText(request.timeout_ms)));
    return CodeOf(Exit::kTimeout);
  }
  return CodeOf(Exit::kOk);
}

}  // namespace korvel::cli
