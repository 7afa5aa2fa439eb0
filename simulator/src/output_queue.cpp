// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "output_queue.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace korvel::sim {
namespace {

// At most this much in one write: a pipe that polls writable takes it whole.
constexpr size_t kChunk = PIPE_BUF;

}  // namespace

struct OutputQueue::Shared {
  Shared(int fd, size_t lines, size_t bytes) : fd(fd), max_lines(lines), max_bytes(bytes) {
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) wake[0] = wake[1] = -1;
  }
  ~Shared() {
    if (wake[0] >= 0) close(wake[0]);
    if (wake[1] >= 0) close(wake[1]);
  }

  const int fd;
  const size_t max_lines;
  const size_t max_bytes;
  int wake[2] = {-1, -1};  // wakes the writer out of its wait for the descriptor

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;  // each with its newline
  size_t bytes = 0;
  size_t dropped = 0;
  bool stop = false;    // Finish was called: write what is left, then leave
  bool broken = false;  // nothing more is written: the descriptor failed, or Finish gave up
  bool done = false;    // the writer has left its loop

  void Wake() const {
    const char c = 1;
    if (wake[1] >= 0) (void)!write(wake[1], &c, 1);
  }

  // Under the lock: the line that says how many lines were dropped, queued
  // where they went missing.
  void TellDropped() {
    if (dropped == 0) return;
    lines.push_back("korvel-sim: " + std::to_string(dropped) +
                    " line(s) of output dropped: the output was not read fast enough\n");
    bytes += lines.back().size();
    dropped = 0;
  }

  void Write() {
    std::string chunk;  // taken from the queue, not yet written
    std::unique_lock<std::mutex> lock(mutex);
    while (!broken) {
      if (chunk.empty()) {
        changed.wait(lock, [&] { return !lines.empty() || stop || broken; });
        if (broken || lines.empty()) break;  // stopped with nothing left
        while (!lines.empty() && (chunk.empty() || chunk.size() + lines.front().size() <= kChunk)) {
          chunk += lines.front();
          bytes -= lines.front().size();
          lines.pop_front();
        }
        TellDropped();  // there is room again
      }
      lock.unlock();
      // Wait until the descriptor takes bytes, or until Finish gives up.
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake[0], POLLIN, 0}};
      const int r = poll(fds, wake[0] >= 0 ? 2 : 1, -1);
      int error = r < 0 ? errno : 0;
      ssize_t n = 0;
      if (r > 0 && (fds[0].revents & POLLNVAL)) {
        error = EBADF;
      } else if (r > 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
        n = write(fd, chunk.data(), std::min(chunk.size(), kChunk));
        error = n < 0 ? errno : 0;
      }
      if (r > 0 && (fds[1].revents & POLLIN)) {
        char drain[64];
        while (read(wake[0], drain, sizeof drain) > 0) {
        }
      }
      lock.lock();
      if (n > 0) chunk.erase(0, static_cast<size_t>(n));
      // Nobody will read any more (EPIPE, EBADF, ...).
      if (error != 0 && error != EAGAIN && error != EINTR) broken = true;
    }
    lines.clear();
    bytes = 0;
    done = true;
    changed.notify_all();
  }
};

OutputQueue::OutputQueue(int fd, size_t max_lines, size_t max_bytes)
    : shared_(std::make_shared<Shared>(fd, max_lines, max_bytes)) {
  writer_ = std::thread([shared = shared_] { shared->Write(); });
}

OutputQueue::~OutputQueue() {
  if (writer_.joinable()) Finish(0);
}

void OutputQueue::Line(std::string line) {
  Shared& s = *shared_;
  line += '\n';
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.broken || s.stop) return;
  if (s.lines.size() >= s.max_lines || s.bytes + line.size() > s.max_bytes) {
    ++s.dropped;
    return;
  }
  s.TellDropped();
  s.bytes += line.size();
  s.lines.push_back(std::move(line));
  s.changed.notify_all();
}

bool OutputQueue::Finish(int wait_ms) {
  if (!writer_.joinable()) return false;
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.TellDropped();
  s.stop = true;
  s.changed.notify_all();
  s.Wake();
  const bool all =
      s.changed.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return s.done; }) && !s.broken;
  if (!s.done) {
    // Give up on what is left: the writer leaves at its next look.
    s.broken = true;
    s.changed.notify_all();
    s.Wake();
    if (!s.changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return s.done; })) {
      lock.unlock();
      writer_.detach();  // stuck in a write: it owns its share of the state
      return false;
    }
  }
  lock.unlock();
  writer_.join();
  return all;
}

}  // namespace korvel::sim
