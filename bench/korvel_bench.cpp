// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel-bench: numbers for the library against the simulated reader on a
// pseudo-terminal.
//
//   exchange round trip   framed commands back to back: median and p99
//   CPU while waiting     a 3000 ms wait for a reply that never comes, with
//                         and without a message pump (target: under 2 % of
//                         one core, i.e. under 0.06 s of CPU)
//   pump interval         the gaps between pump runs during a 3000 ms wait
//                         (the header promises at most 10 ms)
//   waiting for swipes    Korvel_WaitTrack with nobody swiping: CPU per
//                         second of waiting (target: under 0.1 % of a core)
//   capture latency       from a burst's last byte on the line to
//                         Korvel_GetTrack's return (one 50 ms settle step
//                         is the floor)
//
// Usage: korvel-bench [--rounds N] [--captures N] [--idle SECONDS]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "korvel.h"
#include "korvel_sim.h"

namespace {

using korvel::bench::Clock;
using korvel::bench::CpuSeconds;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;
using korvel::sim::Fault;
using korvel::sim::FaultSettings;
using korvel::sim::PtyReader;

void PrintStats(const char* what, const std::vector<double>& ms) {
  std::printf("  %-28s n=%-5zu median %7.3f ms   p99 %7.3f ms   min %7.3f   max %7.3f\n", what, ms.size(),
              Percentile(ms, 50), Percentile(ms, 99), *std::min_element(ms.begin(), ms.end()),
              *std::max_element(ms.begin(), ms.end()));
}

struct Bench {
  std::unique_ptr<PtyReader> reader;
  void* handle = nullptr;

  bool Start() {
    std::string error;
    reader = PtyReader::Start({}, &error);
    if (!reader) {
      std::fprintf(stderr, "korvel-bench: cannot start the simulated reader: %s\n", error.c_str());
      return false;
    }
    handle = Korvel_CommOpenWithBaud(reader->path().c_str(), 9600);
    if (handle == nullptr) {
      std::fprintf(stderr, "korvel-bench: cannot open %s\n", reader->path().c_str());
      return false;
    }
    return true;
  }
  ~Bench() {
    if (handle != nullptr) Korvel_CommClose(handle);
  }
};

std::vector<double> TimeCalls(int rounds, const std::function<int()>& call) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    const int status = call();
    const auto t1 = Clock::now();
    if (status != KORVEL_OK) {
      std::fprintf(stderr, "korvel-bench: a call failed: %s\n", Korvel_StatusText(status));
      continue;
    }
    ms.push_back(MsBetween(t0, t1));
  }
  return ms;
}

void NoOpPump(void* context) {
  ++*static_cast<long*>(context);
}

void WaitCpu(Bench& b, bool with_pump, Fault fault = Fault::kSilent) {
  long pumps = 0;
  Korvel_SetMessagePump(b.handle, with_pump ? NoOpPump : nullptr, &pumps);
  b.reader->SetFault({fault});
  unsigned char text[30];
  const double thread0 = CpuSeconds(RUSAGE_THREAD);
  const double process0 = CpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  const int status = Korvel_Reset(b.handle, text);
  const auto t1 = Clock::now();
  const double thread_cpu = CpuSeconds(RUSAGE_THREAD) - thread0;
  const double process_cpu = CpuSeconds(RUSAGE_SELF) - process0;
  b.reader->SetFault({Fault::kNone});
  Korvel_SetMessagePump(b.handle, nullptr, nullptr);
  std::printf(
      "  %-14s status %d after %6.0f ms: CPU %.4f s on the calling thread (%.2f %% of a core), "
      "%.4f s in the process%s  %s\n",
      fault == Fault::kCutShort ? "reply cut"
      : with_pump               ? "with pump"
                                : "without pump",
      status, MsBetween(t0, t1), thread_cpu, 100.0 * thread_cpu / (MsBetween(t0, t1) / 1000.0), process_cpu,
      with_pump ? (", " + std::to_string(pumps) + " pump calls").c_str() : "",
      thread_cpu < 0.06 ? "[under target]" : "[OVER TARGET 0.06 s]");
}

struct PumpGaps {
  Clock::time_point last{};
  std::vector<double> gaps;
  static void Run(void* context) {
    auto* p = static_cast<PumpGaps*>(context);
    const auto now = Clock::now();
    if (p->last != Clock::time_point{}) p->gaps.push_back(MsBetween(p->last, now));
    p->last = now;
  }
};

void PumpInterval(Bench& b) {
  PumpGaps pump;
  Korvel_SetMessagePump(b.handle, &PumpGaps::Run, &pump);
  b.reader->SetFault({Fault::kSilent});
  unsigned char text[30];
  Korvel_Reset(b.handle, text);
  b.reader->SetFault({Fault::kNone});
  Korvel_SetMessagePump(b.handle, nullptr, nullptr);
  PrintStats("gap between pump runs", pump.gaps);
  const auto over = std::count_if(pump.gaps.begin(), pump.gaps.end(), [](double g) { return g > 10.0; });
  std::printf("  %ld of %zu gaps over 10 ms\n", static_cast<long>(over), pump.gaps.size());
}

