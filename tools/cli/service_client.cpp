// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "service_client.h"

#include "service_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "exit_codes.h"
#include "korvel/clock.h"
#include "report.h"
#include "request.h"

namespace korvel::cli {

namespace {

constexpr const char* kSystemSocket = "/run/korvel/korveld.sock";

const char kHelp[] =
    "Usage: korvel service [--socket PATH] [--json] COMMAND [ARGS]\n"
    "\n"
    "Uses the readers korveld, the reader service, serves:\n"
    "  readers                   list the readers with their state, port and counters\n"
    "  watch [NAME...]           print each swipe of the readers named (all when none)\n"
    "                            as it arrives; --count N, --timeout S, --reveal\n"
    "  info NAME                 the reader's mode and identification text\n"
    "  mode NAME [active|command]  query the mode, or set it (claims the reader meanwhile)\n"
    "  read NAME                 the card data the reader holds (command mode); --reveal\n"
    "  sentinels NAME            the track settings the reader's swipes are decoded with\n"
    "\n"
    "  --socket PATH  the service's socket (default $KORVELD_SOCKET, else\n"
    "                 /run/korvel/korveld.sock, else $XDG_RUNTIME_DIR/korveld.sock)\n"
    "  --json         one JSON object a line: the service's own objects\n"
    "  --reveal       card data in full (the service grants it to reveal_groups only)\n";

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string Text(const Json& json) {
  if (json.is_string()) return json.get<std::string>();
  if (json.is_null()) return "-";
  return json.dump();
}

// The exit code for a failed result of the service: its error names are the
// exit codes' names where the reader itself failed.
Exit ExitOfError(const Json& result) {
  const std::string error = result.value("error", "");
  for (const ExitInfo& info : kExitCodes)
    if (error == info.name) return info.exit;
  if (error == "unknown_reader" || error == "bad_argument") return Exit::kUsage;
  return Exit::kFailure;
}

// A swipe for people: the heading ("Swipe 3 on lane1"), the byte count, the
// card's main fields (masked unless revealed) and the checks' count.
std::string SwipeLine(const Json& swipe, std::string text) {
  if (swipe.contains("follows")) text += " (bytes after swipe " + Text(swipe["follows"]) + ")";
  if (swipe["ok"] != true) return text + ": " + Text(swipe["reason"]) + "\n";
  text += ": " + Text(swipe["bytes"]) + " bytes\n";
  const Json& card = swipe["card"];
  if (!card.is_object()) return text;
  for (const char* field : {"account", "name", "expiration", "service_code"})
    if (!card[field].is_null()) {
      char head[32];
      std::snprintf(head, sizeof head, "  %-14s ", field);
      text += head + Text(card[field]) + "\n";
    }
  text += "  checks         " + Text(card["checks_passed"]) + " passed, " + Text(card["checks_failed"]) +
          " failed\n";
  return text;
}

}  // namespace

const bool kHaveService = true;

std::string ServiceSocket(const std::string& given) {
  if (!given.empty()) return given;
  const char* variable = std::getenv("KORVELD_SOCKET");
  if (variable != nullptr && variable[0] == '/') return variable;
  if (Exists(kSystemSocket)) return kSystemSocket;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    const std::string user = std::string(runtime) + "/korveld.sock";
    if (Exists(user)) return user;
  }
  return kSystemSocket;
}

std::optional<std::string> ServedAs(const std::string& port) {
  Connection connection;
  std::string error;
  if (!connection.Connect(ServiceSocket(""), &error)) return std::nullopt;
  const Json result = connection.Ask({{"request", "readers"}}, MonotonicMs() + 1000);
  if (result.is_null() || !result["readers"].is_array()) return std::nullopt;
  char wanted[PATH_MAX];
  const std::string device = realpath(port.c_str(), wanted) != nullptr ? wanted : port;
  for (const Json& reader : result["readers"]) {
    const std::string served = reader.value("port", "");
    char real[PATH_MAX];
    if (served == port || (realpath(served.c_str(), real) != nullptr && device == real))
      return reader.value("name", "");
  }
  return std::nullopt;
}

