// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel-net-bench: the library against the simulated reader behind a real
// ser2net on loopback, next to the same reader on its pseudo-terminal.
//
//   exchange round trip   Korvel_Search back to back: direct pty, RFC 2217,
//                         raw TCP (target: within a few ms of the direct port),
//                         through ser2net configured as docs/ser2net.yaml
//                         recommends ("chardelay: false") and with ser2net's
//                         default (it waits for a quiet gap on the serial
//                         line before it sends what it read)
//   CPU while waiting     a 3000 ms wait for a reply that never comes on a
//                         network port, with and without a pump (as
//                         korvel-bench measures it for the pty)
//   scale                 32 readers behind one ser2net ("chardelay: false"
//                         for these and the CPU figures), one thread each,
//                         all at once, next to one reader alone: median
//                         round trip and CPU (target: 32 at once cost no
//                         more than 32 times one)
//
// Usage: korvel-net-bench [--rounds N] [--readers N]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "korvel.h"
#include "korvel_sim.h"
#include "ser2net_server.h"

namespace {

using korvel::bench::Clock;
using korvel::bench::CpuSeconds;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;
using korvel::net_test::Ser2net;
using korvel::sim::Fault;
using korvel::sim::PtyReader;

// User and system time of another process, from /proc.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  size_t at = close + 2;
  while (at < text.size()) {
    const size_t space = text.find(' ', at);
    fields.push_back(text.substr(at, space - at));
    if (space == std::string::npos) break;
    at = space + 1;
  }
  if (fields.size() < 13) return 0;  // fields[11], [12]: utime, stime (14th and 15th of the line)
  return (std::stod(fields[11]) + std::stod(fields[12])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void PrintStats(const char* what, const std::vector<double>& ms) {
  if (ms.empty()) {
    std::printf("  %-30s no successful call\n", what);
    return;
  }
  std::printf("  %-30s n=%-5zu median %7.3f ms   p99 %7.3f ms   min %7.3f   max %7.3f\n", what, ms.size(),
              Percentile(ms, 50), Percentile(ms, 99), *std::min_element(ms.begin(), ms.end()),
              *std::max_element(ms.begin(), ms.end()));
}

// Round trips of Korvel_Search on `handle`; failed calls are counted apart.
std::vector<double> Searches(void* handle, int rounds, int* failures) {
  std::vector<double> ms;
  ms.reserve(static_cast<size_t>(rounds));
  unsigned char mode[10];
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    const int status = Korvel_Search(handle, mode);
    const auto t1 = Clock::now();
    if (status == KORVEL_OK)
      ms.push_back(MsBetween(t0, t1));
    else
      ++*failures;
  }
  return ms;
}

// Opens `name`; ser2net takes a moment to release a device that another of
// its ports used last, and turns connections away meanwhile.
void* OpenWhenFree(const std::string& name) {
  const auto t0 = Clock::now();
  for (;;) {
    void* h = Korvel_CommOpenWithBaud(name.c_str(), 9600);
    if (h != nullptr || Korvel_GetOpenError(nullptr) != KORVEL_OPEN_BUSY ||
        MsBetween(t0, Clock::now()) > 3000)
      return h;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void NoOpPump(void* context) {
  ++*static_cast<long*>(context);
}

void WaitCpu(const char* what, void* handle, PtyReader& reader, bool with_pump) {
  long pumps = 0;
  Korvel_SetMessagePump(handle, with_pump ? NoOpPump : nullptr, &pumps);
  reader.SetFault({Fault::kSilent});
  unsigned char text[30];
  const double cpu0 = CpuSeconds(RUSAGE_THREAD);
  const auto t0 = Clock::now();
  const int status = Korvel_Reset(handle, text);
  const auto t1 = Clock::now();
  const double cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
  reader.SetFault({Fault::kNone});
  Korvel_SetMessagePump(handle, nullptr, nullptr);
  std::printf("  %-24s status %d after %6.0f ms: CPU %.4f s on the calling thread (%.2f %% of a core)%s\n",
              what, status, MsBetween(t0, t1), cpu, 100.0 * cpu / (MsBetween(t0, t1) / 1000.0),
              with_pump ? (", " + std::to_string(pumps) + " pump calls").c_str() : "");
}

struct ScaleResult {
  std::vector<double> ms;
  int failures = 0;
  double library_cpu = 0;  // the calling threads' CPU, summed
  double server_cpu = 0;   // ser2net's CPU
  double wall_ms = 0;
};

// `count` readers behind one ser2net, each driven by its own thread.
ScaleResult Scale(size_t count, int rounds) {
  ScaleResult result;
  std::vector<std::unique_ptr<PtyReader>> readers;
  std::vector<std::string> paths;
  std::string error;
  for (size_t i = 0; i < count; ++i) {
    readers.push_back(PtyReader::Start({}, &error));
    if (!readers.back()) {
      std::fprintf(stderr, "korvel-net-bench: cannot start reader %zu: %s\n", i, error.c_str());
      return result;
    }
    paths.push_back(readers.back()->path());
  }
  auto server = Ser2net::Start(paths, &error);
  if (!server) {
    std::fprintf(stderr, "korvel-net-bench: cannot start ser2net: %s\n", error.c_str());
    return result;
  }
  std::vector<void*> handles;
  for (size_t i = 0; i < count; ++i) {
    handles.push_back(Korvel_CommOpenWithBaud(server->endpoints(i).rfc2217.c_str(), 9600));
    if (handles.back() == nullptr) {
      std::fprintf(stderr, "korvel-net-bench: cannot open %s\n", server->endpoints(i).rfc2217.c_str());
      for (void* h : handles) Korvel_CommClose(h);
      return result;
    }
    int ignored = 0;
    Searches(handles.back(), 10, &ignored);  // warm up
  }
  std::vector<std::vector<double>> per_thread(count);
  std::vector<double> cpu(count, 0);
  std::atomic<int> failures{0};
  const double server_cpu0 = ProcessCpuSeconds(server->pid());
  const auto t0 = Clock::now();
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i)
    threads.emplace_back([&, i] {
      const double c0 = CpuSeconds(RUSAGE_THREAD);
      int failed = 0;
      per_thread[i] = Searches(handles[i], rounds, &failed);
      cpu[i] = CpuSeconds(RUSAGE_THREAD) - c0;
      failures += failed;
    });
  for (auto& t : threads) t.join();
  result.wall_ms = MsBetween(t0, Clock::now());
  result.server_cpu = ProcessCpuSeconds(server->pid()) - server_cpu0;
  for (size_t i = 0; i < count; ++i) {
    result.ms.insert(result.ms.end(), per_thread[i].begin(), per_thread[i].end());
    result.library_cpu += cpu[i];
  }
  result.failures = failures.load();
  for (void* h : handles) Korvel_CommClose(h);
  return result;
}

void PrintScale(size_t count, const ScaleResult& r) {
  const double calls = static_cast<double>(r.ms.size());
  std::printf(
      "  %2zu reader(s): %5zu calls (%d failed) in %7.0f ms, median %6.3f ms, p99 %7.3f ms; CPU: library "
      "%.3f s (%.1f us a call), ser2net %.3f s (%.1f us a call)\n",
      count, r.ms.size(), r.failures, r.wall_ms, Percentile(r.ms, 50), Percentile(r.ms, 99), r.library_cpu,
      calls > 0 ? 1e6 * r.library_cpu / calls : 0.0, r.server_cpu,
      calls > 0 ? 1e6 * r.server_cpu / calls : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1000;
  size_t readers = 32;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--readers") == 0 && i + 1 < argc) {
      readers = static_cast<size_t>(std::max(1, std::atoi(argv[++i])));
    } else {
      std::printf("Usage: korvel-net-bench [--rounds N] [--readers N]\n");
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  if (Ser2net::Program().empty()) {
    std::fprintf(stderr, "korvel-net-bench: ser2net is not installed\n");
    return 1;
  }
  std::string error;
  auto reader = PtyReader::Start({}, &error);
  if (!reader) {
    std::fprintf(stderr, "korvel-net-bench: cannot start the simulated reader: %s\n", error.c_str());
    return 1;
  }
  auto server = Ser2net::Start({reader->path()}, &error);
  if (!server) {
    std::fprintf(stderr, "korvel-net-bench: cannot start ser2net: %s\n", error.c_str());
    return 1;
  }
  std::printf("korvel-net-bench: the simulated reader on %s, directly and behind ser2net on loopback\n\n",
              reader->path().c_str());

  std::printf("Exchange round trip (Korvel_Search, call to return):\n");
  struct Way {
    const char* what;
    const char* brief;
    std::string name;
  };
  const Way ways[] = {{"direct pseudo-terminal", "pty", reader->path()},
                      {"rfc2217://, chardelay: false", "rfc2217", server->endpoints(0).rfc2217},
                      {"tcp://, chardelay: false", "tcp", server->endpoints(0).tcp}};
  // The same reader behind a second ser2net with its default chardelay; it
  // opens the device only while a connection is served.
  auto delaying = Ser2net::Start({reader->path()}, &error, Ser2net::CharDelay::kServerDefault);
  if (!delaying) std::fprintf(stderr, "korvel-net-bench: cannot start a second ser2net: %s\n", error.c_str());
  std::vector<Way> round_trips(std::begin(ways), std::end(ways));
  if (delaying) {
    round_trips.push_back({"rfc2217://, default chardelay", "rfc2217", delaying->endpoints(0).rfc2217});
    round_trips.push_back({"tcp://, default chardelay", "tcp", delaying->endpoints(0).tcp});
  }
  std::printf("  (via ser2net: \"chardelay: false\" is what docs/ser2net.yaml recommends)\n");
  for (const Way& w : round_trips) {
    void* h = OpenWhenFree(w.name);
    if (h == nullptr) {
      std::printf("  %-30s cannot open %s\n", w.what, w.name.c_str());
      continue;
    }
    int failures = 0;
    Searches(h, 50, &failures);  // warm up
    failures = 0;
    const double cpu0 = CpuSeconds(RUSAGE_THREAD);
    const std::vector<double> ms = Searches(h, rounds, &failures);
    const double cpu = CpuSeconds(RUSAGE_THREAD) - cpu0;
    PrintStats(w.what, ms);
    std::printf("  %-30s %d failed, %.1f us of CPU a call on the calling thread\n", "", failures,
                ms.empty() ? 0.0 : 1e6 * cpu / static_cast<double>(ms.size()));
    Korvel_CommClose(h);
  }
  delaying.reset();

  std::printf("\nCPU during a 3000 ms wait for a reply that never comes (target < 0.06 s):\n");
  for (const Way& w : ways) {
    void* h = OpenWhenFree(w.name);
    if (h == nullptr) continue;
    for (bool pump : {false, true})
      WaitCpu((std::string(w.brief) + (pump ? ", with pump" : ", without pump")).c_str(), h, *reader, pump);
    Korvel_CommClose(h);
  }

  const int scale_rounds = std::max(1, rounds / 5);
  std::printf("\nScale: readers behind one ser2net (RFC 2217), one thread each, %d calls per reader:\n",
              scale_rounds);
  const ScaleResult one = Scale(1, scale_rounds);
  PrintScale(1, one);
  const ScaleResult many = Scale(readers, scale_rounds);
  PrintScale(readers, many);
  if (!one.ms.empty() && !many.ms.empty() && one.library_cpu > 0) {
    const double per_one = one.library_cpu / static_cast<double>(one.ms.size());
    const double per_many = many.library_cpu / static_cast<double>(many.ms.size());
    std::printf("  library CPU a call at %zu readers is %.2f times that of one reader alone %s\n", readers,
                per_many / per_one, per_many <= per_one ? "[within target]" : "[over target]");
  }
  return 0;
}
