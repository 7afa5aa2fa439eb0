// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel wedge on X11, end to end: an X server of the test's own (Xvfb), a
// window with the focus that records the characters its keys type
// (key_catcher), and korvel --simulate wedge swiping the sample cards.  What
// arrives must be exactly what the template says, under a US and a German
// layout (where a table of US key codes types 'z' for 'y' and loses '^');
// payment cards are refused by default and their numbers are never logged.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvel_sim.h"

// After GoogleTest: X.h defines None.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kAccounts[] = {"4111111111111111", "5555555555554444", "378282246310005",
                                 "6011111111111117", "4111111111111112", "4012888888881881",
                                 "4000056655665556", "4242424242424242", "5105105105105100"};

// A child process; its standard input and output are pipes when asked for.
class Child {
 public:
  Child(std::vector<std::string> args, bool pipes) {
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (pipes && (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (pipes) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
      }
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    if (pipes) {
      close(in[0]);
      close(out[1]);
      in_ = in[1];
      out_ = out[0];
    }
  }
  ~Child() {
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
    if (pid_ > 0 && exit_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Reads what the child wrote until `done` holds for it or `timeout_ms`
  // passes (or the child closes its output).
  bool ReadUntil(const std::function<bool(const std::string&)>& done, int timeout_ms = 20000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done(output_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return done(output_);
      output_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }
  // Closes its standard input and reads the rest of its output.
  std::string Finish() {
    close(in_);
    in_ = -1;
    ReadUntil([](const std::string&) { return false; });
    Wait();
    return output_;
  }
  int Wait(int timeout_ms = 30000) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (exit_ < 0 && Clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_)
        exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return exit_;
  }
  const std::string& output() const { return output_; }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int exit_ = -1;
  std::string output_;
};

// An X server for the test: Xvfb on the first free display, found and
// waited for by -displayfd.  It keeps running as it is when its last client
// goes (-noreset): a reset would turn new connections away for a moment.
class XServer {
 public:
  XServer() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      dup2(fds[1], 3);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24",
             nullptr);
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c;
    pollfd p{fds[0], POLLIN, 0};
    while (poll(&p, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

struct Swiped {
  int exit = -1;
  std::string typed;  // what the window received
  std::string log;    // korvel's standard output and error
};

class X11Wedge : public testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    server_ = new XServer;
    if (!server_->name().empty()) setenv("DISPLAY", server_->name().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (server_->name().empty()) GTEST_SKIP() << "Xvfb did not start (is it installed?)";
    unsetenv("WAYLAND_DISPLAY");
    Child layout({"setxkbmap", GetParam()}, false);
    ASSERT_EQ(layout.Wait(), 0) << "setxkbmap " << GetParam();
  }

  // One swipe of `card` typed into a fresh window.
  Swiped Swipe(const std::string& card, const std::vector<std::string>& options) {
    Swiped run;
    Child window({KEY_CATCHER}, true);
    EXPECT_TRUE(window.ReadUntil([](const std::string& out) {
      return out.find("ready\n") != std::string::npos;
    })) << window.output();
    std::vector<std::string> args = {KORVEL_PROGRAM, "--simulate", "--card", card, "wedge", "--count", "1"};
    args.insert(args.end(), options.begin(), options.end());
    Child korvel(args, true);
    run.exit = korvel.Wait();
    run.log = korvel.Finish();
    const std::string received = window.Finish();
    run.typed = received.substr(received.find("ready\n") + 6);
    return run;
  }

  static XServer* server_;
};

XServer* X11Wedge::server_ = nullptr;

std::string Joined(const korvel::sim::Card& card, std::string* templ) {
  std::string text;
  const std::string* tracks[] = {&card.track1, &card.track2, &card.track3};
  for (int i = 0; i < 3; ++i) {
    if (tracks[i]->empty()) continue;
    *templ += "{track" + std::to_string(i + 1) + "}{tab}";
    text += *tracks[i] + "\t";
  }
  *templ += "{enter}";
  return text + "\n";
}

// Every sample card, all its tracks, payment data allowed: typed exactly,
// except the card whose tracks are malformed.  The log stays masked.
TEST_P(X11Wedge, EverySampleCardExactly) {
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) {
    std::string templ;
    const std::string expected = Joined(card, &templ);
    const Swiped run = Swipe(card.key, {"--template", templ, "--allow-payment-data"});
    EXPECT_EQ(run.exit, 0) << card.key << "\n" << run.log;
    if (card.key == "bad-chars") {
      EXPECT_EQ(run.typed, "");
      EXPECT_NE(run.log.find("not typed: {track1}: track 1 is malformed"), std::string::npos) << run.log;
    } else {
      EXPECT_EQ(run.typed, expected) << card.key << "\n" << run.log;
    }
    for (const char* account : kAccounts) EXPECT_EQ(run.log.find(account), std::string::npos) << run.log;
  }
}

// The default template: payment cards are refused and nothing of them is
// typed or logged; the member card (and the card whose check digit fails,
// which is no payment card) is typed.
TEST_P(X11Wedge, DefaultTemplateRefusesPaymentCards) {
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) {
    const Swiped run = Swipe(card.key, {});
    EXPECT_EQ(run.exit, 0) << card.key << "\n" << run.log;
    if (card.key == "member" || card.key == "luhn-fail") {
      EXPECT_EQ(run.typed, card.track2 + "\n") << card.key << "\n" << run.log;
    } else {
      EXPECT_EQ(run.typed, "") << card.key;
      EXPECT_NE(run.log.find("swipe 1 not typed: "), std::string::npos) << run.log;
    }
    for (const char* account : kAccounts) {
      EXPECT_EQ(run.log.find(account), std::string::npos) << run.log;
      if (card.key != "luhn-fail") {
        EXPECT_EQ(run.typed.find(account), std::string::npos) << card.key;
      }
    }
  }
}

// Characters the layout puts on other levels or lacks altogether (typed on a
// spare key, which is emptied again after the swipe), also with Caps Lock on.
TEST_P(X11Wedge, CharactersOfAnyLevelOrNone) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  int low = 0, high = 0, per = 0;
  XDisplayKeycodes(display, &low, &high);
  auto map = [&] {
    KeySym* syms = XGetKeyboardMapping(display, static_cast<KeyCode>(low), high - low + 1, &per);
    std::vector<KeySym> copy(syms, syms + (high - low + 1) * per);
    XFree(syms);
    return copy;
  };
  const std::vector<KeySym> before = map();
  const std::string text = "yz YZ @^`~|\\{}[]<>#'\"$%&*()_+-=/?!;:,. 0123 \u00e9\u00df\u00e4\u20ac\U0001F600";
  std::string templ;
  for (const char c : text) templ += c == '{' ? "{{" : c == '}' ? "}}" : std::string(1, c);
  const Swiped run = Swipe("member", {"--template", templ + "{tab}{name}{enter}", "--key-delay", "0"});
  EXPECT_EQ(run.exit, 0) << run.log;
  EXPECT_EQ(run.typed, "");  // the member card has no name: nothing at all is typed
  const Swiped typed = Swipe("member", {"--template", templ + "{tab}{track1}{enter}", "--key-delay", "0"});
  EXPECT_EQ(typed.typed, text + "\tA000012345^TEST/MEMBER^GOLD CLUB\n") << typed.log;
  // Caps Lock on: the same characters, upper and lower case as written.
  XkbLockModifiers(display, XkbUseCoreKbd, LockMask, LockMask);
  XSync(display, False);
  const Swiped locked = Swipe("member", {"--template", templ + "{tab}{track1}{enter}", "--key-delay", "0"});
  XkbLockModifiers(display, XkbUseCoreKbd, LockMask, 0);
  XSync(display, False);
  EXPECT_EQ(locked.typed, text + "\tA000012345^TEST/MEMBER^GOLD CLUB\n") << locked.log;
  EXPECT_EQ(map(), before);
  XCloseDisplay(display);
}

// Left running, the wedge takes the simulated reader's cards in turn, types
// the ones it may, and ends on SIGTERM with the reader back in command mode.
TEST_P(X11Wedge, RunsUntilStoppedAndRestoresTheMode) {
  Child window({KEY_CATCHER}, true);
  ASSERT_TRUE(
      window.ReadUntil([](const std::string& out) { return out.find("ready\n") != std::string::npos; }));
  Child korvel({KORVEL_PROGRAM, "--simulate", "wedge", "--template", "{track2}{enter}"}, true);
  // visa, mastercard, amex, discover are refused; luhn-fail is typed.
  ASSERT_TRUE(korvel.ReadUntil(
      [](const std::string& out) { return out.find("swipe 5 typed") != std::string::npos; }, 60000))
      << korvel.output();
  kill(korvel.Pid(), SIGTERM);
  const std::string log = korvel.Finish();
  EXPECT_EQ(korvel.Wait(), 130) << log;
  EXPECT_NE(log.find("the reader is back in command mode"), std::string::npos) << log;
  for (int i = 1; i <= 4; ++i)
    EXPECT_NE(log.find("swipe " + std::to_string(i) + " not typed: a payment card"), std::string::npos)
        << log;
  const std::string received = window.Finish();
  EXPECT_EQ(received.substr(received.find("ready\n") + 6, 38), "4111111111111112=29121011000000000000\n");
}

#ifdef KORVELD_PROGRAM
// korvel wedge --service: the swipes of a reader korveld serves, typed with
// the same rules; the service sends them in full only to its reveal_groups.
TEST_P(X11Wedge, SwipesOfAReaderTheServiceServes) {
  char folder[] = "/tmp/korvel-wedge-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder, socket = dir + "/korveld.sock", config = dir + "/korveld.toml";
  korvel::sim::Options options;
  options.link_path = dir + "/desk";
  auto reader = korvel::sim::PtyReader::Start(options);
  ASSERT_TRUE(reader);
  const group* mine = getgrgid(getgid());
  ASSERT_NE(mine, nullptr);
  auto serve = [&](const std::string& groups, const std::string& wedge = "") {
    std::ofstream(config) << "socket = \"" << socket << "\"\nreveal_groups = [" << groups
                          << "]\n[[reader]]\nname = \"desk\"\nport = \"" << options.link_path << "\"\n"
                          << wedge;
    auto service =
        std::make_unique<Child>(std::vector<std::string>{KORVELD_PROGRAM, "--config", config}, true);
    const auto end = Clock::now() + std::chrono::seconds(30);
    for (;;) {  // until the reader is ready
      Child readers({KORVEL_PROGRAM, "service", "--socket", socket, "--json", "readers"}, true);
      if (readers.Finish().find("\"state\":\"ready\"") != std::string::npos || Clock::now() > end) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return service;
  };
  {
    auto service = serve("");
    Child korvel({KORVEL_PROGRAM, "wedge", "--service", "desk", "--socket", socket, "--count", "1"}, true);
    EXPECT_EQ(korvel.Wait(), 1);
    EXPECT_NE(korvel.Finish().find("reveal_groups"), std::string::npos) << korvel.output();
  }
  auto service = serve("\"" + std::string(mine->gr_name) + "\"");
  for (const char* card : {"visa", "member"}) {
    Child window({KEY_CATCHER}, true);
    ASSERT_TRUE(
        window.ReadUntil([](const std::string& out) { return out.find("ready\n") != std::string::npos; }));
    Child korvel({KORVEL_PROGRAM, "wedge", "--service", "desk", "--socket", socket, "--count", "1"}, true);
    ASSERT_TRUE(korvel.ReadUntil([](const std::string& out) {
      return out.find("Ctrl-C") != std::string::npos;
    })) << korvel.output();
    reader->Swipe(*korvel::sim::FindSampleCard(card));
    EXPECT_EQ(korvel.Wait(), 0);
    const std::string log = korvel.Finish(), received = window.Finish();
    const std::string typed = received.substr(received.find("ready\n") + 6);
    if (std::string(card) == "member") {
      EXPECT_EQ(typed, "0000123450000099\n") << log;
    } else {
      EXPECT_EQ(typed, "");
      EXPECT_NE(log.find("swipe 1 not typed: a payment card"), std::string::npos) << log;
    }
    for (const char* account : kAccounts) EXPECT_EQ(log.find(account), std::string::npos) << log;
  }
  service.reset();

  // [reader.wedge]: korveld types the swipes itself, by the same rules; its
  // log says what it refused, never the card data.
  service = serve("", "[reader.wedge]\n");
  for (const char* card : {"visa", "member"}) {
    Child window({KEY_CATCHER}, true);
    ASSERT_TRUE(
        window.ReadUntil([](const std::string& out) { return out.find("ready\n") != std::string::npos; }));
    reader->Swipe(*korvel::sim::FindSampleCard(card));
    const std::string done = std::string(card) == "member" ? "typed (17 keys)" : "not typed: a payment card";
    EXPECT_TRUE(service->ReadUntil([&](const std::string& out) {
      return out.find(done) != std::string::npos;
    })) << service->output();
    const std::string received = window.Finish();
    EXPECT_EQ(received.substr(received.find("ready\n") + 6),
              std::string(card) == "member" ? "0000123450000099\n" : "")
        << service->output();
  }
  kill(service->Pid(), SIGTERM);
  const std::string log = service->Finish();
  for (const char* account : kAccounts) EXPECT_EQ(log.find(account), std::string::npos) << log;
  service.reset();
  std::filesystem::remove_all(dir);
}
#endif

INSTANTIATE_TEST_SUITE_P(Layouts, X11Wedge, testing::Values("us", "de"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param);
                         });

}  // namespace

