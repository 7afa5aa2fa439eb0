// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld's numbers: the time from a swipe's last byte to its arrival at a
// client (delivered as soon as it is whole, and after the quiet time), the
// CPU the idle service uses with 32 readers, and one swipe fanned out to 200
// clients.  Starts the built korveld against simulated readers.
//   korveld-bench [KORVELD]
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "korvel_sim.h"
#include "korveld_process.h"

namespace {

using korvel::bench::Clock;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;
using korvel::sim::PtyReader;

// A client of the socket that looks for lines holding a text.
class Client : public korvel::service_test::LineClient {
 public:
  using LineClient::LineClient;
  bool ok() const { return connected() && sent_; }
  void Send(const std::string& line) { sent_ = sent_ && SendRaw(line); }
  // Takes the lines already there; true when one holds `text`.
  bool Take(const std::string& text) {
    while (const auto line = NextLine(0))
      if (line->find(text) != std::string::npos) return true;
    return false;
  }
  bool WaitFor(const std::string& text, int ms) { return WaitForLine(text, ms); }

 private:
  bool sent_ = true;
};

// korveld with readers behind links in a folder of its own.
class Service {
 public:
  Service(const char* program, const std::vector<std::string>& reader_tables)
      : dir_(korvel::service_test::MakeTempFolder("korveld-bench")), socket_(dir_ + "/s.sock") {
    std::ofstream config(dir_ + "/korveld.toml");
    config << "socket = \"" << socket_ << "\"\nclient_queue = 1000\n";
    for (const std::string& table : reader_tables) config << table;
    config.close();
    process_.Start(program, dir_ + "/korveld.toml", dir_ + "/log");
  }
  ~Service() {
    process_.Stop();
    std::filesystem::remove_all(dir_);
  }
  const std::string& socket() const { return socket_; }
  // Waits until `count` readers are ready.
  bool Ready(size_t count) {
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < end) {
      Client client(socket_);
      if (client.ok()) {
        client.Send("{\"request\":\"subscribe\"}\n");
        size_t ready = 0;
        while (ready < count && client.WaitFor("\"state\":\"ready\"", 500)) ++ready;
        if (ready == count) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  // The service's CPU time (user + system), in seconds.
  double CpuSeconds() const {
    std::ifstream in("/proc/" + std::to_string(process_.pid()) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
      if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
  }

 private:
  std::string dir_, socket_;
  korvel::service_test::KorveldProcess process_;
};

std::unique_ptr<PtyReader> Reader(const std::string& link) {
  korvel::sim::Options options;
  options.link_path = link;
  std::string error;
  auto reader = PtyReader::Start(options, &error);
  if (!reader) std::fprintf(stderr, "korveld-bench: the simulated reader did not start: %s\n", error.c_str());
  return reader;
}

std::string Table(const std::string& name, const std::string& port, const std::string& extra = "") {
  return "[[reader]]\nname = \"" + name + "\"\nport = \"" + port + "\"\n" + extra;
}

void Latency(const char* program) {
  std::printf("Last byte to client (a visa sample card, tracks 1 and 2):\n");
  for (bool early : {true, false}) {
    std::vector<double> ms;
    {
      char dir[] = "/tmp/korveld-bench-link-XXXXXX";
      const std::string links = mkdtemp(dir);
      auto reader = Reader(links + "/r");
      if (!reader) return;
      Service service(program,
                      {Table("r", links + "/r", early ? "tracks = [1, 2]\nsentinels = \"%?;?+?71\"\n" : "")});
      if (!service.Ready(1)) {
        std::printf("  the service did not get ready\n");
        return;
      }
      Client client(service.socket());
      client.Send("{\"request\":\"subscribe\"}\n");
      client.WaitFor("\"event\":\"result\"", 2000);
      for (int i = 0; i < 40; ++i) {
        reader->Swipe(0);
        reader->WaitIdle(2000);  // every byte written: the last byte's time
        const auto last_byte = Clock::now();
        if (!client.WaitFor("\"event\":\"swipe\"", 5000)) break;
        ms.push_back(MsBetween(last_byte, Clock::now()));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      std::filesystem::remove_all(links);
    }
    std::printf("  %-36s median %6.2f ms, p90 %6.2f ms, max %6.2f ms (%zu swipes)\n",
                early ? "complete by sentinels (tracks set):" : "quiet time (tracks not set):",
                Percentile(ms, 50), Percentile(ms, 90), Percentile(ms, 100), ms.size());
  }
}

void IdleCpu(const char* program) {
  char dir[] = "/tmp/korveld-bench-link-XXXXXX";
  const std::string links = mkdtemp(dir);
  std::vector<std::unique_ptr<PtyReader>> readers;
  std::vector<std::string> tables;
  for (int i = 0; i < 32; ++i) {
    const std::string link = links + "/r" + std::to_string(i);
    readers.push_back(Reader(link));
    if (!readers.back()) return;
    tables.push_back(Table("r" + std::to_string(i), link, "tracks = [1, 2]\n"));
  }
  {
    Service service(program, tables);
    if (!service.Ready(32)) {
      std::printf("Idle CPU: the 32 readers did not get ready\n");
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double cpu = service.CpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double used = service.CpuSeconds() - cpu;
    const double seconds = MsBetween(start, Clock::now()) / 1000;
    std::printf("Idle CPU with 32 ready readers: %.3f%% of a core (%.3f s in %.1f s)\n", 100 * used / seconds,
                used, seconds);
  }
  std::filesystem::remove_all(links);
}

void FanOut(const char* program) {
  char dir[] = "/tmp/korveld-bench-link-XXXXXX";
  const std::string links = mkdtemp(dir);
  auto reader = Reader(links + "/r");
  if (!reader) return;
  {
    Service service(program, {Table("r", links + "/r", "tracks = [1, 2]\nsentinels = \"%?;?+?71\"\n")});
    if (!service.Ready(1)) return;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 200; ++i) {
      clients.push_back(std::make_unique<Client>(service.socket()));
      clients.back()->Send("{\"request\":\"subscribe\"}\n");
    }
    for (auto& client : clients) client->WaitFor("\"event\":\"result\"", 5000);
    std::vector<double> spreads;
    for (int round = 0; round < 10; ++round) {
      reader->Swipe(0);
      std::vector<bool> got(clients.size(), false);
      size_t count = 0;
      Clock::time_point first{}, last{};
      const auto end = Clock::now() + std::chrono::seconds(5);
      std::vector<pollfd> fds;
      for (auto& client : clients) fds.push_back({client->fd(), POLLIN, 0});
      while (count < clients.size() && Clock::now() < end) {
        poll(fds.data(), fds.size(), 50);
        for (size_t i = 0; i < clients.size(); ++i)
          if (!got[i] && (fds[i].revents & POLLIN) != 0 && clients[i]->Take("\"event\":\"swipe\"")) {
            got[i] = true;
            const auto now = Clock::now();
            if (count++ == 0) first = now;
            last = now;
            fds[i].events = 0;
          }
      }
      if (count < clients.size()) {
        std::printf("Fan-out: only %zu of 200 clients got the swipe\n", count);
        break;
      }
      spreads.push_back(MsBetween(first, last));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    std::printf(
        "Fan-out of one swipe to 200 clients, first to last: median %.2f ms, max %.2f ms (%zu swipes)\n",
        Percentile(spreads, 50), Percentile(spreads, 100), spreads.size());
  }
  std::filesystem::remove_all(links);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const char* program = argc > 1 ? argv[1] : KORVELD_PROGRAM;
  Latency(program);
  FanOut(program);
  IdleCpu(program);
  return 0;
}