int RunService(const std::vector<std::string>& args, FILE* out, FILE* err, const std::atomic<bool>& stop) {
  std::string socket;
  bool json = false, reveal = false;
  int count = 0;
  int64_t timeout_ms = -1;
  std::vector<std::string> words;
  auto usage = [&](const std::string& message) {
    std::fprintf(err, "korvel: service: %s\nRun 'korvel service --help' for its commands.\n",
                 message.c_str());
    if (json) std::fprintf(out, "%s\n", JsonLine(UsageErrorJson("service", message)).c_str());
    return CodeOf(Exit::kUsage);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, out);
      return 0;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--reveal") {
      reveal = true;
    } else if (a == "--socket") {
      if (!has_value) return usage("--socket needs a path");
      socket = args[++i];
    } else if (a == "--count") {
      char* end = nullptr;
      const long n = has_value ? std::strtol(args[i + 1].c_str(), &end, 10) : 0;
      if (!has_value || *end != '\0' || n < 1 || n > 1000000)
        return usage("--count needs a number of swipes (1 or more)");
      count = static_cast<int>(n);
      ++i;
    } else if (a == "--timeout") {
      const auto ms = has_value ? ParseSeconds(args[i + 1]) : std::nullopt;
      if (!ms) return usage("--timeout needs a number of seconds (e.g. 30, 0.5)");
      timeout_ms = *ms;
      ++i;
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option '" + a + "'");
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return usage("name a command: readers, watch, info, mode, read or sentinels");
  const std::string command = words[0];
  const std::vector<std::string> names(words.begin() + 1, words.end());
  const bool one_reader = command == "info" || command == "read" || command == "sentinels";
  if (command != "readers" && command != "watch" && !one_reader && command != "mode")
    return usage("unknown command '" + command + "'");
  if (command == "readers" && !names.empty()) return usage("readers takes no names");
  if (one_reader && names.size() != 1) return usage(command + " takes one reader name");
  if (command == "mode" && (names.empty() || names.size() > 2 ||
                            (names.size() == 2 && names[1] != "active" && names[1] != "command")))
    return usage("mode takes a reader name and, to set it, active or command");
  if ((count > 0 || timeout_ms >= 0) && command != "watch")
    return usage("--count and --timeout are for watch");

  if (reveal && (command == "watch" || command == "read"))
    std::fprintf(err,
                 "korvel: warning: --reveal shows card data in full (account numbers, discretionary data);\n"
                 "korvel: do not keep this output in logs, files or shared terminals.\n");

  Connection connection;
  std::string error;
  if (!connection.Connect(ServiceSocket(socket), &error)) {
    std::fprintf(err, "korvel: %s\n", error.c_str());
    if (json) {
      Json result;
      result["event"] = "result";
      result["command"] = "service " + command;
      result["ok"] = false;
      result["exit_code"] = CodeOf(Exit::kFailure);
      result["error"] = InfoOf(Exit::kFailure).name;
      result["reason"] = error;
      std::fprintf(out, "%s\n", JsonLine(result).c_str());
    }
    return CodeOf(Exit::kFailure);
  }
  auto failed = [&](const Json& result) {
    if (result.is_null()) {
      std::fprintf(err, "korvel: the service closed the connection\n");
      return CodeOf(Exit::kFailure);
    }
    Json shown = result;
    shown["exit_code"] = CodeOf(ExitOfError(result));
    if (json) std::fprintf(out, "%s\n", JsonLine(shown).c_str());
    std::fprintf(err, "korvel: %s\n", Text(result["message"]).c_str());
    return CodeOf(ExitOfError(result));
  };
  auto done = [&](Json result) {
    result["exit_code"] = 0;
    if (json) std::fprintf(out, "%s\n", JsonLine(result).c_str());
    return std::fflush(out) == 0 && !std::ferror(out) ? 0 : CodeOf(Exit::kFailure);
  };

  if (command == "readers") {
    const Json result = connection.Ask({{"request", "readers"}});
    if (result.is_null() || result["ok"] != true) return failed(result);
    if (!json) {
      std::fprintf(out, "%-20s %-8s %-30s %-16s %s\n", "NAME", "STATE", "PORT", "IDENTIFICATION", "SWIPES");
      for (const Json& reader : result["readers"]) {
        std::fprintf(out, "%-20s %-8s %-30s %-16s %s\n", Text(reader["name"]).c_str(),
                     Text(reader["state"]).c_str(), Text(reader["port"]).c_str(),
                     Text(reader["identification"]).c_str(), Text(reader["swipes"]).c_str());
        if (!reader["reason"].is_null()) std::fprintf(out, "  %s\n", Text(reader["reason"]).c_str());
      }
    }
    return done(result);
  }

  if (command == "watch") {
    Json request = {{"request", "subscribe"}, {"reveal", reveal}};
    if (!names.empty()) request["readers"] = names;
    const Json result = connection.Ask(request);
    if (result.is_null() || result["ok"] != true) return failed(result);
    const int64_t deadline = timeout_ms >= 0 ? MonotonicMs() + timeout_ms : -1;
    int swipes = 0;
    bool ended = false;
    while (count == 0 || swipes < count) {
      const Json event = connection.Next(deadline, &stop, &ended);
      if (event.is_null()) break;
      const std::string kind = event.value("event", "");
      if (kind == "swipe") {
        ++swipes;
        std::fputs(
            json ? (JsonLine(event) + "\n").c_str()
                 : SwipeLine(event, "Swipe " + Text(event["seq"]) + " on " + Text(event["reader"])).c_str(),
            out);
      } else if (kind == "reader" && !json) {
        std::fprintf(out, "%s is %s%s\n", Text(event["reader"]).c_str(), Text(event["state"]).c_str(),
                     event["reason"].is_null() ? "" : (" (" + Text(event["reason"]) + ")").c_str());
      } else if (kind == "dropped" && !json) {
        std::fprintf(out, "(%s events lost: this program fell behind)\n", Text(event["count"]).c_str());
      } else if ((kind == "claimed" || kind == "released") && !json) {
        std::fprintf(out, "%s is %s\n", Text(event["reader"]).c_str(),
                     kind == "claimed" ? "claimed by another program: its swipes go there" : "released");
      } else if (json && kind != "result") {
        std::fputs((JsonLine(event) + "\n").c_str(), out);
      }
      std::fflush(out);
      if (std::ferror(out)) return CodeOf(Exit::kFailure);
    }
    Exit exit = Exit::kOk;
    if (stop.load())
      exit = Exit::kInterrupted;
    else if (ended)
      exit = Exit::kFailure;
    else if (count > 0 && swipes < count)
      exit = Exit::kTimeout;
    else if (count == 0 && swipes == 0 && timeout_ms >= 0)
      exit = Exit::kTimeout;
    if (ended) std::fprintf(err, "korvel: the service closed the connection\n");
    if (json) {
      Json end;
      end["event"] = "result";
      end["command"] = "service watch";
      end["ok"] = exit == Exit::kOk;
      end["exit_code"] = CodeOf(exit);
      end["error"] = exit == Exit::kOk ? Json(nullptr) : Json(InfoOf(exit).name);
      end["swipes"] = swipes;
      end["interrupted"] = exit == Exit::kInterrupted;
      std::fprintf(out, "%s\n", JsonLine(end).c_str());
    }
    return CodeOf(exit);
  }

  const std::string& name = names[0];
  if (command == "mode" && names.size() == 2) {
    const Json claim = connection.Ask({{"request", "claim"}, {"reader", name}});
    if (claim.is_null() || claim["ok"] != true) return failed(claim);
    const Json result = connection.Ask({{"request", "mode"}, {"reader", name}, {"mode", names[1]}});
    // The claim ends with the connection; the service then sets the reader up again.
    if (result.is_null() || result["ok"] != true) return failed(result);
    if (!json)
      std::fprintf(out, "Mode:           %s (set; the service sets it up again when released)\n",
                   Text(result["mode"]).c_str());
    return done(result);
  }
  Json request = {{"request", command}, {"reader", name}};
  if (command == "read") request["reveal"] = reveal;
  const Json result = connection.Ask(request);
  if (result.is_null() || result["ok"] != true) return failed(result);
  if (!json) {
    if (result.contains("mode")) std::fprintf(out, "Mode:           %s\n", Text(result["mode"]).c_str());
    if (result.contains("identification"))
      std::fprintf(out, "Identification: %s\n", Text(result["identification"]).c_str());
    if (result.contains("record")) std::fprintf(out, "Track settings: %s\n", Text(result["record"]).c_str());
    if (command == "read") {
      std::fputs(SwipeLine(result, "Card data on " + name).c_str(), out);
    }
  }
  return done(result);
}

}  // namespace korvel::cli
