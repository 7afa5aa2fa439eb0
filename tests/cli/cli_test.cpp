// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel's parts that need no port: the command line, the exit codes, the
// texts and JSON objects, and the serial devices it lists.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "exit_codes.h"
#include "korvel.h"
#include "korvel/serial_devices.h"
#include "report.h"
#include "request.h"
#include "service_client.h"
#include "wedge_command.h"

namespace korvel::cli {
namespace {

const ParseContext kContext{true, {"visa", "mastercard", "amex", "discover"}};

Parsed Parse(std::vector<std::string> args) {
  return ParseArguments(args, kContext);
}

// ---- The command line ---------------------------------------------------------

TEST(Arguments, ReadIntoARequest) {
  struct Case {
    std::vector<std::string> args;
    Command command;
    std::string port;
    bool simulate;
    uint32_t baud;
  };
  const Case cases[] = {
      {{"ports"}, Command::kPorts, "", false, 9600},
      {{"info", "/dev/ttyUSB0"}, Command::kInfo, "/dev/ttyUSB0", false, 9600},
      {{"--baud", "19200", "info", "com1"}, Command::kInfo, "com1", false, 19200},
      {{"info", "com1", "--baud", "4800"}, Command::kInfo, "com1", false, 4800},  // options after the command
      {{"--simulate", "probe"}, Command::kProbe, "", true, 9600},
      {{"probe", "--simulate"}, Command::kProbe, "", true, 9600},
      {{"read", "rfc2217://reader.example:4001"},
       Command::kRead,
       "rfc2217://reader.example:4001",
       false,
       9600},
      {{"watch", "tcp://10.0.0.7:4001", "--json"}, Command::kWatch, "tcp://10.0.0.7:4001", false, 9600},
      {{"baud", "rfc2217://reader.example:4001", "19200"},
       Command::kBaud,
       "rfc2217://reader.example:4001",
       false,
       9600},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    ASSERT_EQ(parsed.kind, Parsed::Kind::kRun) << c.args[0] << ": " << parsed.text;
    EXPECT_EQ(parsed.request.command, c.command) << c.args[0];
    EXPECT_EQ(parsed.request.port, c.port) << c.args[0];
    EXPECT_EQ(parsed.request.simulate, c.simulate) << c.args[0];
    EXPECT_EQ(parsed.request.baud, c.baud) << c.args[0];
  }

  Parsed parsed = Parse({"mode", "com1"});
  EXPECT_FALSE(parsed.request.mode.has_value());
  parsed = Parse({"mode", "com1", "active"});
  EXPECT_EQ(parsed.request.mode, KORVEL_MODE_ACTIVE);
  parsed = Parse({"--simulate", "mode", "command"});
  EXPECT_EQ(parsed.request.mode, KORVEL_MODE_COMMAND);
  parsed = Parse({"--simulate", "baud", "38400"});
  EXPECT_EQ(parsed.request.new_baud, 38400u);

  parsed = Parse({"watch", "com1", "--count", "3", "--timeout", "1.5"});
  EXPECT_EQ(parsed.request.count, 3);
  EXPECT_EQ(parsed.request.timeout_ms, 1500);
  EXPECT_FALSE(parsed.request.require_valid);
  parsed = Parse({"watch", "com1", "--count", std::to_string(kMaxCount), "--require-valid"});
  EXPECT_EQ(parsed.request.count, kMaxCount);
  EXPECT_TRUE(parsed.request.require_valid);
  EXPECT_TRUE(Parse({"--simulate", "read", "--require-valid"}).request.require_valid);
  EXPECT_TRUE(Parse({"probe", "com1", "--require-valid"}).request.require_valid);
  EXPECT_EQ(Parse({"watch", "com1"}).request.timeout_ms, -1);
  EXPECT_EQ(Parse({"probe", "com1"}).request.timeout_ms, kProbeTimeoutMs);

  parsed = Parse({"--simulate", "--card", "4", "--reveal", "read"});
  EXPECT_EQ(parsed.request.card, 3u);
  EXPECT_TRUE(parsed.request.reveal);
  EXPECT_EQ(Parse({"--simulate", "--card", "amex", "read"}).request.card, 2u);
}

TEST(Arguments, SentinelsByOptionOrCompactForm) {
  struct Case {
    std::vector<std::string> args;
    TrackRecord record;
  };
  const Case cases[] = {
      {{"sentinels", "com1"}, kDefaultRecord},
      {{"sentinels", "com1", "--no-enter-mark"}, {'%', '?', ';', '?', '+', '?', '7', '0'}},
      {{"sentinels", "com1", "--sentinels", "!?;?+?"}, {'!', '?', ';', '?', '+', '?', '7', '1'}},
      {{"sentinels", "com1", "--sentinels", "%?;?+?70"}, {'%', '?', ';', '?', '+', '?', '7', '0'}},
      // The single options override the compact form.
      {{"sentinels", "com1", "--sentinels", "!?;?+?", "--t1-start", "%", "--t3-end", "none"},
       {'%', '?', ';', '?', '+', 0, '7', '1'}},
      {{"sentinels", "com1", "--t2-start", "0xD6", "--t2-end", "none"},
       {'%', '?', 0xD6, 0, '+', '?', '7', '1'}},
      // read, watch and probe take the same options, for the decoder.
      {{"read", "com1", "--t1-start", "!"}, {'!', '?', ';', '?', '+', '?', '7', '1'}},
      {{"watch", "com1", "--sentinels", "%?;?+?"}, kDefaultRecord},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    ASSERT_EQ(parsed.kind, Parsed::Kind::kRun) << parsed.text;
    EXPECT_EQ(parsed.request.record, c.record) << RecordText(parsed.request.record);
  }
  EXPECT_EQ(RecordText({'%', '?', ';', '?', '+', 0, '7', '1'}), "%?;?+\\x0071");
}

TEST(Arguments, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string message;  // a part of the message
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"--json"}, "no command given"},
      {{"frobnicate", "com1"}, "unknown command 'frobnicate'"},
      {{"--baud", "9600", "frobnicate"}, "unknown command 'frobnicate'"},
      {{"info"}, "PORT is missing"},
      {{"info", ""}, "PORT is empty"},
      {{"info", "com1", "com2"}, "unexpected argument 'com2'"},
      {{"--simulate", "info", "com1"}, "with --simulate, PORT is left out"},
      {{"ports", "com1"}, "unexpected argument 'com1'"},
      {{"mode", "com1", "passive"}, "'passive' is neither active nor command"},
      {{"--simulate", "mode", "com1", "active"}, "with --simulate, PORT is left out"},
      {{"baud", "com1"}, "RATE is missing"},
      {{"baud", "com1", "115200"}, "'115200' is not a rate of the reader"},
      {{"--baud", "9601", "info", "com1"}, "--baud: '9601' is not a rate"},
      {{"--card", "1", "read", "com1"}, "it needs --simulate"},
      {{"--simulate", "--card", "5", "read"},
       "--card: '5' is not a sample card (visa, mastercard, amex, discover, or 1 to 4)"},
      {{"--simulate", "--card", "x", "read"}, "--card: 'x'"},
      {{"watch", "com1", "--count", "0"}, "--count: '0'"},
      {{"watch", "com1", "--count", "1000001"},
       "--count: '1000001' is not a number of swipes (1 to 1000000)"},
      {{"watch", "com1", "--timeout", "-1"}, "--timeout: '-1'"},
      {{"probe", "com1", "--timeout", "86400.5"}, "at most 86400 (a day)"},
      {{"info", "com1", "--require-valid"}, "--require-valid"},  // only read, watch, probe
      // A raw TCP port keeps the server's rate: the reader would be stranded.
      {{"baud", "tcp://10.0.0.7:4001", "19200"}, "baud: not over tcp://"},
      {{"baud", "TCP://10.0.0.7:4001", "4800"}, "use rfc2217://HOST:PORT"},
      // An empty value is no sentinel, not "none".
      {{"sentinels", "com1", "--t1-start", ""}, "--t1-start: the value is empty"},
      {{"sentinels", "com1", "--t1-end", ""}, "--t1-end: the value is empty"},
      {{"read", "com1", "--t2-start", ""}, "--t2-start: the value is empty"},
      {{"watch", "com1", "--t2-end", ""}, "--t2-end: the value is empty"},
      {{"watch", "com1", "--t2-end="}, "--t2-end"},
      {{"probe", "com1", "--t3-start", ""}, "--t3-start: the value is empty"},
      {{"sentinels", "com1", "--t3-end", ""}, "--t3-end: the value is empty"},
      {{"sentinels", "com1", "--sentinels", ""}, "--sentinels: the value is empty"},
      {{"watch", "com1", "--timeout", "soon"}, "--timeout: 'soon'"},
      {{"info", "com1", "--count", "2"}, "--count"},  // not an option of info
      {{"sentinels", "com1", "--sentinels", "%?;?"}, "neither six sentinels nor an eight-byte record"},
      {{"sentinels", "com1", "--sentinels", "%?;?+?81"}, "always '7'"},
      {{"sentinels", "com1", "--t1-start", "%%"}, "--t1-start: '%%' is not one character"},
      {{"info", "com1", "--frob"}, "--frob"},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    const std::string line = c.args.empty() ? "(none)" : c.args[0];
    ASSERT_EQ(parsed.kind, Parsed::Kind::kUsageError) << line << " -> " << c.message;
    EXPECT_NE(parsed.text.find(c.message), std::string::npos) << parsed.text;
    EXPECT_EQ(parsed.text.find('\n'), std::string::npos) << parsed.text;
  }
  EXPECT_TRUE(Parse({"info", "--json"}).json);
  EXPECT_EQ(Parse({"mode", "com1", "passive"}).command, "mode");

  const Parsed no_simulator = ParseArguments({"--simulate", "probe"}, ParseContext{false, {}});
  EXPECT_EQ(no_simulator.kind, Parsed::Kind::kUsageError);
  EXPECT_NE(no_simulator.text.find("no simulated reader"), std::string::npos);
}

