// The korvel-sim program: its first line, the link, the control pipe and a
// clean end on "quit" and on SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

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

  // Starts the program with a pipe on its standard input and output.
  void Spawn(std::vector<std::string> args) {
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
    buffer_.clear();
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe2(to_child, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(from_child, O_CLOEXEC), 0);
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

  // Exit status of the program, or -1 when it is still running after 5 s.
  int Exit() {
    for (int i = 0; i < 500; ++i) {
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
  // Commands from the pipe take effect soon, not at once: ask until they do,
  // for a few seconds at most.
  const auto soon = [](auto call, auto done) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = call();
    while (!done(status) && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      status = call();
    }
    return status;
  };
  EXPECT_EQ(soon([&] { return Korvel_Reset(h, text); }, [](int s) { return s != KORVEL_OK; }), 7);
  ASSERT_NO_FATAL_FAILURE(ToPipe("fault none\nmode\n"));  // an unknown command is harmless

  // Standard input ends, but with a control pipe the program goes on.
  close(in_);
  in_ = -1;
  ASSERT_NO_FATAL_FAILURE(ToPipe("swipe 4\n"));
  unsigned char data[300];
  ASSERT_EQ(soon([&] { return Korvel_ReadData(h, data); }, [](int s) { return s == KORVEL_OK; }), KORVEL_OK);
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

}  // namespace
