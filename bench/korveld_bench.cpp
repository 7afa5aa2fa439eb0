// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld's numbers: the time from a swipe's last byte to its arrival at a
// client (delivered as soon as it is whole, and after the quiet time), the
// CPU the idle service uses with 32 readers, and one swipe fanned out to 200
// clients.  Starts the built korveld against simulated readers.
//   korveld-bench [KORVELD]
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
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

namespace {

using korvel::bench::Clock;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;
using korvel::sim::PtyReader;

// A connected client that reads lines.
class Client {
 public:
  explicit Client(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~Client() { close(fd_); }
  bool ok() const { return ok_; }
  int fd() const { return fd_; }
  void Send(const std::string& line) { ok_ = ok_ && send(fd_, line.data(), line.size(), MSG_NOSIGNAL) > 0; }
  // Reads what is there; true when a line holding `text` came.
  bool Take(const std::string& text) {
    char data[65536];
    const ssize_t n = recv(fd_, data, sizeof data, MSG_DONTWAIT);
    if (n > 0) buffer_.append(data, static_cast<size_t>(n));
    for (size_t newline; (newline = buffer_.find('\n')) != std::string::npos;) {
      const bool found = buffer_.compare(0, newline, text) == 0 ||
                         buffer_.substr(0, newline).find(text) != std::string::npos;
      buffer_.erase(0, newline + 1);
      if (found) return true;
    }
    return false;
  }
  // Waits up to `ms` for a line holding `text`.
  bool WaitFor(const std::string& text, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (Take(text)) return true;
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, 20);
    }
    return false;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string buffer_;
};

// korveld with readers behind links in a folder of its own.
class Service {
 public:
  Service(const char* program, const std::vector<std::string>& reader_tables) {
    char dir[] = "/tmp/korveld-bench-XXXXXX";
    dir_ = mkdtemp(dir);
    socket_ = dir_ + "/s.sock";
    std::ofstream config(dir_ + "/korveld.toml");
    config << "socket = \"" << socket_ << "\"\nclient_queue = 1000\n";
    for (const std::string& table : reader_tables) config << table;
    config.close();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      const std::string log = dir_ + "/log";
      if (!freopen(log.c_str(), "w", stderr)) _exit(127);
      const std::string path = dir_ + "/korveld.toml";
      execl(program, program, "--config", path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Service() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::filesystem::remove_all(dir_);
  }
  const std::string& dir() const { return dir_; }
  const std::string& socket() const { return socket_; }
  pid_t pid() const { return pid_; }
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
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
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
  pid_t pid_ = -1;
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
