// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "request.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include "exit_codes.h"
#include "korvel.h"
#include "platform_text.h"
#include "wedge_command.h"

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
    {Command::kPorts, "ports", "", "list the serial devices present", kPortsDetails},
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
     "(exit 5).  A card that fails its checks is still read (exit 0; 8 with\n"
     "--require-valid).  With --simulate the simulated reader first swipes a\n"
     "sample card by itself: the one --card names, else the first (visa).\n"},
    {Command::kWatch, "watch", "PORT", "print each swipe as it arrives (active mode)",
     "Puts the reader in active mode and prints each swipe, decoded, as it\n"
     "arrives, until Ctrl-C (or SIGTERM, SIGHUP), --count swipes or --timeout\n"
     "seconds.  On the way out, interrupted or not, the reader is put back in\n"
     "the mode it was found in.  With --simulate the simulated reader swipes\n"
     "its sample cards by itself, one a second, in turn (or --card's card each\n"
     "time).  With --require-valid a swipe that fails its checks does not end\n"
     "the watch: the exit code is 8 at the end unless the watch failed,\n"
     "timed out or was interrupted.\n"},
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
     "(exit 4).  From then on, reach the reader with --baud RATE.  Refused for\n"
     "tcp:// ports, which keep the port server's rate: use rfc2217://.\n"},
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
// The --simulate line only when the build has the simulated reader.
std::string UsageLines(const CommandHelp* help, bool have_simulator) {
  if (help == nullptr)
    return std::string("Usage: korvel [OPTIONS] COMMAND [ARGUMENTS]\n") +
           (have_simulator ? "       korvel --simulate [OPTIONS] COMMAND [ARGUMENTS]\n" : "");
  std::string arguments = help->arguments;
  std::string usage = "Usage: korvel [OPTIONS] " + std::string(help->name);
  if (!arguments.empty()) usage += " " + arguments;
  if (arguments.rfind("PORT", 0) != 0 || !have_simulator) return usage + "\n";
  std::string without_port = arguments.substr(4);
  return usage + "\n       korvel --simulate [OPTIONS] " + help->name + without_port + "\n";
}

class HelpFormatter : public CLI::Formatter {
 public:
  explicit HelpFormatter(const ParseContext& context)
      : have_simulator_(context.have_simulator), have_service_(context.have_service) {
    column_width(26);
  }

