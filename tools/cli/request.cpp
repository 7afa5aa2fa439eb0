// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "request.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include "exit_codes.h"
#include "korvel.h"

namespace korvel::cli {

namespace {

// ---- The help texts: what --help prints, and what the manual pages copy ----

struct CommandHelp {
  Command command;
  const char* name;
  const char* arguments;  // after the command's name, PORT first when it takes one
  const char* summary;    // one line in the list of commands
  const char* details;    // the command's own --help
};

const CommandHelp kCommands[] = {
    {Command::kPorts, "ports", "", "list the serial devices present",
     "Lists the serial devices present, one a line: the names under\n"
     "/dev/serial/by-id with the device each points at (they stay the same\n"
     "wherever the adapter is plugged in), then /dev/ttyUSB*, /dev/ttyACM*,\n"
     "and the machine's own ports /dev/ttyS* with the comN name the library\n"
     "also opens them by.  The setup dialog lists the same devices.  Opens\n"
     "nothing.  With --simulate the simulated reader's port is listed last.\n"},
    {Command::kProbe, "probe", "PORT", "query the mode and identification, take one swipe",
     "Probes the reader: queries its mode, reads its identification text,\n"
     "switches it to active mode, waits for one swipe (--timeout, default 10 s;\n"
     "with --simulate the simulated reader swipes a sample card by itself),\n"
     "prints it decoded and puts the reader back in command mode.  Stops at\n"
     "the first step that fails; once active mode is set it always tries to\n"
     "go back to command mode, also after Ctrl-C.\n"},
    {Command::kInfo, "info", "PORT", "print the reader's mode and identification text",
     "Prints the reader's mode (active or command) and its identification\n"
     "text.\n"},
    {Command::kMode, "mode", "PORT [active|command]", "query or set the reader's mode",
     "With active or command, sets the reader's mode; alone, queries it.  In\n"
     "active mode the reader sends each swipe by itself (see watch); in command\n"
     "mode it keeps the last swipe until asked for it (see read).\n"},
    {Command::kRead, "read", "PORT", "read the last swipe the reader holds, decoded",
     "Asks the reader for the card data it holds (its last swipe, in either\n"
     "mode) and prints it decoded.  A reader that holds no swipe yet refuses\n"
     "(exit 5).  With --simulate the simulated reader first swipes a sample card\n"
     "by itself: the one --card names, else the first (visa).\n"},
    {Command::kWatch, "watch", "PORT", "print each swipe as it arrives (active mode)",
     "Puts the reader in active mode and prints each swipe, decoded, as it\n"
     "arrives, until Ctrl-C (or SIGTERM, SIGHUP), --count swipes or --timeout\n"
     "seconds.  On the way out, interrupted or not, the reader is put back in\n"
     "the mode it was found in.  With --simulate the simulated reader swipes\n"
     "its sample cards by itself, one a second, in turn (or --card's card each\n"
     "time).\n"},
    {Command::kSentinels, "sentinels", "PORT", "send the track output settings (sentinels, Enter mark)",
     "Sends the track output settings record: the start and end sentinel of\n"
     "each track and the Enter mark (CR LF after each track).  What no option\n"
     "sets is the default: % ? ; ? + ?, Enter mark on.  The reader keeps the\n"
     "record; give the same sentinel options to read, watch and probe so that\n"
     "they decode what it sends.\n"},
    {Command::kBaud, "baud", "PORT RATE", "change the reader's line rate, safely",
     "Tells the reader to change its line rate to RATE (4800, 9600, 19200 or\n"
     "38400), opens the port again at RATE and checks with a mode query that\n"
     "the reader answers there.  If it does not, checks whether it still\n"
     "answers at the old rate (--baud) and says which rate it answers on\n"
     "(exit 4).  From then on, reach the reader with --baud RATE.\n"},
};

const CommandHelp* FindHelp(const std::string& name) {
  for (const CommandHelp& help : kCommands)
    if (name == help.name) return &help;
  return nullptr;
}

const char kDescription[] =
    "Talks to the magnetic-stripe card reader on a serial port through the\n"
    "korvel library: lists the ports, probes the reader, queries and sets its\n"
    "mode, reads and watches swipes (decoded and checked, the account number\n"
    "masked), sets its sentinels and changes its line rate.\n";

const char kPortText[] =
    "PORT is any name the library opens: com1, com2, ... (/dev/ttyS0, ...), a\n"
    "device path (/dev/ttyUSB0, /dev/serial/by-id/...), or a reader on another\n"
    "machine behind a port server: rfc2217://HOST:PORT or tcp://HOST:PORT\n"
    "(card data crosses the network in the clear: keep it on a trusted network\n"
    "or a tunnel).  With --simulate there is no PORT: the command talks to a\n"
    "simulated reader that korvel starts in its own process, e.g.\n"
    "korvel --simulate probe.  Options may come before or after the command.\n";

const char kCardText[] =
    "Card data: read, watch and probe show the tracks found, the card's fields\n"
    "and every check with its result and reason.  The account number shows at\n"
    "most its first six and last four digits and discretionary data is\n"
    "starred, unless --reveal is given.  Nothing else ever shows card data.\n";

const char kJsonText[] =
    "JSON (--json): one object per line on standard output.  Every command\n"
    "ends with a result object: \"event\": \"result\", \"command\", \"port\",\n"
    "\"simulated\", \"baud\", \"ok\", \"exit_code\", \"error\" (the exit code's name,\n"
    "null on success), \"status\" and \"status_text\" (the library's status of\n"
    "the call that decided the outcome; null when no call gave one), \"reason\"\n"
    "(words, null on success), \"step\" (the call that failed), then the\n"
    "command's own fields.  watch writes an \"event\": \"swipe\" object for\n"
    "each swipe before it.  A card is an object with its fields, \"tracks\"\n"
    "(\"track1\" to \"track3\") and \"checks\" keyed by the checks' stable names\n"
    "(\"account_check_digit\", ...).  The README lists every field.\n";

const char kSubFooter[] =
    "Global options (before or after the command): --baud RATE, --simulate,\n"
    "--card KEY, --json, --reveal.  korvel --help explains them, the output and\n"
    "the exit codes.\n";

const char kSentinelNote[] =
    "The decoder finds the tracks by the sentinels the reader was given (by\n"
    "korvel sentinels or the dialog): when they are not the defaults\n"
    "% ? ; ? + ?, give them here with the same options.\n";

// The usage lines of the program or of one command.
std::string UsageLines(const CommandHelp* help) {
  if (help == nullptr)
    return "Usage: korvel [OPTIONS] COMMAND [ARGUMENTS]\n"
           "       korvel --simulate [OPTIONS] COMMAND [ARGUMENTS]\n";
  std::string arguments = help->arguments;
  std::string usage = "Usage: korvel [OPTIONS] " + std::string(help->name);
  if (!arguments.empty()) usage += " " + arguments;
  if (arguments.rfind("PORT", 0) != 0) return usage + "\n";
  std::string without_port = arguments.substr(4);
  return usage + "\n       korvel --simulate [OPTIONS] " + help->name + without_port + "\n";
}

class HelpFormatter : public CLI::Formatter {
 public:
  HelpFormatter() { column_width(26); }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    const CommandHelp* help = app->get_parent() != nullptr ? FindHelp(app->get_name()) : nullptr;
    std::ostringstream out;
    out << UsageLines(help) << "\n" << (help != nullptr ? help->details : kDescription);
    for (const std::string& group : app->get_groups()) {
      const std::vector<const CLI::Option*> options = app->get_options(
          [&](const CLI::Option* option) { return option->get_group() == group && option->nonpositional(); });
      if (!group.empty() && !options.empty()) out << make_group(group, false, options);
    }
    if (help == nullptr) {
      out << "\nCommands:\n";
      for (const CommandHelp& command : kCommands) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-24s%s\n", command.name, command.summary);
        out << line;
      }
      out << "\n"
          << kPortText << "\n"
          << kCardText << "\n"
          << kJsonText << "\nExit codes:\n"
          << ExitCodeTable();
    } else {
      if (help->command == Command::kRead || help->command == Command::kWatch ||
          help->command == Command::kProbe)
        out << "\n" << kSentinelNote;
      out << "\n" << kSubFooter;
    }
    return out.str();
  }
};