TEST(Arguments, HelpForTheProgramAndEachCommand) {
  const Parsed top = Parse({"--help"});
  ASSERT_EQ(top.kind, Parsed::Kind::kHelp);
  EXPECT_EQ(top.text.rfind("Usage: korvel [OPTIONS] COMMAND", 0), 0u) << top.text;
  for (const ExitInfo& info : kExitCodes) {
    EXPECT_NE(top.text.find(info.name), std::string::npos) << info.name;
    EXPECT_NE(top.text.find(std::to_string(CodeOf(info.exit))), std::string::npos) << info.name;
  }
  struct Case {
    const char* command;
    const char* usage;
  };
  const Case cases[] = {{"ports", "korvel [OPTIONS] ports\n"},
                        {"probe", "korvel --simulate [OPTIONS] probe\n"},
                        {"mode", "korvel [OPTIONS] mode PORT [active|command]\n"},
                        {"baud", "korvel --simulate [OPTIONS] baud RATE\n"},
                        {"watch", "stop after N swipes (1 to 1000000)"},
                        {"watch", "86400, a day"},
                        {"probe", "--require-valid"},
                        {"read", "--sentinels RECORD"},
                        {"sentinels", "--no-enter-mark"}};
  for (const Case& c : cases) {
    const Parsed help = Parse({c.command, "--help"});
    ASSERT_EQ(help.kind, Parsed::Kind::kHelp) << c.command;
    EXPECT_NE(help.text.find(c.usage), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("Global options"), std::string::npos) << c.command;
  }
  EXPECT_EQ(Parse({"--version"}).kind, Parsed::Kind::kVersion);
  // Every help line fits a terminal of 80 columns.
  for (const char* command : {"--help", "probe", "sentinels", "watch"}) {
    std::vector<std::string> args = {command};
    if (args[0] != "--help") args.push_back("--help");
    std::string text = Parse(args).text;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
      end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    }
  }
}