  std::string make_help(const CLI::App* app, std::string, CLI::AppFormatMode) const override {
    const CommandHelp* help = app->get_parent() != nullptr ? FindHelp(app->get_name()) : nullptr;
    std::ostringstream out;
    out << UsageLines(help, have_simulator_) << "\n" << (help != nullptr ? help->details : kDescription);
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
      out << "  " << std::string(kWedgeName).append(24 - std::strlen(kWedgeName), ' ') << kWedgeSummary
          << "\n";
      if (have_service_)
        out << "  service [--socket PATH] COMMAND  the readers of korveld, the reader service\n";
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

 private:
  bool have_simulator_, have_service_;
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

std::optional<std::string> ApplySentinels(const SentinelOptions& options, const CLI::Option* record_given,
                                          TrackRecord* record) {
  if (record_given != nullptr && record_given->count() > 0) {
    if (options.record.empty())
      return "--sentinels: the value is empty (six sentinels, or the eight-byte record)";
    std::string error;
    const std::optional<TrackRecord> parsed = ParseRecord(options.record, &error);
    if (!parsed) return "--sentinels: " + error;
    *record = *parsed;
  }
  for (size_t i = 0; i < 6; ++i) {
    if (options.given[i] == nullptr || options.given[i]->count() == 0) continue;
    const std::string& text = options.sentinels[i];
    const std::optional<uint8_t> sentinel = ParseSentinel(text);
    if (text.empty())
      return std::string(kSentinelNames[i]) + ": the value is empty (one character, 0xHH, or none)";
    if (!sentinel)
      return std::string(kSentinelNames[i]) + ": '" + text + "' is not one character, 0xHH or none";
    (*record)[i] = *sentinel;
  }
  if (options.no_enter_mark) (*record)[7] = '0';
  return std::nullopt;
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
  if (text == "none") return uint8_t{0};
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
  if (end == nullptr || *end != '\0' || !(seconds > 0) || seconds > kMaxTimeoutSeconds) return std::nullopt;
  const auto ms = static_cast<int64_t>(std::llround(seconds * 1000));
  return ms > 0 ? std::optional<int64_t>(ms) : std::nullopt;
}

bool IsRawTcpPort(std::string_view port) {
  constexpr std::string_view kScheme = "tcp://";
  if (port.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(port[i])) != kScheme[i]) return false;
  return true;
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

namespace {

// ---- Reading the command line -------------------------------------------------

// What a command's own options write (only one command is ever parsed).
struct CommandOptions {
  CLI::App* sub = nullptr;
  Command command = Command::kPorts;
  std::vector<std::string> positionals;
  SentinelOptions sentinels;
  CLI::Option* record_given = nullptr;
  std::string count_text, timeout_text;
  CLI::Option* count_given = nullptr;
  CLI::Option* timeout_given = nullptr;
  bool require_valid = false;
};

// The program's options and commands, and where CLI11 writes their values.
struct CommandLine {
  CLI::App app{kDescription, "korvel"};
  std::string baud_text, card_text;
  CLI::Option* baud_given = nullptr;
  CLI::Option* card_given = nullptr;
  std::string card_keys;  // "visa, mastercard, ...", for messages
  bool version = false;
  std::vector<std::unique_ptr<CommandOptions>> commands;
};

// The options that go before or after any command.  The flags write
// straight into `request`.
void AddGlobalOptions(CommandLine* line, const ParseContext& context, Request* request) {
  CLI::App& app = line->app;
  app.formatter(std::make_shared<HelpFormatter>(context));
  app.set_help_flag("-h,--help", "print this help and exit");
  app.require_subcommand(0, 1);
  app.fallthrough();
  line->baud_given = app.add_option("--baud", line->baud_text,
                                    "the host's line rate: 4800, 9600 (default), 19200\n"
                                    "or 38400; the reader's rate must match")
                         ->option_text("RATE");
  app.add_flag("--simulate", request->simulate,
               context.have_simulator ? "talk to a simulated reader started in this\n"
                                        "process; PORT is then left out"
                                      : "not in this build: the simulated reader runs\n"
                                        "on Linux only");
  for (const std::string& key : context.sample_cards)
    line->card_keys += (line->card_keys.empty() ? "" : ", ") + key;
  const std::string first = context.sample_cards.empty() ? "card 1" : context.sample_cards[0];
  const std::string card_help =
      context.have_simulator
          ? "with --simulate: the sample card the simulated reader swipes, by its key (" + line->card_keys +
                ") or its number (1 to " + std::to_string(context.sample_cards.size()) +
                "); without it read takes " + first + " and watch takes them all in turn"
          : std::string("not in this build: it goes with --simulate");
  line->card_given =
      app.add_option("--card", line->card_text, Wrap(card_help, kOptionTextWidth))->option_text("KEY");
  app.add_flag("--json", request->json, "one JSON object per line on standard output");
  app.add_flag("--reveal", request->reveal,
               "show card data in full (a warning goes to\n"
               "standard error)");
  app.add_flag("--version", line->version, "print the library's version and exit");
}

// Each command with its own options.
void AddCommands(CommandLine* line) {
  for (const CommandHelp& help : kCommands) {
    auto options = std::make_unique<CommandOptions>();
    CLI::App* sub = line->app.add_subcommand(help.name, help.summary);
    options->sub = sub;
    options->command = help.command;
    sub->group("Commands");
    sub->set_help_flag("-h,--help", "print this help and exit");
    sub->add_option("arguments", options->positionals)->group("");
    const bool reads_cards =
        help.command == Command::kRead || help.command == Command::kWatch || help.command == Command::kProbe;
    if (reads_cards || help.command == Command::kSentinels)
      AddSentinelOptions(sub, &options->sentinels, &options->record_given);
    if (help.command == Command::kWatch)
      options->count_given = sub->add_option("--count", options->count_text,
                                             "stop after N swipes (1 to " + std::to_string(kMaxCount) + ")")
                                 ->option_text("N");
    const std::string most = std::to_string(kMaxTimeoutSeconds);
    if (help.command == Command::kWatch || help.command == Command::kProbe)
      options->timeout_given =
          sub->add_option("--timeout", options->timeout_text,
                          help.command == Command::kWatch
                              ? "stop after S seconds (e.g. 30, 0.5; at most\n" + most + ", a day)"
                              : "wait S seconds for the swipe (default 10, at\nmost " + most + ", a day)")
              ->option_text("S");
    if (reads_cards)
      sub->add_flag("--require-valid", options->require_valid,
                    Wrap(help.command == Command::kWatch
                             ? "exit 8 (card_invalid) when a swipe fails a check or brings no card "
                               "data; the watch goes on"
                             : "exit 8 (card_invalid) when the card fails a check or the reader sent "
                               "no card data",
                         kOptionTextWidth));
    line->commands.push_back(std::move(options));
  }
}

// The message of an error CLI11 found.  `command` gets the command's name
// when the line names one.
std::string ParseErrorMessage(const CommandLine& line, const std::vector<std::string>& args,
                              const CLI::ParseError& error, std::string* command) {
  for (const auto& options : line.commands)
    if (options->sub->parsed()) *command = CommandName(options->command);
  if (command->empty()) {
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
      if (FindHelp(arg) == nullptr) return "unknown command '" + arg + "' (korvel --help lists them)";
      break;
    }
  }
  std::string message = error.what();
  if (!message.empty() && message[0] >= 'A' && message[0] <= 'Z')
    message[0] = static_cast<char>(message[0] - 'A' + 'a');
  return message;
}

// --baud and --card (the flags are read already).
std::optional<std::string> ReadGlobalOptions(const CommandLine& line, const ParseContext& context,
                                             Request* request) {
  if (line.baud_given->count() > 0) {
    const std::optional<uint32_t> baud = ParseRate(line.baud_text);
    if (!baud) return "--baud: '" + line.baud_text + "' is not a rate of the reader (" + RatesText() + ")";
    request->baud = *baud;
  }
  if (request->simulate && !context.have_simulator)
    return "--simulate: this build of korvel has no simulated reader";
  if (line.card_given->count() == 0) return std::nullopt;
  if (!request->simulate) return "--card chooses the simulated reader's card: it needs --simulate";
  const std::string& text = line.card_text;
  const std::vector<std::string>& cards = context.sample_cards;
  const auto key = std::find(cards.begin(), cards.end(), text);
  char* end = nullptr;
  const unsigned long n = std::strtoul(text.c_str(), &end, 10);
  if (key != cards.end())
    request->card = static_cast<size_t>(key - cards.begin());
  else if (!text.empty() && *end == '\0' && text[0] != '-' && n >= 1 && n <= cards.size())
    request->card = static_cast<size_t>(n - 1);
  else
    return "--card: '" + text + "' is not a sample card (" + line.card_keys + ", or 1 to " +
           std::to_string(cards.size()) + ")";
  return std::nullopt;
}

// The positional arguments: PORT first unless --simulate or ports, then
// mode's MODE or baud's RATE.
std::optional<std::string> ReadArguments(const std::vector<std::string>& positionals, Request* request) {
  size_t next = 0;
  const std::string name = CommandName(request->command);
  if (request->command != Command::kPorts && !request->simulate) {
    if (positionals.empty()) return name + ": PORT is missing (or give --simulate)";
    request->port = positionals[next++];
    if (request->port.empty()) return name + ": PORT is empty";
  }
  const std::string simulate_hint = request->simulate ? " (with --simulate, PORT is left out)" : "";
  if (request->command == Command::kMode && next < positionals.size()) {
    uint8_t mode = 0;
    if (!IsMode(positionals[next], &mode))
      return "mode: '" + positionals[next] + "' is neither active nor command" + simulate_hint;
    request->mode = mode;
    ++next;
  } else if (request->command == Command::kBaud) {
    if (next >= positionals.size()) return "baud: RATE is missing (" + RatesText() + ")";
    const std::optional<uint32_t> rate = ParseRate(positionals[next]);
    if (!rate)
      return "baud: '" + positionals[next] + "' is not a rate of the reader (" + RatesText() + ")" +
             (request->simulate ? "; with --simulate, PORT is left out" : "");
    request->new_baud = *rate;
    ++next;
    // Nothing is sent: the reader would switch, and the port could not follow.
    if (IsRawTcpPort(request->port))
      return "baud: not over tcp://: a raw TCP port keeps the port server's rate, so the reader would be "
             "left at " +
             positionals[next - 1] +
             " baud out of reach; use rfc2217://HOST:PORT (the server follows the rate), or change "
             "the rate where the reader is attached and then the server's setting";
  }
  if (next < positionals.size())
    return name + ": unexpected argument '" + positionals[next] + "'" +
           (next == 0 && request->command != Command::kPorts ? simulate_hint : "");
  return std::nullopt;
}

// The command's own options: sentinels, --count, --timeout, --require-valid.
std::optional<std::string> ReadCommandOptions(const CommandOptions& options, Request* request) {
  if (std::optional<std::string> error =
          ApplySentinels(options.sentinels, options.record_given, &request->record))
    return error;
  if (options.count_given != nullptr && options.count_given->count() > 0) {
    const std::string& text = options.count_text;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 1 || n > kMaxCount)
      return "--count: '" + text + "' is not a number of swipes (1 to " + std::to_string(kMaxCount) + ")";
    request->count = static_cast<int>(n);
  }
  if (request->command == Command::kProbe) request->timeout_ms = kProbeTimeoutMs;
  if (options.timeout_given != nullptr && options.timeout_given->count() > 0) {
    const std::optional<int64_t> ms = ParseSeconds(options.timeout_text);
    if (!ms)
      return "--timeout: '" + options.timeout_text + "' is not a number of seconds above 0 and at most " +
             std::to_string(kMaxTimeoutSeconds) + " (a day)";
    request->timeout_ms = *ms;
  }
  request->require_valid = options.require_valid;
  return std::nullopt;
}

}  // namespace