// The width of an option's description in the help.
constexpr size_t kOptionTextWidth = 52;

// `text` broken into lines of at most `width` at its spaces.
std::string Wrap(const std::string& text, size_t width) {
  std::string wrapped, line;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      wrapped += line + "\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return wrapped + line;
}

// ---- Reading the values -----------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsMode(const std::string& word, uint8_t* mode) {
  if (word == "active")
    *mode = KORVEL_MODE_ACTIVE;
  else if (word == "command")
    *mode = KORVEL_MODE_COMMAND;
  else
    return false;
  return true;
}

// The option values the sentinel options write, shared by the commands
// that take them (only one command is ever parsed).
struct SentinelOptions {
  std::string record;
  std::array<std::string, 6> sentinels;
  std::array<CLI::Option*, 6> given{};
  bool no_enter_mark = false;
};

const char* const kSentinelNames[6] = {"--t1-start", "--t1-end",   "--t2-start",
                                       "--t2-end",   "--t3-start", "--t3-end"};

void AddSentinelOptions(CLI::App* sub, SentinelOptions* options, CLI::Option** record_given) {
  const char* group = "Sentinel options (C: one character, 0xHH, or none)";
  *record_given = sub->add_option("--sentinels", options->record,
                                  "the six sentinels in the record's order (track 1\n"
                                  "start, end, track 2 start, end, track 3 start,\n"
                                  "end): '%?;?+?', or the whole eight-byte record\n"
                                  "'%?;?+?71' (then '7' and the Enter mark 1 or 0)")
                      ->option_text("RECORD")
                      ->group(group);
  const char* what[6] = {"track 1 start sentinel", "track 1 end sentinel",   "track 2 start sentinel",
                         "track 2 end sentinel",   "track 3 start sentinel", "track 3 end sentinel"};
  for (size_t i = 0; i < 6; ++i)
    options->given[i] =
        sub->add_option(kSentinelNames[i], options->sentinels[i], what[i])->option_text("C")->group(group);
  sub->add_flag("--no-enter-mark", options->no_enter_mark, "the reader sends no CR LF after each track")
      ->group(group);
}

