// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The korvel program as people and scripts run it: against its own
// simulated reader (--simulate) and against a simulated reader this test
// starts on a pseudo-terminal, with faults.  Exit codes, human output, JSON,
// masking, and the reader's mode after Ctrl-C.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "exit_codes.h"
#include "korvel.h"
#include "korvel_card.h"
#include "korvel_sim.h"

namespace {

using korvel::cli::CodeOf;
using korvel::cli::Exit;
using korvel::sim::Fault;
using korvel::sim::FaultSettings;
using korvel::sim::PtyReader;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// The account numbers of the simulator's sample cards (the card schemes'
// published test numbers, and one with a wrong check digit): none may appear
// in full without --reveal.
const char* const kAccounts[] = {"4111111111111111", "5555555555554444", "378282246310005",
                                 "6011111111111117", "4111111111111112", "4012888888881881",
                                 "4000056655665556", "4242424242424242", "5105105105105100"};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string text;
  char byte[4];
  for (uint8_t b : bytes) {
    std::snprintf(byte, sizeof byte, "%02X ", b);
    text += byte;
  }
  return text;
}

// Waits for `ready` to hold, looking every few milliseconds; false after
// `timeout_ms`.
bool WaitFor(const std::function<bool()>& ready, int timeout_ms = 10000) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// One run of the program, its standard output and error in files.
class Program {
 public:
  // Runs korvel with `args`, or with `program` given, that program.
  // `in_child` runs in the child just before the program starts (to close
  // or replace its standard streams; only async-signal-safe calls).
  explicit Program(std::vector<std::string> args, const char* program = KORVEL_PROGRAM,
                   const std::function<void()>& in_child = {}) {
    char out[] = "/tmp/korvel-cli-out-XXXXXX";
    char err[] = "/tmp/korvel-cli-err-XXXXXX";
    const int out_fd = mkstemp(out), err_fd = mkstemp(err);
    out_path_ = out;
    err_path_ = err;
    args.insert(args.begin(), program);
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a test that dies
      dup2(out_fd, STDOUT_FILENO);
      dup2(err_fd, STDERR_FILENO);
      if (in_child) in_child();
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out_fd);
    close(err_fd);
  }
  ~Program() {
    if (pid_ > 0 && exit_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
  }

  // The exit code (128 + the signal for a program a signal ended), or -1
  // while it still runs after `timeout_ms`.
  int Wait(int timeout_ms = 20000) {
    WaitFor(
        [&] {
          int status = 0;
          if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
          exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          return true;
        },
        timeout_ms);
    return exit_;
  }
  void Signal(int signal) { kill(pid_, signal); }
  std::string Out() const { return ReadFile(out_path_); }
  std::string Err() const { return ReadFile(err_path_); }

  // Every line of standard output as JSON (a line that is not fails the test).
  std::vector<Json> Lines() const {
    std::vector<Json> lines;
    std::istringstream in(Out());
    for (std::string line; std::getline(in, line);) {
      Json json = Json::parse(line, nullptr, false);
      EXPECT_FALSE(json.is_discarded()) << line;
      lines.push_back(json);
    }
    return lines;
  }
  Json Last() const {
    const std::vector<Json> lines = Lines();
    return lines.empty() ? Json() : lines.back();
  }

  // No account number in full on either stream.
  void ExpectMasked() const {
    for (const char* account : kAccounts) {
      EXPECT_EQ(Out().find(account), std::string::npos) << Out();
      EXPECT_EQ(Err().find(account), std::string::npos) << Err();
    }
  }

 private:
  pid_t pid_ = -1;
  int exit_ = -1;
  std::string out_path_, err_path_;
};

// ---- Against korvel's own simulated reader ------------------------------------