// A build without the simulated reader and the service's client (Windows):
// the help offers neither, and asking for them is a usage error that says why.
TEST(Arguments, BuildWithoutSimulatorOrService) {
  const ParseContext windows{false, {}, false};
  const std::vector<std::vector<std::string>> helps = {{"--help"}, {"probe", "--help"}, {"wedge", "--help"}};
  for (const std::vector<std::string>& args : helps) {
    const std::string text =
        args[0] == "wedge" ? ParseWedgeArguments(args, windows).text : ParseArguments(args, windows).text;
    EXPECT_EQ(text.find("korvel --simulate [OPTIONS]"), std::string::npos) << text;
    EXPECT_EQ(text.find("service [--socket"), std::string::npos) << text;
    EXPECT_EQ(text.find("--service NAME"), std::string::npos) << text;
    EXPECT_EQ(text.find("(1 to 0)"), std::string::npos) << text;
  }
  const WedgeParsed service = ParseWedgeArguments({"wedge", "--service", "lane1"}, windows);
  EXPECT_EQ(service.kind, WedgeParsed::Kind::kUsageError);
  EXPECT_NE(service.text.find(kServiceLinuxOnly), std::string::npos) << service.text;
  const WedgeParsed simulate = ParseWedgeArguments({"--simulate", "wedge"}, windows);
  EXPECT_EQ(simulate.kind, WedgeParsed::Kind::kUsageError);
  EXPECT_NE(simulate.text.find("no simulated reader"), std::string::npos) << simulate.text;
  // The full build offers both.
  EXPECT_NE(Parse({"--help"}).text.find("service [--socket"), std::string::npos);
}