bool ApplySentinels(const SentinelOptions& options, const CLI::Option* record_given, TrackRecord* record,
                    std::string* error) {
  if (record_given != nullptr && record_given->count() > 0) {
    const std::optional<TrackRecord> parsed = ParseRecord(options.record, error);
    if (!parsed) {
      *error = "--sentinels: " + *error;
      return false;
    }
    *record = *parsed;
  }
  for (size_t i = 0; i < 6; ++i) {
    if (options.given[i] == nullptr || options.given[i]->count() == 0) continue;
    const std::optional<uint8_t> sentinel = ParseSentinel(options.sentinels[i]);
    if (!sentinel) {
      *error = std::string(kSentinelNames[i]) + ": '" + options.sentinels[i] +
               "' is not one character, 0xHH or none";
      return false;
    }
    (*record)[i] = *sentinel;
  }
  if (options.no_enter_mark) (*record)[7] = '0';
  return true;
}

std::string RatesText() {
  std::string text;
  for (const LineRate& rate : kLineRates) text += std::string(text.empty() ? "" : ", ") + rate.text;
  return text;
}

}  // namespace

const char* CommandName(Command command) {
  for (const CommandHelp& help : kCommands)
    if (help.command == command) return help.name;
  return "?";
}

std::optional<uint8_t> ParseSentinel(std::string_view text) {
  if (text.empty() || text == "none") return uint8_t{0};
  if (text.size() == 1) return static_cast<uint8_t>(text[0]);
  if (text.size() == 4 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const int high = HexDigit(text[2]), low = HexDigit(text[3]);
    if (high >= 0 && low >= 0) return static_cast<uint8_t>(high * 16 + low);
  }
  return std::nullopt;
}

std::optional<TrackRecord> ParseRecord(std::string_view text, std::string* error) {
  if (text.size() != 6 && text.size() != 8) {
    *error = "'" + std::string(text) + "' is neither six sentinels nor an eight-byte record";
    return std::nullopt;
  }
  TrackRecord record = kDefaultRecord;
  std::copy(text.begin(), text.end(), record.begin());
  if (text.size() == 8 && (record[6] != '7' || (record[7] != '0' && record[7] != '1'))) {
    *error = "byte 7 of the record is always '7' and byte 8, the Enter mark, '1' or '0'";
    return std::nullopt;
  }
  return record;
}

std::optional<uint32_t> ParseRate(std::string_view text) {
  for (const LineRate& rate : kLineRates)
    if (text == rate.text) return rate.baud;
  return std::nullopt;
}

std::optional<int64_t> ParseSeconds(std::string_view text) {
  const std::string s(text);
  if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  const double seconds = std::strtod(s.c_str(), &end);
  if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > 86400) return std::nullopt;
  const auto ms = static_cast<int64_t>(std::llround(seconds * 1000));
  return ms > 0 ? std::optional<int64_t>(ms) : std::nullopt;
}

std::string SentinelText(uint8_t sentinel) {
  if (sentinel == 0) return "none";
  char text[8];
  if (sentinel > 0x20 && sentinel < 0x7F)
    std::snprintf(text, sizeof text, "'%c'", sentinel);
  else
    std::snprintf(text, sizeof text, "0x%02X", sentinel);
  return text;
}