namespace {

// Without an X display korvel says that Wayland is not covered; bad command
// lines are usage errors that name the fault.  Nothing is opened either way.
TEST(WedgeCommandLine, NoDisplayAndUsageErrors) {
  const struct {
    std::vector<std::string> args;
    const char* wayland;  // WAYLAND_DISPLAY, or null
    int exit;
    const char* message;
  } cases[] = {
      {{"--simulate", "wedge"},
       nullptr,
       1,
       "no X display (DISPLAY is not set): the wedge types on X11 only; "
       "Wayland is not covered"},
      {{"wedge", "/dev/null"}, "wayland-0", 1, "this is a Wayland session without an X display"},
      {{"--simulate", "wedge", "--template", "{track2}{enetr}"},
       nullptr,
       2,
       "--template: unknown field {enetr} at character 9"},
      {{"wedge"}, nullptr, 2, "wedge: PORT is missing (or give --service NAME or --simulate)"},
      {{"wedge", "/dev/null", "--key-delay", "1001"}, nullptr, 2, "--key-delay: '1001' is not a number"},
      {{"wedge", "/dev/null", "--card", "visa"}, nullptr, 2, "--card chooses the simulated reader's card"},
      {{"--simulate", "wedge", "--bogus"}, nullptr, 2, "wedge: unknown option --bogus"},
      {{"--simulate", "wedge", "--service", "desk"},
       nullptr,
       2,
       "--service and --simulate: give one of them"},
      {{"wedge", "/dev/null", "--service", "desk"},
       nullptr,
       2,
       "wedge: a PORT and --service: give one of them"},
      {{"wedge", "/dev/null", "--socket", "/tmp/s"}, nullptr, 2, "--socket goes with --service"},
  };
  unsetenv("DISPLAY");
  for (const auto& c : cases) {
    if (c.wayland != nullptr)
      setenv("WAYLAND_DISPLAY", c.wayland, 1);
    else
      unsetenv("WAYLAND_DISPLAY");
    std::vector<std::string> args = {KORVEL_PROGRAM};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Child korvel(args, true);
    const std::string out = korvel.Finish();
    EXPECT_EQ(korvel.Wait(), c.exit) << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
  }
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