TEST(Values, SentinelsRatesSeconds) {
  EXPECT_EQ(ParseSentinel("%"), uint8_t{'%'});
  EXPECT_EQ(ParseSentinel("none"), uint8_t{0});
  EXPECT_EQ(ParseSentinel("0x3f"), uint8_t{'?'});
  EXPECT_EQ(ParseSentinel("0XD6"), uint8_t{0xD6});
  for (const char* bad : {"", "0x", "0xG1", "ab", "0x123", "\xC3\x96"})
    EXPECT_FALSE(ParseSentinel(bad)) << bad;

  EXPECT_EQ(ParseRate("38400"), 38400u);
  for (const char* bad : {"", "9600 ", "+9600", "096", "115200"}) EXPECT_FALSE(ParseRate(bad)) << bad;

  EXPECT_EQ(ParseSeconds("2"), 2000);
  EXPECT_EQ(ParseSeconds("0.25"), 250);
  EXPECT_EQ(ParseSeconds("86400"), 86400000);
  for (const char* bad : {"", "0", "0.0001", "-1", "1e3", "86401", "1s", "."})
    EXPECT_FALSE(ParseSeconds(bad)) << bad;
}

// ---- Exit codes ----------------------------------------------------------------

TEST(ExitCodes, OneTableOfDistinctCodesAndEveryStatusHasItsClass) {
  std::set<int> codes;
  std::set<std::string> names;
  for (const ExitInfo& info : kExitCodes) {
    EXPECT_TRUE(codes.insert(CodeOf(info.exit)).second) << info.name;
    EXPECT_TRUE(names.insert(info.name).second) << info.name;
    EXPECT_EQ(InfoOf(info.exit).name, info.name);
  }
  struct Case {
    int status;
    Exit exit;
  };
  const Case cases[] = {
      {KORVEL_OK, Exit::kOk},
      {1, Exit::kRefused},
      {0x05, Exit::kRefused},
      {255, Exit::kRefused},
      {KORVEL_E_REFUSED, Exit::kRefused},
      {KORVEL_E_NO_REPLY, Exit::kNoAnswer},
      {KORVEL_E_FRAME, Exit::kNoAnswer},
      {KORVEL_E_REPLY_TIMEOUT, Exit::kNoAnswer},
      {KORVEL_E_OVERFLOW, Exit::kNoAnswer},
      {KORVEL_E_DISCONNECTED, Exit::kDisconnected},
      {KORVEL_E_EMPTY, Exit::kTimeout},
      {KORVEL_E_HANDLE, Exit::kFailure},
      {KORVEL_E_ARGUMENT, Exit::kFailure},
      {KORVEL_E_INTERNAL, Exit::kFailure},
      {KORVEL_E_BAUD, Exit::kFailure},
      {256, Exit::kFailure},
      {-999, Exit::kFailure},
  };
  for (const Case& c : cases) EXPECT_EQ(ExitOfStatus(c.status), c.exit) << c.status;
}

// ---- Results, for people and for programs ----------------------------------------

