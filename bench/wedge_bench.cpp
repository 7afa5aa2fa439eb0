// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel-wedge-bench: how long a swipe takes to arrive as keys.  An X server
// of its own (Xvfb), a window of its own with the focus, the simulated reader
// on a pseudo-terminal pacing its bytes at 9600 baud, and korvel wedge
// between them.  Prints, for each key delay, the time from the swipe to the
// window's last character (median and p99) with the default template on the
// member card (17 keys), and the same for a template whose characters the
// layout lacks (typed on a spare key).
//
// Usage: korvel-wedge-bench [--rounds N]        (needs Xvfb)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "korvel_sim.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using korvel::bench::Clock;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;

pid_t Spawn(std::vector<std::string> args, int fd3 = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (fd3 >= 0) dup2(fd3, 3);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Starts Xvfb on a free display and returns its name, or empty.
std::string StartX(pid_t* pid) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  *pid = Spawn({"Xvfb", "-displayfd", "3", "-noreset", "-nolisten", "tcp"}, fds[1]);
  close(fds[1]);
  std::string number;
  char c;
  pollfd p{fds[0], POLLIN, 0};
  while (poll(&p, 1, 30000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  close(fds[0]);
  return number.empty() ? "" : ":" + number;
}

// Keys that type something, until `count` have come or 10 s passed.
bool ReceiveKeys(Display* display, size_t count) {
  const auto end = Clock::now() + std::chrono::seconds(10);
  size_t received = 0;
  while (received < count) {
    while (XPending(display) > 0 && received < count) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
      if (event.type != KeyPress) continue;
      KeySym sym = NoSymbol;
      char bytes[32];
      XLookupString(&event.xkey, bytes, sizeof bytes, &sym, nullptr);
      if (!IsModifierKey(sym)) ++received;
    }
    if (received >= count) break;
    if (Clock::now() > end) return false;
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, 100);
  }
  return true;
}

void Measure(Display* display, korvel::sim::PtyReader& reader, size_t card, const std::string& templ,
             size_t keys, int delay_ms, int rounds) {
  const pid_t korvel = Spawn(
      {KORVEL_PROGRAM, "wedge", reader.path(), "--template", templ, "--key-delay", std::to_string(delay_ms)});
  const auto ready_by = Clock::now() + std::chrono::seconds(10);
  while (reader.State().mode != '0' && Clock::now() < ready_by) usleep(1000);
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    reader.Swipe(card);
    if (!ReceiveKeys(display, keys)) {
      std::printf("  (a swipe did not arrive in 10 s)\n");
      break;
    }
    ms.push_back(MsBetween(start, Clock::now()));
  }
  kill(korvel, SIGTERM);
  waitpid(korvel, nullptr, 0);
  std::printf("  delay %2d ms: median %7.1f ms, p99 %7.1f ms (%zu swipes of %zu keys: %s)\n", delay_ms,
              Percentile(ms, 50), Percentile(ms, 99), ms.size(), keys, templ.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  pid_t x = -1;
  const std::string name = StartX(&x);
  if (name.empty()) {
    std::fprintf(stderr, "korvel-wedge-bench: Xvfb did not start\n");
    return 1;
  }
  setenv("DISPLAY", name.c_str(), 1);
  Display* display = XOpenDisplay(nullptr);
  const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 40, 0, 0, 0);
  XSelectInput(display, window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
  XMapRaised(display, window);
  for (bool focused = false; !focused;) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MapNotify) XSetInputFocus(display, window, RevertToParent, CurrentTime);
    focused = event.type == FocusIn;
  }
  korvel::sim::Options options;
  options.line_timing = true;
  std::string error;
  auto reader = korvel::sim::PtyReader::Start(options, &error);
  if (!reader) {
    std::fprintf(stderr, "korvel-wedge-bench: the simulated reader did not start: %s\n", error.c_str());
    return 1;
  }
  size_t member = 0;
  while (korvel::sim::SampleCards()[member].key != "member") ++member;
  std::printf("korvel wedge: from a swipe (9600 baud) to the last character in the window, %d swipes\n",
              rounds);
  for (const int delay : {0, 5}) Measure(display, *reader, member, "{track2}{enter}", 17, delay, rounds);
  Measure(display, *reader, member, "\u00a7\u20ac{track2}{enter}", 19, 5, rounds);
  XCloseDisplay(display);
  reader.reset();
  kill(x, SIGTERM);
  waitpid(x, nullptr, 0);
  return 0;
}
