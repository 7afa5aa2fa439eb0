// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The console on POSIX systems: descriptors, signals and poll().
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "console.h"

namespace korvel::cli::console {

namespace {

std::atomic<bool>* g_stop = nullptr;

void OnSignal(int) {
  if (g_stop != nullptr) g_stop->store(true);
}

int DescriptorOf(Stream stream) {
  return stream == Stream::kOut ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
}

bool PrepareStandardStreams(bool* out_closed) {
  bool ok = true;
  *out_closed = false;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: `fd`, as the ones below it are open.
    const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null != fd) {
      if (null >= 0) close(null);
      ok = false;
    }
    if (fd == STDOUT_FILENO) *out_closed = true;
  }
  // A closed standard output is noticed as a failed write (watch then
  // restores the reader's mode) instead of ending the program.
  signal(SIGPIPE, SIG_IGN);
  return ok;
}

void CatchStopRequests(std::atomic<bool>& stop) {
  g_stop = &stop;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;  // the second signal ends the program
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

long WriteSome(Stream stream, const char* data, size_t size, int wait_ms) {
  pollfd p{DescriptorOf(stream), POLLOUT, 0};
  const int ready = poll(&p, 1, wait_ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  if (ready == 0) return 0;                   // no room yet
  if ((p.revents & POLLOUT) == 0) return -1;  // an error or a hang-up: a pipe whose reader has gone
  // At most PIPE_BUF bytes: a pipe with room takes them without blocking.
  const ssize_t n = write(p.fd, data, std::min<size_t>(size, PIPE_BUF));
  if (n >= 0) return static_cast<long>(n);
  return errno == EINTR || errno == EAGAIN ? 0 : -1;
}

bool Broken(Stream stream) {
  // With no events asked for, poll() still reports an error or a hang-up:
  // a pipe whose reader has gone, a terminal that went away.
  pollfd p{DescriptorOf(stream), 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
}

}  // namespace korvel::cli::console