// The Visa test card as the reader sends it with the default settings.
const std::string kSwipe =
    "%B4111111111111111^TEST/VISA CARD^2912101100000000000000000?\r\n"
    ";4111111111111111=29121011000000000000?\r\n";

Swipe DecodeVisa(bool reveal, const TrackRecord& record = kDefaultRecord) {
  std::vector<uint8_t> area(KORVEL_DATA_AREA, 0);
  std::copy(kSwipe.begin(), kSwipe.end(), area.begin());
  return DecodeSwipe(area.data(), area.size(), record, 2506, reveal);
}

TEST(Cards, MaskedUnlessRevealedInTextAndJson) {
  const Swipe masked = DecodeVisa(false);
  ASSERT_EQ(masked.status, KORVEL_OK);
  EXPECT_EQ(masked.bytes.size(), kSwipe.size());  // the area's zeros left out
  Result read;
  read.command = Command::kRead;
  read.port = "/dev/ttyUSB0";
  read.swipe = masked;
  const std::string text = ResultText(read);
  const std::string json = JsonLine(ResultJson(read));
  for (const std::string& out : {text, json, SwipeText(masked, true), JsonLine(SwipeJson(read, masked))}) {
    EXPECT_EQ(out.find("4111111111111111"), std::string::npos) << out;
    EXPECT_EQ(out.find("1011000000"), std::string::npos) << out;  // discretionary data
    EXPECT_NE(out.find("411111******1111"), std::string::npos) << out;
  }
  EXPECT_EQ(json.find("\"raw\""), std::string::npos);

  read.swipe = DecodeVisa(true);
  EXPECT_NE(ResultText(read).find("4111111111111111=29121011000000000000"), std::string::npos);
  const Json revealed = ResultJson(read);
  EXPECT_EQ(revealed["card"]["account"], "4111111111111111");
  EXPECT_EQ(revealed["raw"],
            "%B4111111111111111^TEST/VISA CARD^2912101100000000000000000?\\r\\n"
            ";4111111111111111=29121011000000000000?\\r\\n");
}

TEST(Cards, EveryTrackFieldAndCheckByItsStableName) {
  const Swipe swipe = DecodeVisa(false);
  const Json card = CardJson(swipe.card);
  EXPECT_EQ(card["account_track"], 2);
  EXPECT_EQ(card["name"], "TEST/VISA CARD");
  EXPECT_EQ(card["surname"], "TEST");
  EXPECT_EQ(card["expiration"], "2912");
  EXPECT_EQ(card["service_code"], "101");
  EXPECT_EQ(card["tracks"]["track1"]["status"], "ok");
  EXPECT_EQ(card["tracks"]["track1"]["format_code"], "B");
  EXPECT_EQ(card["tracks"]["track2"]["discretionary"], "*************");
  EXPECT_EQ(card["tracks"]["track3"], Json({{"status", "absent"}}));
  ASSERT_EQ(card["checks"].size(), static_cast<size_t>(KORVEL_CARD_CHECK_COUNT));
  const std::string text = CardText(swipe.card);
  for (int i = 0; i < swipe.card.check_count; ++i) {
    const Korvel_CardCheck& check = swipe.card.check[i];
    const Json& item = card["checks"][check.name];
    EXPECT_EQ(item["reason"], check.reason);
    EXPECT_EQ(item["result"], check.result == KORVEL_CHECK_PASSED   ? "passed"
                              : check.result == KORVEL_CHECK_FAILED ? "failed"
                                                                    : "not_applicable");
    EXPECT_NE(text.find(std::string(check.name) + " "), std::string::npos) << check.name;
    EXPECT_NE(text.find(check.reason), std::string::npos) << check.name;
  }
  EXPECT_EQ(card["checks"]["not_expired"]["result"], "passed");
  EXPECT_EQ(card["checks_failed"], 0);

  // With other sentinels than the reader was given, track 1 is not found:
  // the decoder needs the reader's record.
  const Json wrong = CardJson(DecodeVisa(false, {'!', '?', ';', '?', '+', '?', '7', '1'}).card);
  EXPECT_EQ(wrong["tracks"]["track1"]["status"], "absent");
  EXPECT_EQ(wrong["checks"]["no_stray_bytes"]["result"], "failed");
  EXPECT_NE(
      CardText(DecodeVisa(false, {'!', '?', ';', '?', '+', '?', '7', '1'}).card).find("FAIL  no_stray_bytes"),
      std::string::npos);
}