Parsed ParseArguments(const std::vector<std::string>& args, const ParseContext& context) {
  Parsed parsed;
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--json") parsed.json = true;
  }
  auto usage_error = [&](const std::string& message) {
    parsed.kind = Parsed::Kind::kUsageError;
    parsed.text = message;
    return parsed;
  };
  Request& request = parsed.request;
  CommandLine line;
  AddGlobalOptions(&line, context, &request);
  AddCommands(&line);
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them last first
  try {
    line.app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    parsed.kind = Parsed::Kind::kHelp;
    parsed.text = line.app.help();
    return parsed;
  } catch (const CLI::ParseError& error) {
    return usage_error(ParseErrorMessage(line, args, error, &parsed.command));
  }

  const CommandOptions* chosen = nullptr;
  for (const auto& options : line.commands) {
    if (!options->sub->parsed()) continue;
    chosen = options.get();
    request.command = options->command;
    parsed.command = CommandName(options->command);
  }
  if (line.version) {
    parsed.kind = Parsed::Kind::kVersion;
    return parsed;
  }
  if (chosen == nullptr) return usage_error("no command given (korvel --help lists them)");
  std::optional<std::string> error = ReadGlobalOptions(line, context, &request);
  if (!error) error = ReadArguments(chosen->positionals, &request);
  if (!error) error = ReadCommandOptions(*chosen, &request);
  if (error) return usage_error(*error);
  parsed.kind = Parsed::Kind::kRun;
  return parsed;
}

}  // namespace korvel::cli