void IdleWait(Bench& b, int seconds) {
  if (Korvel_ReadMode(b.handle, KORVEL_MODE_ACTIVE) != KORVEL_OK) {
    std::fprintf(stderr, "korvel-bench: cannot switch to active mode\n");
    return;
  }
  unsigned char data[300];
  for (bool with_pump : {false, true}) {
    long pumps = 0;
    Korvel_SetMessagePump(b.handle, with_pump ? NoOpPump : nullptr, &pumps);
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    const auto t0 = Clock::now();
    const int status = Korvel_WaitTrack(b.handle, data, static_cast<uint32_t>(seconds) * 1000u);
    const double wall = MsBetween(t0, Clock::now()) / 1000.0;
    const double cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
    Korvel_SetMessagePump(b.handle, nullptr, nullptr);
    const double percent = 100.0 * cpu / wall;
    std::printf("  %-14s status %d after %5.1f s: CPU %.4f s (%.3f %% of a core)  %s\n",
                with_pump ? "with pump" : "without pump", status, wall, cpu, percent,
                with_pump ? "[a pump is run every 5 ms by design]"
                          : (percent < 0.1 ? "[under target 0.1 %]" : "[OVER TARGET 0.1 %]"));
  }
  Korvel_ReadMode(b.handle, KORVEL_MODE_COMMAND);
}

void CaptureLatency(Bench& b, int captures) {
  if (Korvel_ReadMode(b.handle, KORVEL_MODE_ACTIVE) != KORVEL_OK) {
    std::fprintf(stderr, "korvel-bench: cannot switch to active mode\n");
    return;
  }
  for (size_t size : {40u, 300u}) {
    std::vector<uint8_t> burst(size);
    for (size_t i = 0; i < size; ++i) burst[i] = static_cast<uint8_t>('0' + i % 10);
    std::vector<double> ms;
    for (int i = 0; i < captures; ++i) {
      unsigned char data[300];
      // The server writes the whole burst at once as soon as it is woken:
      // the time of Inject is the time of the last byte (within its wake-up).
      const auto t0 = Clock::now();
      b.reader->Inject(burst);
      int status;
      while ((status = Korvel_GetTrack(b.handle, data)) == KORVEL_E_EMPTY)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      const auto t1 = Clock::now();
      if (status == KORVEL_OK) ms.push_back(MsBetween(t0, t1));
    }
    if (!ms.empty()) PrintStats((std::to_string(size) + "-byte burst").c_str(), ms);
  }
  Korvel_ReadMode(b.handle, KORVEL_MODE_COMMAND);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1000;
  int captures = 20;
  int idle = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--captures") == 0 && i + 1 < argc) {
      captures = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--idle") == 0 && i + 1 < argc) {
      idle = std::max(1, std::atoi(argv[++i]));
    } else {
      std::printf("Usage: korvel-bench [--rounds N] [--captures N] [--idle SECONDS]\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }

  Bench b;
  if (!b.Start()) return 1;
  std::printf("korvel-bench: library against the simulated reader on %s (9600 baud, no line timing)\n\n",
              b.reader->path().c_str());

  std::printf("Exchange round trip (framed command, call to return):\n");
  unsigned char area[300];
  TimeCalls(50, [&] { return Korvel_Search(b.handle, area); });  // warm up
  PrintStats("Korvel_Search (8-byte reply)",
             TimeCalls(rounds, [&] { return Korvel_Search(b.handle, area); }));
  PrintStats("Korvel_Reset (19-byte reply)", TimeCalls(rounds, [&] { return Korvel_Reset(b.handle, area); }));
  b.reader->Swipe(1);
  PrintStats("Korvel_ReadData (203-byte)",
             TimeCalls(rounds, [&] { return Korvel_ReadData(b.handle, area); }));

  std::printf("\nCPU during a 3000 ms wait for a reply that never comes (target < 0.06 s):\n");
  WaitCpu(b, false);
  WaitCpu(b, true);
  std::printf("  (and a reply that starts but never ends: 3000 ms for its rest, with pump)\n");
  WaitCpu(b, true, Fault::kCutShort);

  std::printf("\nPump interval during a 3000 ms wait (promised: at most 10 ms):\n");
  PumpInterval(b);

  std::printf("\nWaiting for swipes (Korvel_WaitTrack, %d s with nobody swiping):\n", idle);
  IdleWait(b, idle);

  std::printf("\nCapture latency (burst's last byte to Korvel_GetTrack's return):\n");
  CaptureLatency(b, captures);
  return 0;
}