// Whether a swipe is a valid card, in words and JSON: what --require-valid
// turns into exit 8.
TEST(Cards, AValidCardHasDataAndNoFailedCheck) {
  const std::vector<uint8_t> zeros(KORVEL_DATA_AREA, 0);
  Swipe overflow;
  overflow.status = KORVEL_E_OVERFLOW;
  struct Case {
    const char* what;
    Swipe swipe;
    std::string reason;   // InvalidReason: empty for a valid card
    std::string heading;  // watch's line for the swipe
  };
  const Case cases[] = {
      {"visa", DecodeVisa(false), "", "Swipe 1: 103 bytes\n"},
      {"other sentinels", DecodeVisa(false, {'!', '?', ';', '?', '+', '?', '7', '1'}),
       "the card failed 1 check: no_stray_bytes", "Swipe 1: 103 bytes\n"},
      {"zero bytes", DecodeSwipe(zeros.data(), zeros.size(), kDefaultRecord, 2506, false), kNoCardData,
       "Swipe 1: the reader sent no card data\n"},
      {"nothing", DecodeSwipe(zeros.data(), 0, kDefaultRecord, 2506, false), kNoCardData,
       "Swipe 1: the reader sent no card data\n"},
      {"overflow", overflow, StatusReason(KORVEL_E_OVERFLOW),
       "Swipe 1: no data: " + StatusReason(KORVEL_E_OVERFLOW) + "\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InvalidReason(c.swipe), c.reason) << c.what;
    EXPECT_EQ(SwipeText(c.swipe, true).substr(0, c.heading.size()), c.heading) << c.what;
    Result read;
    read.command = Command::kRead;
    read.swipe = c.swipe;
    const Json json = ResultJson(read);
    EXPECT_EQ(json["valid"], c.reason.empty()) << c.what;
    EXPECT_EQ(json["invalid_reason"], c.reason.empty() ? Json(nullptr) : Json(c.reason)) << c.what;
    EXPECT_EQ(json["ok"], true) << c.what;  // a card read is a success unless --require-valid
    FailInvalid(&read, InvalidReason(c.swipe));
    EXPECT_EQ(ResultJson(read)["exit_code"], CodeOf(Exit::kCardInvalid));
    EXPECT_EQ(ResultJson(read)["error"], "card_invalid");
    EXPECT_EQ(ErrorText(read), "korvel: checking the card: " + c.reason + "\n") << c.what;
  }
  // No card data: said in the read's text, and no card is made up in JSON.
  const Swipe empty = DecodeSwipe(zeros.data(), zeros.size(), kDefaultRecord, 2506, false);
  EXPECT_EQ(SwipeText(empty, false), "Card data       none: the reader sent no card data\n");
  const Json event = SwipeJson(Result{}, empty);
  EXPECT_EQ(event["ok"], true);
  EXPECT_EQ(event["bytes"], 0);
  EXPECT_EQ(event["card"], nullptr);
  EXPECT_EQ(event["invalid_reason"], kNoCardData);
}

TEST(Results, EveryFailureClassInWordsAndInJson) {
  Result r;
  r.command = Command::kInfo;
  r.port = "/dev/ttyUSB0";
  r.baud = 9600;
  const Json ok = ResultJson(r);
  for (const char* field :
       {"command", "port", "ok", "status", "status_text", "reason", "exit_code", "error", "step"})
    EXPECT_TRUE(ok.contains(field)) << field;
  EXPECT_EQ(ok["ok"], true);
  EXPECT_EQ(ok["reason"], nullptr);
  EXPECT_EQ(ErrorText(r), "");

  struct Case {
    int status;
    Exit exit;
    const char* words;
  };
  const Case cases[] = {
      {0x05, Exit::kRefused, "error byte 0x05"},
      {KORVEL_E_REFUSED, Exit::kRefused, Korvel_StatusText(KORVEL_E_REFUSED)},
      {KORVEL_E_NO_REPLY, Exit::kNoAnswer, Korvel_StatusText(KORVEL_E_NO_REPLY)},
      {KORVEL_E_REPLY_TIMEOUT, Exit::kNoAnswer, Korvel_StatusText(KORVEL_E_REPLY_TIMEOUT)},
      {KORVEL_E_FRAME, Exit::kNoAnswer, Korvel_StatusText(KORVEL_E_FRAME)},
      {KORVEL_E_DISCONNECTED, Exit::kDisconnected, Korvel_StatusText(KORVEL_E_DISCONNECTED)},
  };
  for (const Case& c : cases) {
    Result failed = r;
    Fail(&failed, "query_mode", c.status);
    const Json json = ResultJson(failed);
    EXPECT_EQ(json["ok"], false);
    EXPECT_EQ(json["exit_code"], CodeOf(c.exit));
    EXPECT_EQ(json["error"], InfoOf(c.exit).name);
    EXPECT_EQ(json["status"], c.status);
    EXPECT_EQ(json["status_text"], Korvel_StatusText(c.status));
    EXPECT_NE(json["reason"].get<std::string>().find(c.words), std::string::npos) << json;
    EXPECT_EQ(json.contains("error_byte"), c.status > 0);
    EXPECT_EQ(ErrorText(failed),
              "korvel: /dev/ttyUSB0: querying the mode: " + json["reason"].get<std::string>() + "\n");
  }

  // A failed open: the library's reason, never guessed here.
  Korvel_OpenError error{};
  error.reason = KORVEL_OPEN_BUSY;
  error.system_error = 11;
  std::snprintf(error.device, sizeof error.device, "/dev/ttyUSB0");
  std::snprintf(error.text, sizeof error.text, "/dev/ttyUSB0: in use by another program");
  Result busy = r;
  FailOpen(&busy, error, "");
  Json json = ResultJson(busy);
  EXPECT_EQ(json["exit_code"], CodeOf(Exit::kOpenFailed));
  EXPECT_EQ(json["status"], nullptr);
  EXPECT_EQ(json["open_error"]["reason"], "busy");
  EXPECT_EQ(json["open_error"]["system_error"], 11);
  EXPECT_EQ(ErrorText(busy), "korvel: cannot open the port: /dev/ttyUSB0: in use by another program\n");
  // Permission: what to do about it.
  error.reason = KORVEL_OPEN_PERMISSION;
  Result denied = r;
  FailOpen(&denied, error, "dialout");
  EXPECT_NE(ErrorText(denied).find("sudo usermod -aG dialout $USER"), std::string::npos);
  EXPECT_EQ(ResultJson(denied)["open_error"]["reason"], "permission");
  const std::pair<int, const char*> reasons[] = {
      {KORVEL_OPEN_ARGUMENT, "argument"},     {KORVEL_OPEN_BAUD, "baud"},
      {KORVEL_OPEN_ABSENT, "absent"},         {KORVEL_OPEN_BUSY, "busy"},
      {KORVEL_OPEN_NOT_SERIAL, "not_serial"}, {KORVEL_OPEN_CONFIG, "config"},
      {KORVEL_OPEN_SYSTEM, "system"},         {KORVEL_OPEN_NETWORK, "network"}};
  for (const auto& [reason, name] : reasons) EXPECT_STREQ(OpenReasonName(reason), name);

  EXPECT_EQ(JsonLine(UsageErrorJson("", "no command given")),
            R"({"event":"result","command":null,"port":null,"simulated":false,"baud":null,"ok":false,)"
            R"("exit_code":2,"error":"usage","status":null,"status_text":null,"reason":"no command given",)"
            R"("step":null})");
}

TEST(Results, TheRateCheckSaysWhereTheReaderAnswers) {
  struct Case {
    int new_status;
    std::optional<int> old_status;
    Exit exit;
    std::optional<uint32_t> answers_at;
    const char* words;
  };
  const Case cases[] = {
      {KORVEL_OK, std::nullopt, Exit::kOk, 19200, ""},
      {KORVEL_E_NO_REPLY, KORVEL_OK, Exit::kNoAnswer, 9600, "did not answer at 19200 baud"},
      {KORVEL_E_FRAME, KORVEL_E_NO_REPLY, Exit::kNoAnswer, std::nullopt, ", nor at 9600 baud"},
      {KORVEL_E_NO_REPLY, std::nullopt, Exit::kNoAnswer, std::nullopt, ", nor at 9600 baud"},
      {KORVEL_E_DISCONNECTED, std::nullopt, Exit::kDisconnected, std::nullopt, "went away"},
  };
  for (const Case& c : cases) {
    Result r;
    r.command = Command::kBaud;
    r.new_baud = 19200;
    RateChecked(&r, 9600, c.new_status, c.old_status);
    EXPECT_EQ(r.exit, c.exit) << c.words;
    EXPECT_EQ(r.answers_at, c.answers_at) << c.words;
    EXPECT_NE(r.reason.find(c.words), std::string::npos) << r.reason;
    EXPECT_EQ(ResultJson(r)["answers_at"], c.answers_at ? Json(*c.answers_at) : Json(nullptr));
  }
}

TEST(Results, ReaderTextIsEscaped) {
  const uint8_t bytes[] = {'A', '\\', '\r', '\n', 0x01, 0xFF, '~'};
  EXPECT_EQ(Printable(bytes, sizeof bytes), "A\\\\\\r\\n\\x01\\xFF~");
  Result r;
  r.command = Command::kInfo;
  r.identification = std::string("MSR\xFF\x1B[2J", 8);
  EXPECT_NE(ResultText(r).find("MSR\\xFF\\x1B[2J"), std::string::npos);
  EXPECT_EQ(ResultJson(r)["identification"], "MSR\\xFF\\x1B[2J");
  EXPECT_EQ(SecondsText(10000), "10 s");
  EXPECT_EQ(SecondsText(1500), "1.5 s");
}

// ---- The serial devices present ------------------------------------------------

TEST(Ports, ByIdNamesWithTheirDevicesThenUsbAcmAndBuiltIn) {
  namespace fs = std::filesystem;
  const fs::path dev = fs::temp_directory_path() / ("korvel-cli-dev-" + std::to_string(getpid()));
  fs::remove_all(dev);
  fs::create_directories(dev / "serial/by-id");
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS1", "ttyS0", "ttyS", "null", "ttyUSBx"})
    std::ofstream(dev / name).put('\n');
  fs::create_directory(dev / "ttyUSB3");  // a directory is no device
  fs::create_symlink("../../ttyUSB2", dev / "serial/by-id/usb-FTDI_Reader_A1-if00-port0");
  fs::create_symlink("../../ttyUSB7", dev / "serial/by-id/usb-Gone-if00");  // points at nothing
  const std::string d = fs::canonical(dev).string();
  const std::vector<SerialDevice> found = FindSerialDevices(d);
  std::vector<std::string> lines;
  for (const SerialDevice& device : found)
    lines.push_back(device.path.substr(d.size()) + " " + SerialKindName(device.kind) + " " +
                    (device.target.empty() ? "-" : device.target.substr(d.size())));
  EXPECT_EQ(lines, (std::vector<std::string>{"/serial/by-id/usb-FTDI_Reader_A1-if00-port0 by-id /ttyUSB2",
                                             "/serial/by-id/usb-Gone-if00 by-id -", "/ttyUSB2 usb -",
                                             "/ttyUSB10 usb -", "/ttyACM0 acm -", "/ttyS0 builtin -",
                                             "/ttyS1 builtin -"}));
  fs::remove_all(dev);

  Result r;
  r.command = Command::kPorts;
  r.ports = {{"/dev/serial/by-id/usb-X", SerialKind::kById, "/dev/ttyUSB0", ""},
             {"/dev/ttyS0", SerialKind::kBuiltIn, "", "com1"}};
  EXPECT_EQ(ResultText(r), "/dev/serial/by-id/usb-X -> /dev/ttyUSB0\n/dev/ttyS0  (com1)\n");
  EXPECT_EQ(JsonLine(ResultJson(r)["ports"]),
            R"([{"path":"/dev/serial/by-id/usb-X","kind":"by-id","target":"/dev/ttyUSB0","com":null},)"
            R"({"path":"/dev/ttyS0","kind":"builtin","target":null,"com":"com1"}])");
}

}  // namespace
}  // namespace korvel::cli
