// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel-sim's output queue: lines into a pipe that nobody reads are
// dropped and counted, never waited for; what arrives is in order, with a
// line for each gap that says how many lines went missing there.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "output_queue.h"

namespace korvel::sim {
namespace {

class OutputQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe2(pipe_, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(pipe_[1], F_SETPIPE_SZ, 4096), 4096);
  }
  void TearDown() override {
    for (int fd : pipe_)
      if (fd >= 0) close(fd);
  }

  // Everything written to the pipe until its write end is closed, as lines.
  std::vector<std::string> ReadAll() {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(pipe_[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    std::vector<std::string> lines;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
      lines.push_back(text.substr(at, nl - at));
    return lines;
  }

  int pipe_[2] = {-1, -1};
};

TEST_F(OutputQueueTest, DropsWhatDoesNotFitAndSaysHowManyWhereTheyWent) {
  constexpr int kLines = 1000;
  const std::string pad(1000, '.');
  OutputQueue out(pipe_[1], 10, 1 << 20);
  // Far more than the pipe and the queue hold, with nobody reading.
  for (int i = 0; i < kLines; ++i) out.Line(std::to_string(i) + " " + pad);

  std::vector<std::string> lines;
  std::thread reader([&] { lines = ReadAll(); });
  EXPECT_TRUE(out.Finish(60000));
  close(pipe_[1]);
  pipe_[1] = -1;
  reader.join();

  // Every line is there in order, or counted in a gap's line.
  const std::string dropped = " line(s) of output dropped: the output was not read fast enough";
  int next = 0, gaps = 0;
  for (const std::string& line : lines) {
    const size_t at = line.find(dropped);
    if (line.rfind("korvel-sim: ", 0) == 0 && at != std::string::npos) {
      next += std::stoi(line.substr(12, at - 12));
      ++gaps;
      continue;
    }
    ASSERT_EQ(line, std::to_string(next) + " " + pad);
    ++next;
  }
  EXPECT_EQ(next, kLines);
  EXPECT_GE(gaps, 1);
}

TEST_F(OutputQueueTest, FinishGivesUpOnOutputNobodyReads) {
  OutputQueue out(pipe_[1], 100, 1 << 20);
  for (int i = 0; i < 50; ++i) out.Line(std::string(1000, 'x'));
  EXPECT_FALSE(out.Finish(0));
  out.Line("after the end");  // dropped, not queued
  close(pipe_[1]);
  pipe_[1] = -1;
  for (const std::string& line : ReadAll()) EXPECT_EQ(line, std::string(1000, 'x'));
}

}  // namespace
}  // namespace korvel::sim