std::string ByteText(uint8_t b) {
  if (b >= 0x20 && b < 0x7F && b != '\\') return std::string(1, static_cast<char>(b));
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\x%02X", b);
  return escape;
}

std::string RecordText(const TrackRecord& record) {
  std::string text;
  for (uint8_t b : record) text += ByteText(b);
  return text;
}

Parsed ParseArguments(const std::vector<std::string>& args, const ParseContext& context) {
  Parsed parsed;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--json") parsed.json = true;
  }
  Request& request = parsed.request;

  CLI::App app(kDescription, "korvel");
  app.formatter(std::make_shared<HelpFormatter>());
  app.set_help_flag("-h,--help", "print this help and exit");
  app.require_subcommand(0, 1);
  app.fallthrough();

  std::string baud_text, card_text;
  CLI::Option* baud_given = app.add_option("--baud", baud_text,
                                           "the host's line rate: 4800, 9600 (default), 19200\n"
                                           "or 38400; the reader's rate must match")
                                ->option_text("RATE");
  app.add_flag("--simulate", request.simulate,
               "talk to a simulated reader started in this\n"
               "process; PORT is then left out");
  std::string keys;
  for (const std::string& key : context.sample_cards) keys += (keys.empty() ? "" : ", ") + key;
  const std::string first = context.sample_cards.empty() ? "card 1" : context.sample_cards[0];
  CLI::Option* card_given =
      app.add_option("--card", card_text,
                     Wrap("with --simulate: the sample card the simulated reader swipes, by its key (" +
                              keys + ") or its number (1 to " + std::to_string(context.sample_cards.size()) +
                              "); without it read takes " + first + " and watch takes them all in turn",
                          kOptionTextWidth))
          ->option_text("KEY");
  app.add_flag("--json", request.json, "one JSON object per line on standard output");
  app.add_flag("--reveal", request.reveal,
               "show card data in full (a warning goes to\n"
               "standard error)");
  bool version = false;
  app.add_flag("--version", version, "print the library's version and exit");

  // What each command's own options write (only one command is parsed).
  struct CommandOptions {
    CLI::App* sub = nullptr;
    Command command = Command::kPorts;
    std::vector<std::string> positionals;
    SentinelOptions sentinels;
    CLI::Option* record_given = nullptr;
    std::string count_text, timeout_text;
    CLI::Option* count_given = nullptr;
    CLI::Option* timeout_given = nullptr;
  };
  std::vector<std::unique_ptr<CommandOptions>> commands;
  for (const CommandHelp& help : kCommands) {
    auto options = std::make_unique<CommandOptions>();
    CLI::App* sub = app.add_subcommand(help.name, help.summary);
    options->sub = sub;
    options->command = help.command;
    sub->group("Commands");
    sub->set_help_flag("-h,--help", "print this help and exit");
    sub->add_option("arguments", options->positionals)->group("");
    if (help.command == Command::kSentinels || help.command == Command::kRead ||
        help.command == Command::kWatch || help.command == Command::kProbe)
      AddSentinelOptions(sub, &options->sentinels, &options->record_given);
    if (help.command == Command::kWatch)
      options->count_given =
          sub->add_option("--count", options->count_text, "stop after N swipes")->option_text("N");
    if (help.command == Command::kWatch || help.command == Command::kProbe)
      options->timeout_given =
          sub->add_option("--timeout", options->timeout_text,
                          help.command == Command::kWatch ? "stop after S seconds (e.g. 30, 0.5)"
                                                          : "wait S seconds for the swipe (default 10)")
              ->option_text("S");
    commands.push_back(std::move(options));
  }

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  auto usage_error = [&](const std::string& message) {
    parsed.kind = Parsed::Kind::kUsageError;
    parsed.text = message;
    return parsed;
  };
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    parsed.kind = Parsed::Kind::kHelp;
    parsed.text = app.help();
    return parsed;
  } catch (const CLI::ParseError& error) {
    for (const auto& options : commands)
      if (options->sub->parsed()) parsed.command = CommandName(options->command);
    if (parsed.command.empty()) {
      // The first word that is not an option or an option's value names the
      // command: say so when it names none.
      for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") break;
        if (arg == "--baud" || arg == "--card") {
          ++i;
          continue;
        }
        if (arg.empty() || arg[0] == '-') continue;
        if (FindHelp(arg) == nullptr)
          return usage_error("unknown command '" + arg + "' (korvel --help lists them)");
        break;
      }
    }
    std::string message = error.what();
    if (!message.empty() && message[0] >= 'A' && message[0] <= 'Z')
      message[0] = static_cast<char>(message[0] - 'A' + 'a');
    return usage_error(message);
  }

  const CommandOptions* chosen = nullptr;
  for (const auto& options : commands) {
    if (!options->sub->parsed()) continue;
    chosen = options.get();
    request.command = options->command;
    parsed.command = CommandName(options->command);
  }
  if (version) {
    parsed.kind = Parsed::Kind::kVersion;
    return parsed;
  }
  if (chosen == nullptr) return usage_error("no command given (korvel --help lists them)");

  if (baud_given->count() > 0) {
    const std::optional<uint32_t> baud = ParseRate(baud_text);
    if (!baud)
      return usage_error("--baud: '" + baud_text + "' is not a rate of the reader (" + RatesText() + ")");
    request.baud = *baud;
  }
  if (request.simulate && !context.have_simulator)
    return usage_error("--simulate: this build of korvel has no simulated reader");
  if (card_given->count() > 0) {
    if (!request.simulate)
      return usage_error("--card chooses the simulated reader's card: it needs --simulate");
    const std::vector<std::string>& cards = context.sample_cards;
    const auto key = std::find(cards.begin(), cards.end(), card_text);
    char* end = nullptr;
    const unsigned long n = std::strtoul(card_text.c_str(), &end, 10);
    if (key != cards.end())
      request.card = static_cast<size_t>(key - cards.begin());
    else if (!card_text.empty() && *end == '\0' && card_text[0] != '-' && n >= 1 && n <= cards.size())
      request.card = static_cast<size_t>(n - 1);
    else
      return usage_error("--card: '" + card_text + "' is not a sample card (" + keys + ", or 1 to " +
                         std::to_string(cards.size()) + ")");
  }

  // The positional arguments: PORT first unless --simulate or ports.
  const std::vector<std::string>& positionals = chosen->positionals;
  size_t next = 0;
  const std::string name = CommandName(request.command);
  if (request.command != Command::kPorts && !request.simulate) {
    if (positionals.empty()) return usage_error(name + ": PORT is missing (or give --simulate)");
    request.port = positionals[next++];
    if (request.port.empty()) return usage_error(name + ": PORT is empty");
  }
  auto extra = [&](size_t from) -> std::optional<std::string> {
    if (from >= positionals.size()) return std::nullopt;
    std::string message = name + ": unexpected argument '" + positionals[from] + "'";
    if (request.simulate && from == 0 && request.command != Command::kPorts)
      message += " (with --simulate, PORT is left out)";
    return message;
  };
  switch (request.command) {
    case Command::kMode:
      if (next < positionals.size()) {
        uint8_t mode = 0;
        if (!IsMode(positionals[next], &mode)) {
          std::string message = "mode: '" + positionals[next] + "' is neither active nor command";
          if (request.simulate) message += " (with --simulate, PORT is left out)";
          return usage_error(message);
        }
        request.mode = mode;
        ++next;
      }
      break;
    case Command::kBaud: {
      if (next >= positionals.size()) return usage_error("baud: RATE is missing (" + RatesText() + ")");
      const std::optional<uint32_t> rate = ParseRate(positionals[next]);
      if (!rate) {
        std::string message =
            "baud: '" + positionals[next] + "' is not a rate of the reader (" + RatesText() + ")";
        if (request.simulate) message += "; with --simulate, PORT is left out";
        return usage_error(message);
      }
      request.new_baud = *rate;
      ++next;
      break;
    }
    default: break;
  }
  if (const std::optional<std::string> message = extra(next)) return usage_error(*message);

  std::string error;
  if (!ApplySentinels(chosen->sentinels, chosen->record_given, &request.record, &error))
    return usage_error(error);
  const std::string& count_text = chosen->count_text;
  const std::string& timeout_text = chosen->timeout_text;
  if (chosen->count_given != nullptr && chosen->count_given->count() > 0) {
    char* end = nullptr;
    const long n = std::strtol(count_text.c_str(), &end, 10);
    if (count_text.empty() || *end != '\0' || n < 1 || n > 1000000)
      return usage_error("--count: '" + count_text + "' is not a number of swipes (1 or more)");
    request.count = static_cast<int>(n);
  }
  if (request.command == Command::kProbe) request.timeout_ms = kProbeTimeoutMs;
  if (chosen->timeout_given != nullptr && chosen->timeout_given->count() > 0) {
    const std::optional<int64_t> ms = ParseSeconds(timeout_text);
    if (!ms) return usage_error("--timeout: '" + timeout_text + "' is not a number of seconds above 0");
    request.timeout_ms = *ms;
  }
  parsed.kind = Parsed::Kind::kRun;
  return parsed;
}

}  // namespace korvel::cli