TEST(Program, ProbesTheSimulatedReader) {
  Program probe({"--simulate", "probe"});
  ASSERT_EQ(probe.Wait(), 0) << probe.Err();
  const std::string out = probe.Out();
  for (const char* line :
       {"Query mode                  ok: command mode\n",
        "Identification text         ok: \"MSR-3T V2.10\"\n", "Card data                   ok: 103 bytes\n",
        "    Account         411111******1111  (track 2)\n", "      pass  account_check_digit   ",
        "Back to command mode        ok\n", "The reader answers.\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  probe.ExpectMasked();
}

TEST(Program, OneJsonResultForEachCommand) {
  struct Case {
    std::vector<std::string> args;
    const char* field;
    Json value;
  };
  const Case cases[] = {
      {{"info"}, "identification", "MSR-3T V2.10"},
      {{"mode"}, "mode", "command"},
      {{"mode", "active"}, "set", true},
      {{"--card", "2", "read"}, "sample_card", "mastercard: Mastercard test card (three tracks)"},
      {{"sentinels", "--no-enter-mark", "--t1-start", "!"}, "record", "!?;?+?70"},
      {{"baud", "19200"}, "answers_at", 19200},
      {{"ports"}, "command", "ports"},
      {{"probe"}, "mode", "command"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--simulate", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Program run(args);
    ASSERT_EQ(run.Wait(), 0) << c.args[0] << run.Err();
    const std::vector<Json> lines = run.Lines();
    ASSERT_EQ(lines.size(), 1u) << run.Out();
    const Json& result = lines[0];
    EXPECT_EQ(result["event"], "result");
    EXPECT_EQ(result["ok"], true);
    EXPECT_EQ(result["exit_code"], 0);
    EXPECT_EQ(result["simulated"], true);
    EXPECT_EQ(result[c.field], c.value) << result;
    run.ExpectMasked();
  }
}

TEST(Program, ReadsDecodedAndRevealsOnlyWhenAsked) {
  Program read({"--simulate", "--json", "--card", "2", "read"});
  ASSERT_EQ(read.Wait(), 0) << read.Err();
  const Json card = read.Last()["card"];
  EXPECT_EQ(card["account"], "555555******4444");
  EXPECT_EQ(card["tracks"]["track3"]["status"], "ok");
  EXPECT_EQ(card["checks"]["tracks_agree"]["result"], "passed");
  EXPECT_EQ(card["checks"].size(), static_cast<size_t>(KORVEL_CARD_CHECK_COUNT));
  EXPECT_EQ(read.Err(), "");

  // A card whose checks fail is still read: the checks say what is wrong.
  Program luhn({"--simulate", "--json", "--card", "luhn-fail", "read"});
  ASSERT_EQ(luhn.Wait(), 0) << luhn.Err();
  EXPECT_EQ(luhn.Last()["card"]["checks"]["account_check_digit"]["result"], "failed");
  EXPECT_EQ(luhn.Last()["card"]["checks_failed"], 1);
  luhn.ExpectMasked();

  // Every sample card, as text and as JSON, without its number in full.
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) {
    for (const char* format : {"--json", "--baud=9600"}) {
      Program each({"--simulate", format, "--card", card.key, "read"});
      EXPECT_EQ(each.Wait(), 0) << card.key << each.Err();
      each.ExpectMasked();
    }
  }

  Program reveal({"--simulate", "--reveal", "read"});
  ASSERT_EQ(reveal.Wait(), 0) << reveal.Err();
  EXPECT_NE(reveal.Out().find("Account         4111111111111111  (track 2)"), std::string::npos)
      << reveal.Out();
  EXPECT_NE(reveal.Err().find("warning: --reveal"), std::string::npos) << reveal.Err();
  EXPECT_EQ(reveal.Err().find("4111111111111111"), std::string::npos);
}

TEST(Program, WatchesTheSimulatedReadersCardsInTurn) {
  Program watch({"--simulate", "--json", "watch", "--count", "2"});
  ASSERT_EQ(watch.Wait(), 0) << watch.Err();
  const std::vector<Json> lines = watch.Lines();
  ASSERT_EQ(lines.size(), 3u) << watch.Out();
  EXPECT_EQ(lines[0]["event"], "swipe");
  EXPECT_EQ(lines[0]["card"]["account"], "411111******1111");
  EXPECT_EQ(lines[1]["swipe"], 2);
  EXPECT_EQ(lines[1]["card"]["account"], "555555******4444");
  EXPECT_EQ(lines[2]["event"], "result");
  EXPECT_EQ(lines[2]["swipes"], 2);
  EXPECT_EQ(lines[2]["mode_found"], "command");
  EXPECT_EQ(lines[2]["mode_restored"], true);
  watch.ExpectMasked();
}

TEST(Program, UsageErrorsHelpAndVersion) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"info"}, {"--simulate", "info", "/dev/ttyUSB0"}, {"baud", "com1", "300"}}) {
    Program run(args);
    EXPECT_EQ(run.Wait(), CodeOf(Exit::kUsage)) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(run.Out(), "");
    EXPECT_NE(run.Err().find("--help"), std::string::npos) << run.Err();
  }
  Program json({"--json", "watch", "com1", "--count", "many"});
  EXPECT_EQ(json.Wait(), CodeOf(Exit::kUsage));
  EXPECT_EQ(json.Last()["error"], "usage");
  EXPECT_EQ(json.Last()["command"], "watch");

  Program help({"watch", "--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_NE(help.Out().find("Usage: korvel [OPTIONS] watch PORT"), std::string::npos) << help.Out();
  Program version({"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.Out(), std::string("korvel ") + Korvel_Version() + "\n");  // the library's
}

// ---- Against a simulated reader the test holds ---------------------------------

class ProgramOnPty : public ::testing::Test {
 protected:
  void Start(uint8_t mode = '1') {
    korvel::sim::Options options;
    options.mode = mode;
    std::string error;
    reader_ = PtyReader::Start(options, &error);
    ASSERT_TRUE(reader_) << error;
    port_ = reader_->path();
  }
  void SetUp() override { Start(); }
  void SetFault(Fault fault, uint8_t error_byte = 0x05) {
    FaultSettings settings;
    settings.fault = fault;
    settings.error_byte = error_byte;
    reader_->SetFault(settings);
  }

  std::unique_ptr<PtyReader> reader_;
  std::string port_;
};

TEST_F(ProgramOnPty, EveryFailureHasItsExitCodeAndItsReason) {
  struct Case {
    Fault fault;
    uint8_t error_byte;
    Exit exit;
    const char* reason;  // a part of "reason", also on standard error
  };
  const Case cases[] = {
      {Fault::kRefuse, 0x05, Exit::kRefused, "error byte 0x05"},
      {Fault::kRefuse, 0x00, Exit::kRefused, Korvel_StatusText(KORVEL_E_REFUSED)},
      {Fault::kNoise, 0, Exit::kNoAnswer, Korvel_StatusText(KORVEL_E_FRAME)},
      {Fault::kHangUp, 0, Exit::kDisconnected, Korvel_StatusText(KORVEL_E_DISCONNECTED)},
  };
  for (const Case& c : cases) {
    Start();
    SetFault(c.fault, c.error_byte);
    Program info({"--json", "info", port_});
    ASSERT_EQ(info.Wait(), CodeOf(c.exit)) << c.reason << "\n" << info.Err();
    const Json result = info.Last();
    EXPECT_EQ(result["exit_code"], CodeOf(c.exit));
    EXPECT_EQ(result["error"], korvel::cli::InfoOf(c.exit).name);
    EXPECT_EQ(result["step"], "query_mode");
    EXPECT_NE(result["reason"].get<std::string>().find(c.reason), std::string::npos) << result;
    EXPECT_NE(info.Err().find(c.reason), std::string::npos) << info.Err();
    EXPECT_EQ(result.contains("error_byte"), c.error_byte != 0) << result;
  }
}

TEST_F(ProgramOnPty, PortsThatCannotBeOpenedSayWhy) {
  void* holder = Korvel_CommOpenWithBaud(port_.c_str(), 9600);  // the port is busy
  ASSERT_NE(holder, nullptr);
  struct Case {
    std::string port;
    const char* reason;
  };
  const Case cases[] = {{port_, "busy"}, {"/nonexistent/ttyUSB9", "absent"}, {"/dev/null", "not_serial"}};
  for (const Case& c : cases) {
    Program info({"info", c.port, "--json"});
    EXPECT_EQ(info.Wait(), CodeOf(Exit::kOpenFailed)) << c.port;
    EXPECT_EQ(info.Last()["open_error"]["reason"], c.reason) << info.Out();
    EXPECT_EQ(info.Err().rfind("korvel: cannot open the port: " + c.port, 0), 0u) << info.Err();
  }
  Korvel_CommClose(holder);
}

TEST_F(ProgramOnPty, WatchTimesOutAndPutsTheReaderBack) {
  Program watch({"--json", "watch", port_, "--timeout", "0.3"});
  ASSERT_EQ(watch.Wait(), CodeOf(Exit::kTimeout)) << watch.Err();
  const Json result = watch.Last();
  EXPECT_EQ(result["reason"], "nothing was swiped within 0.3 s");
  EXPECT_EQ(result["mode_restored"], true);
  EXPECT_EQ(reader_->State().mode, '1');
}

TEST_F(ProgramOnPty, CtrlCDuringWatchRestoresTheModeItFound) {
  struct Case {
    uint8_t mode;
    int signal;
  };
  for (const Case& c : {Case{'1', SIGINT}, Case{'0', SIGTERM}}) {
    Start(c.mode);
    Program watch({"watch", port_, "--json"});
    // The watch has its answers (to the mode query, and to active mode when
    // it was not): a swipe now reaches it.
    size_t sent = korvel::sim::BuildRequest('1', {'0'}).size();
    if (c.mode != '0') sent += korvel::sim::BuildRequest('0', {'0'}).size();
    ASSERT_TRUE(reader_->WaitReceived(sent, 10000));
    ASSERT_TRUE(reader_->WaitIdle(10000));
    reader_->Swipe(size_t{1});
    ASSERT_TRUE(WaitFor([&] { return watch.Out().find('\n') != std::string::npos; })) << watch.Err();
    watch.Signal(c.signal);
    ASSERT_EQ(watch.Wait(), CodeOf(Exit::kInterrupted)) << watch.Err();
    // (On failure: every byte the reader got, korvel's and any other opener's.)
    EXPECT_EQ(reader_->State().mode, c.mode) << Hex(reader_->Received()) << "\n" << watch.Out();
    const std::vector<Json> lines = watch.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["card"]["account"], "555555******4444");
    EXPECT_EQ(lines[1]["interrupted"], true);
    EXPECT_EQ(lines[1]["mode_restored"], true);
    EXPECT_EQ(lines[1]["swipes"], 1);
    watch.ExpectMasked();
  }
}

TEST_F(ProgramOnPty, WatchIntoAPipeThatClosesRestoresTheMode) {
  Program pipeline({"-c", std::string("'") + KORVEL_PROGRAM + "' --json watch " + port_ + " | head -n 1"},
                   "/bin/sh");
  ASSERT_TRUE(reader_->WaitReceived(
      korvel::sim::BuildRequest('1', {'0'}).size() + korvel::sim::BuildRequest('0', {'0'}).size(), 10000));
  ASSERT_TRUE(reader_->WaitIdle(10000));
  reader_->Swipe(size_t{0});
  EXPECT_EQ(pipeline.Wait(), 0);  // head's
  EXPECT_EQ(pipeline.Lines().size(), 1u);
  // korvel sees its reader gone before any second swipe, and restores the mode.
  EXPECT_TRUE(WaitFor([&] { return reader_->State().mode == '1'; }));
  EXPECT_NE(pipeline.Err().find("standard output is closed"), std::string::npos) << pipeline.Err();
}

TEST_F(ProgramOnPty, WatchEndsWhenTheReaderGoesAway) {
  Program watch({"watch", port_});
  ASSERT_TRUE(WaitFor([&] { return watch.Err().find("Ctrl-C stops.") != std::string::npos; }));  // it waits
  reader_->HangUp();
  EXPECT_EQ(watch.Wait(), CodeOf(Exit::kDisconnected)) << watch.Err();
  EXPECT_NE(watch.Err().find("waiting for a swipe: " + std::string(Korvel_StatusText(KORVEL_E_DISCONNECTED))),
            std::string::npos)
      << watch.Err();
}

TEST_F(ProgramOnPty, TheSentinelsReachTheReaderAndTheDecoderNeedsThem) {
  Program sentinels({"sentinels", port_, "--sentinels", "!?;?+?"});
  ASSERT_EQ(sentinels.Wait(), 0) << sentinels.Err();
  const auto record = reader_->State().track_settings;
  EXPECT_EQ(std::string(record.begin(), record.end()), "!?;?+?71");
  reader_->Swipe(size_t{0});

  Program with_default({"--json", "read", port_});
  ASSERT_EQ(with_default.Wait(), 0) << with_default.Err();
  EXPECT_EQ(with_default.Last()["card"]["tracks"]["track1"]["status"], "absent");
  Program with_record({"--json", "read", port_, "--t1-start", "!"});
  ASSERT_EQ(with_record.Wait(), 0) << with_record.Err();
  EXPECT_EQ(with_record.Last()["card"]["tracks"]["track1"]["status"], "ok");
  EXPECT_EQ(with_record.Last()["card"]["checks"]["no_stray_bytes"]["result"], "passed");
}

TEST_F(ProgramOnPty, BaudMovesTheReaderAndFindsItThere) {
  Program baud({"baud", port_, "38400"});
  ASSERT_EQ(baud.Wait(), 0) << baud.Err();
  EXPECT_EQ(reader_->State().baud, 38400u);
  EXPECT_NE(baud.Out().find("--baud 38400"), std::string::npos);
  Program info({"--baud", "38400", "info", port_});
  EXPECT_EQ(info.Wait(), 0) << info.Err();
}

// --require-valid, a swipe of zero bytes, baud over tcp:// and empty or too
// large values: each with its exit code and what it says (in text or JSON).
TEST_F(ProgramOnPty, CardChecksNoCardDataAndRefusedValuesHaveTheirExitCodes) {
  using korvel::sim::BuildRequest;
  // Where baud over tcp:// would go: it must see no connection.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string tcp = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

  // The reader holds a swipe of zero bytes: track 1 of NULs, sent without
  // sentinels or Enter mark.
  Program sentinels({"sentinels", port_, "--t1-start", "none", "--t1-end", "none", "--no-enter-mark"});
  ASSERT_EQ(sentinels.Wait(), 0) << sentinels.Err();
  const korvel::sim::Card zeros{"zero bytes", std::string(3, '\0'), "", ""};
  reader_->Swipe(zeros);

  struct Case {
    std::vector<std::string> args;  // PORT: the reader's
    Exit exit;
    std::string says;  // on standard output or error
  };
  const Case cases[] = {
      // A card that fails its checks is read (0), unless --require-valid (8).
      {{"--simulate", "--card", "luhn-fail", "read"}, Exit::kOk, "FAIL  account_check_digit"},
      {{"--simulate", "--json", "--card", "luhn-fail", "read", "--require-valid"},
       Exit::kCardInvalid,
       R"("error":"card_invalid","status":null,"status_text":null,)"
       R"("reason":"the card failed 1 check: account_check_digit","step":"check_card")"},
      {{"--simulate", "--json", "read", "--require-valid"},
       Exit::kOk,
       R"("valid":true,"invalid_reason":null)"},
      {{"--simulate", "--card", "expired", "probe", "--require-valid"},
       Exit::kCardInvalid,
       "checking the card: the card failed 1 check: not_expired"},
      // watch goes on past an invalid card, and says so at the end.
      {{"--simulate", "--json", "--card", "expired", "watch", "--count", "2", "--require-valid"},
       Exit::kCardInvalid,
       "\"reason\":\"2 of 2 swipes were not valid cards (failed checks or no card data)\""},
      {{"--simulate", "--json", "--card", "expired", "watch", "--count", "2"},
       Exit::kOk,
       R"("invalid_swipes":2)"},
      {{"--simulate", "--json", "watch", "--count", "2", "--require-valid"},
       Exit::kOk,
       R"("invalid_swipes":0)"},
      // A swipe of zero bytes is no card data.
      {{"read", "PORT"}, Exit::kOk, "Card data       none: the reader sent no card data\n"},
      {{"--json", "read", "PORT"},
       Exit::kOk,
       R"("bytes":0,"card":null,"valid":false,"invalid_reason":"the reader sent no card data")"},
      {{"--json", "read", "PORT", "--require-valid"},
       Exit::kCardInvalid,
       R"("reason":"the reader sent no card data")"},
      // Refused before anything is opened.
      {{"baud", tcp, "19200"}, Exit::kUsage, "use rfc2217://HOST:PORT"},
      {{"sentinels", "PORT", "--t1-start", ""}, Exit::kUsage, "--t1-start: the value is empty"},
      {{"--json", "sentinels", "PORT", "--sentinels", ""}, Exit::kUsage, R"("error":"usage")"},
      {{"watch", "PORT", "--count", "1000001"}, Exit::kUsage, "(1 to 1000000)"},
      {{"probe", "PORT", "--timeout", "86401"}, Exit::kUsage, "at most 86400 (a day)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    std::string line;
    for (std::string& arg : args) {
      if (arg == "PORT") arg = port_;
      line += arg + " ";
    }
    Program run(args);
    EXPECT_EQ(run.Wait(), CodeOf(c.exit)) << line << "\n" << run.Err();
    EXPECT_NE((run.Out() + run.Err()).find(c.says), std::string::npos) << line << "\n"
                                                                       << run.Out() << run.Err();
    run.ExpectMasked();
  }
  // The refused lines reached no reader: no connection, and the reader got
  // the sentinels and the three reads only.
  pollfd connection{listener, POLLIN, 0};
  EXPECT_EQ(poll(&connection, 1, 0), 0);
  close(listener);
  std::vector<uint8_t> expected = BuildRequest('5', {0, 0, ';', '?', '+', '?', '7', '0'});
  for (int i = 0; i < 3; ++i) {
    const std::vector<uint8_t> read = BuildRequest('3', {'0'});
    expected.insert(expected.end(), read.begin(), read.end());
  }
  EXPECT_EQ(Hex(reader_->Received()), Hex(expected));

  // watch: a swipe of zero bytes in active mode.
  for (const bool require_valid : {false, true}) {
    std::vector<std::string> args = {"watch", port_, "--count", "1"};
    if (require_valid) args.push_back("--require-valid");
    Program watch(args);
    ASSERT_TRUE(WaitFor([&] { return watch.Err().find("Ctrl-C stops.") != std::string::npos; }))
        << watch.Err();
    reader_->Swipe(zeros);
    EXPECT_EQ(watch.Wait(), CodeOf(require_valid ? Exit::kCardInvalid : Exit::kOk)) << watch.Err();
    EXPECT_EQ(watch.Out(), "Swipe 1: the reader sent no card data\n");
  }
}

// korvel started with standard output or error closed: no port takes their
// place, so nothing it prints reaches the reader.  With standard output
// closed nothing is done (exit 1); with standard error closed the command
// runs and its notes go nowhere.
TEST_F(ProgramOnPty, ClosedStandardStreamsNeverReachTheReader) {
  using korvel::sim::BuildRequest;
  reader_->Swipe(size_t{0});
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"watch", port_, "--count", "1"},
                                             {"--reveal", "--json", "read", port_},
                                             {"--simulate", "read"},
                                             {"--simulate", "--reveal", "watch", "--count", "1"}}) {
    Program run(args, KORVEL_PROGRAM, [] { close(STDOUT_FILENO); });
    EXPECT_EQ(run.Wait(), CodeOf(Exit::kFailure)) << args[0];
    EXPECT_NE(run.Err().find("standard output is closed"), std::string::npos) << run.Err();
  }

  Program watch({"--reveal", "--json", "watch", port_, "--count", "1"}, KORVEL_PROGRAM,
                [] { close(STDERR_FILENO); });
  const std::vector<uint8_t> query = BuildRequest('1', {'0'}), active = BuildRequest('0', {'0'}),
                             command = BuildRequest('0', {'1'});
  ASSERT_TRUE(reader_->WaitReceived(query.size() + active.size(), 10000));
  ASSERT_TRUE(reader_->WaitIdle(10000));
  reader_->Swipe(size_t{0});
  ASSERT_EQ(watch.Wait(), 0);
  ASSERT_EQ(watch.Lines().size(), 2u) << watch.Out();
  EXPECT_EQ(watch.Lines()[0]["card"]["account"], "4111111111111111");
  // The reader got the watch's three commands and nothing else: not the
  // notes, not the card, nor anything of the runs before.
  std::vector<uint8_t> expected = query;
  expected.insert(expected.end(), active.begin(), active.end());
  expected.insert(expected.end(), command.begin(), command.end());
  EXPECT_EQ(Hex(reader_->Received()), Hex(expected));
}

