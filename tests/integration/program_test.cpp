// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The korvel-sim program: its first line, the link, the control pipe and a
// clean end on "quit" and on SIGTERM; fault changes that take effect at
// once; output nobody reads; a control path that is no pipe; over-long
// lines; cards given as track texts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Commands from a pipe take effect soon, not at once: calls `call` until
// `done` says so, for a few seconds at most; returns the last status.
template <typename Call, typename Done>
int Soon(Call call, Done done) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int status = call();
  while (!done(status) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    status = call();
  }
  return status;
}

// The text Korvel_ReadData gives after a swipe of `card` with the reader's
// start-up settings.
std::string Swiped(const korvel::sim::Card& card) {
  const std::vector<uint8_t> bytes = korvel::sim::ReaderModel().TrackBytes(card);
  return std::string(bytes.begin(), bytes.end());
}

std::string ReadData(void* h) {
  unsigned char data[KORVEL_DATA_AREA] = {};
  return Korvel_ReadData(h, data) == KORVEL_OK ? reinterpret_cast<char*>(data) : "";
}

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("korvel-sim-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    link_ = (dir_ / "reader").string();
    fifo_ = (dir_ / "control").string();
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
    fs::remove_all(dir_);
  }

  // Starts the program with a pipe on its standard input and output (of
  // `output_pipe_bytes` when not 0).
  void Spawn(std::vector<std::string> args, int output_pipe_bytes = 0) {
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
    buffer_.clear();
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
    if (output_pipe_bytes > 0) {
      ASSERT_EQ(fcntl(from_child[0], F_SETPIPE_SZ, output_pipe_bytes), output_pipe_bytes);
    }
    args.insert(args.begin(), KORVEL_SIM_PROGRAM);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      // The program must not outlive a test that dies: it would hold the
      // test's output open and keep the test runner waiting.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(to_child[0], STDIN_FILENO);
      dup2(from_child[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    in_ = to_child[1];
    out_ = from_child[0];
  }

  // The next line of the program's output ("" after 5 s or at its end).
  std::string Line() {
    const auto t0 = Clock::now();
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (Clock::now() - t0 > std::chrono::seconds(5) || poll(&p, 1, 100) < 0) return "";
      if (!(p.revents & (POLLIN | POLLHUP))) continue;
      char buf[512];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return "";
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  // Skips output up to the first line that starts with `prefix`.
  bool SeeLine(const std::string& prefix) {
    for (std::string line = Line(); !line.empty(); line = Line())
      if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }

  // Skips output up to the first line that holds `part`.
  bool SeeLineWith(const std::string& part) {
    for (std::string line = Line(); !line.empty(); line = Line())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }

  void ToInput(const std::string& text) {
    ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // Exit status of the program, or -1 when it is still running after 20 s
  // (generous: a sanitizer build on a machine busy with other builds).
  int Exit() {
    for (int i = 0; i < 2000; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void ToPipe(const std::string& text) {
    const int fd = open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
  }

  fs::path dir_;
  std::string link_, fifo_, buffer_;
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
};

TEST_F(SimProgram, ServesTheReaderAndTakesCommandsFromThePipe) {
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--control", fifo_, "--id", "PIPE TEST", "--quiet"}));
  const std::string first = Line();
  ASSERT_EQ(first.rfind("Simulated reader on /dev/pts/", 0), 0u) << first;
  const std::string pty = first.substr(first.find("/dev/pts/"));
  EXPECT_EQ(fs::read_symlink(link_).string(), pty);
  EXPECT_TRUE(fs::is_fifo(fifo_));

  void* h = Korvel_CommOpenWithBaud(link_.c_str(), 9600);
  ASSERT_NE(h, nullptr);
  unsigned char text[30];
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "PIPE TEST");

  // The last line needs no newline: the writer's close ends it.
  ASSERT_NO_FATAL_FAILURE(ToPipe("fault refuse 07"));
  EXPECT_EQ(Soon([&] { return Korvel_Reset(h, text); }, [](int s) { return s != KORVEL_OK; }), 7);
  ASSERT_NO_FATAL_FAILURE(ToPipe("fault none\nmode\n"));  // an unknown command is harmless

  // Standard input ends, but with a control pipe the program goes on.
  close(in_);
  in_ = -1;
  ASSERT_NO_FATAL_FAILURE(ToPipe("swipe 4\n"));
  unsigned char data[300];
  ASSERT_EQ(Soon([&] { return Korvel_ReadData(h, data); }, [](int s) { return s == KORVEL_OK; }), KORVEL_OK);
  EXPECT_EQ(data[0], ';');
  Korvel_CommClose(h);

  ASSERT_NO_FATAL_FAILURE(ToPipe("quit\n"));
  EXPECT_EQ(Exit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(fifo_)));
}

TEST_F(SimProgram, HearsEveryWriterOfThePipe) {
  // Writers that come one after the other, each closing before the next
  // opens, race the program's reopening of the pipe: none may be lost.
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--control", fifo_, "--quiet"}));
  ASSERT_EQ(Line().rfind("Simulated reader on ", 0), 0u);
  constexpr int kWriters = 300;
  for (int i = 0; i < kWriters; ++i)
    ASSERT_NO_FATAL_FAILURE(ToPipe("no-such-command-" + std::to_string(i) + "\n"));
  int heard = 0;
  while (heard < kWriters && SeeLine("Unknown command 'no-such-command-")) ++heard;
  EXPECT_EQ(heard, kWriters);
}

TEST_F(SimProgram, EndsCleanlyOnSigtermAndAtTheEndOfItsInput) {
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--control", fifo_, "--quiet"}));
  ASSERT_EQ(Line().rfind("Simulated reader on ", 0), 0u);
  kill(pid_, SIGTERM);
  EXPECT_EQ(Exit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
  EXPECT_FALSE(fs::exists(fs::symlink_status(fifo_)));

  // Without a control pipe the end of standard input ends the program.
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--quiet"}));
  ASSERT_EQ(Line().rfind("Simulated reader on ", 0), 0u);
  const std::string cmd = "state\n";
  ASSERT_EQ(write(in_, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
  EXPECT_TRUE(SeeLine("pty:"));
  close(in_);
  in_ = -1;
  EXPECT_EQ(Exit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(SimProgram, AFaultChangeTakesEffectAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_}));
  ASSERT_TRUE(SeeLine("Simulated reader on "));
  void* h = Korvel_CommOpenWithBaud(link_.c_str(), 9600);
  ASSERT_NE(h, nullptr);

  // A reply held back for 20 s goes out as soon as the fault is cleared,
  // within the library's 3000 ms wait for it.
  ASSERT_NO_FATAL_FAILURE(ToInput("fault slow 20000\nstate\n"));
  ASSERT_TRUE(SeeLine("fault:"));  // 'state' shows the fault in effect
  auto reset = std::async(std::launch::async, [h] {
    unsigned char text[KORVEL_VERSION_AREA];
    return Korvel_Reset(h, text);
  });
  ASSERT_TRUE(SeeLineWith("reply delayed by 20000 ms"));
  ASSERT_NO_FATAL_FAILURE(ToInput("fault none\n"));
  EXPECT_EQ(reset.get(), KORVEL_OK);

  // The mode query answered with a chosen mode byte.
  ASSERT_NO_FATAL_FAILURE(ToInput("fault mode 7f\n"));
  unsigned char mode[KORVEL_MODE_AREA];
  EXPECT_EQ(Soon([&] { return Korvel_Search(h, mode) == KORVEL_OK ? mode[0] : -1; },
                 [](int m) { return m == 0x7F; }),
            0x7F);
  Korvel_CommClose(h);
}

TEST_F(SimProgram, KeepsServingAndEndsOnSigtermWhileNobodyReadsItsOutput) {
  // Traffic lines into a small pipe that nobody empties.
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_}, 4096));
  ASSERT_TRUE(SeeLine("Simulated reader on "));
  void* h = Korvel_CommOpenWithBaud(link_.c_str(), 9600);
  ASSERT_NE(h, nullptr);
  const korvel::sim::Card& card = korvel::sim::SampleCards()[3];
  // Many more lines than the pipe and the program's queue hold, then a swipe
  // that shows when the program has got through them.
  const auto flood = [&] {
    std::string swipes;
    for (int i = 0; i < 3000; ++i) swipes += "swipe 1\n";
    ToInput(swipes + "swipe " + card.key + "\n");
  };
  ASSERT_NO_FATAL_FAILURE(flood());
  EXPECT_EQ(Soon([&] { return ReadData(h) == Swiped(card) ? 0 : 1; }, [](int s) { return s == 0; }), 0);
  unsigned char text[KORVEL_VERSION_AREA];
  for (int i = 0; i < 20; ++i) ASSERT_EQ(Korvel_Reset(h, text), KORVEL_OK) << i;

  // Read again: a line says how many lines were lost.
  EXPECT_TRUE(SeeLineWith("line(s) of output dropped"));

  // Block it again; a signal still ends the program, cleanly.
  ASSERT_NO_FATAL_FAILURE(ToInput("swipe 1\n"));
  ASSERT_NO_FATAL_FAILURE(flood());
  EXPECT_EQ(Soon([&] { return ReadData(h) == Swiped(card) ? 0 : 1; }, [](int s) { return s == 0; }), 0);
  Korvel_CommClose(h);
  kill(pid_, SIGTERM);
  EXPECT_EQ(Exit(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(SimProgram, ReadsNothingButANamedPipeAndRemovesOnlyItsOwn) {
  // A regular file at the start is refused.
  const std::string file = (dir_ / "commands").string();
  std::ofstream(file) << "fault silent\n";
  ASSERT_NO_FATAL_FAILURE(Spawn({"--control", file, "--quiet"}));
  EXPECT_EQ(Exit(), 1);
  EXPECT_TRUE(fs::is_regular_file(file));

  // A regular file put in the pipe's place while the program runs: it is
  // never read, and never removed.
  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--control", fifo_, "--quiet"}));
  ASSERT_TRUE(SeeLine("Simulated reader on "));
  const int writer = open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  fs::rename(file, fifo_);
  close(writer);  // the program reads the end, and opens the path afresh
  EXPECT_TRUE(SeeLineWith(fifo_ + " is not a named pipe"));
  void* h = Korvel_CommOpenWithBaud(link_.c_str(), 9600);
  ASSERT_NE(h, nullptr);
  unsigned char text[KORVEL_VERSION_AREA];
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);  // "fault silent" was not run
  Korvel_CommClose(h);
  ASSERT_NO_FATAL_FAILURE(ToInput("quit\n"));
  EXPECT_EQ(Exit(), 0);
  EXPECT_TRUE(fs::is_regular_file(fifo_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
}

TEST_F(SimProgram, IgnoresAnOverlongLineWithOneMessage) {
  ASSERT_NO_FATAL_FAILURE(Spawn({"--quiet"}));
  ASSERT_TRUE(SeeLine("Reader at "));
  ASSERT_NO_FATAL_FAILURE(ToInput(std::string(100000, 'x') + "\nstate\n"));
  EXPECT_EQ(Line(), "korvel-sim: 1 line(s) longer than 4096 bytes ignored");
  EXPECT_EQ(Line().rfind("pty:", 0), 0u);
  ASSERT_TRUE(SeeLine("fault:"));  // the last line of 'state'
  // A line just within the limit is still a command.
  ASSERT_NO_FATAL_FAILURE(ToInput("state" + std::string(4096 - 5, ' ') + "\n"));
  EXPECT_EQ(Line().rfind("pty:", 0), 0u);
  close(in_);
  in_ = -1;
  EXPECT_EQ(Exit(), 0);
}

TEST_F(SimProgram, SwipesCardsGivenAsTrackTexts) {
  korvel::sim::Card own;
  own.track1 = "B4111111111111111^TEST/OWN CARD^2912";
  own.track2 = "4111111111111111=2912";
  ASSERT_NO_FATAL_FAILURE(Spawn({"--card", "4111=2912"}));
  EXPECT_EQ(Exit(), 2);

  ASSERT_NO_FATAL_FAILURE(Spawn({"--link", link_, "--control", fifo_, "--quiet", "--card",
                                 "1=" + own.track1 + " 2=" + own.track2, "--card", "3=1"}));
  ASSERT_TRUE(SeeLine("Simulated reader on "));
  void* h = Korvel_CommOpenWithBaud(link_.c_str(), 9600);
  ASSERT_NE(h, nullptr);
  const auto swiped = [&](const korvel::sim::Card& card) {
    return Soon([&] { return ReadData(h) == Swiped(card) ? 0 : 1; }, [](int s) { return s == 0; }) == 0;
  };

  // 'swipe' alone swipes the first own card; 'swipe KEY' a named one.
  ASSERT_NO_FATAL_FAILURE(ToInput("swipe\n"));
  EXPECT_TRUE(swiped(own));
  ASSERT_NO_FATAL_FAILURE(ToInput("swipe expired\n"));
  EXPECT_TRUE(swiped(*korvel::sim::FindSampleCard("expired")));
  ASSERT_NO_FATAL_FAILURE(ToInput("swipe card-2\n"));
  EXPECT_TRUE(swiped(korvel::sim::Card{"", "", "", "1"}));

  // Any bytes, from the control pipe.
  ASSERT_NO_FATAL_FAILURE(ToPipe("swipe-tracks 3=\\x01\\\\x 2=5555555555554444=3005\n"));
  EXPECT_TRUE(swiped(korvel::sim::Card{"", "", "5555555555554444=3005", "\x01\\x"}));
  Korvel_CommClose(h);
}

}  // namespace