// SIGTERM while standard output is a pipe that is full and nobody reads:
// the signal wins (exit 130, the mode restored), and nothing hangs.
TEST_F(ProgramOnPty, ASignalWinsOverAFullPipe) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const int out = pipe_fds[1];
  fcntl(out, F_SETPIPE_SZ, 4096);
  // Filled before korvel starts, so that its first write waits.
  ASSERT_EQ(fcntl(out, F_SETFL, O_NONBLOCK), 0);
  const std::string block(4096, 'x');
  while (write(out, block.data(), block.size()) > 0) {
  }
  ASSERT_EQ(fcntl(out, F_SETFL, 0), 0);
  Program watch({"--json", "watch", port_}, KORVEL_PROGRAM, [out] { dup2(out, STDOUT_FILENO); });
  close(out);
  ASSERT_TRUE(reader_->WaitReceived(
      korvel::sim::BuildRequest('1', {'0'}).size() + korvel::sim::BuildRequest('0', {'0'}).size(), 10000));
  ASSERT_TRUE(reader_->WaitIdle(10000));
  reader_->Swipe(size_t{1});
  ASSERT_TRUE(reader_->WaitIdle(10000));  // sent: korvel takes it and cannot write it
  watch.Signal(SIGTERM);
  EXPECT_EQ(watch.Wait(), CodeOf(Exit::kInterrupted)) << watch.Err();
  EXPECT_EQ(reader_->State().mode, '1');
  EXPECT_EQ(watch.Err().find("standard output is closed"), std::string::npos) << watch.Err();
  close(pipe_fds[0]);
}

// Each waits out the library's 3000 ms reply limit.
TEST(ProgramSlow, ASilentReaderDidNotAnswer) {
  std::string error;
  std::unique_ptr<PtyReader> reader = PtyReader::Start({}, &error);
  ASSERT_TRUE(reader) << error;
  FaultSettings silent;
  silent.fault = Fault::kSilent;
  reader->SetFault(silent);
  Program mode({"mode", reader->path(), "active"});
  EXPECT_EQ(mode.Wait(), CodeOf(Exit::kNoAnswer));
  EXPECT_EQ(mode.Err(), "korvel: " + reader->path() +
                            ": setting active mode: " + Korvel_StatusText(KORVEL_E_NO_REPLY) + "\n");
}

}  // namespace
