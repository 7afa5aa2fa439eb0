// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld's web side in numbers: the time from a swipe's last byte to a
// socket client, to a WebSocket client and to the status page's DOM in
// headless Chromium (tests/web's puppeteer-core, when installed), and the
// service's memory with 500 WebSocket clients connected.
//   korveld-web-bench [KORVELD]
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "bench_support.h"
#include "korvel_sim.h"
#include "korveld_process.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;
using korvel::bench::Clock;
using korvel::bench::MsBetween;
using korvel::bench::Percentile;

constexpr int kSwipes = 40;

int FreePort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

// A client of the socket that looks for lines holding a text.
class SocketClient : public korvel::service_test::LineClient {
 public:
  using LineClient::LineClient;
  bool ok() const { return connected() && sent_; }
  void Send(const std::string& line) { sent_ = sent_ && SendRaw(line); }
  bool WaitFor(const std::string& text, int ms) { return WaitForLine(text, ms); }

 private:
  bool sent_ = true;
};

// A WebSocket client of /v1/ws (the service's own origin).
std::unique_ptr<websocket::stream<tcp::socket>> WebSocket(boost::asio::io_context& io, int port) {
  auto ws = std::make_unique<websocket::stream<tcp::socket>>(io);
  beast::error_code error;
  ws->next_layer().connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)}, error);
  if (!error) ws->handshake("127.0.0.1:" + std::to_string(port), "/v1/ws", error);
  if (error) return nullptr;
  return ws;
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class Service {
 public:
  Service(const char* program, const std::string& link, int port)
      : dir_(korvel::service_test::MakeTempFolder("korveld-web-bench")), socket_(dir_ + "/s.sock") {
    std::ofstream(dir_ + "/korveld.toml")
        << "socket = \"" << socket_ << "\"\nclient_queue = 1000\n[[reader]]\nname = \"r\"\nport = \"" << link
        << "\"\ntracks = [1, 2]\nsentinels = \"%?;?+?71\"\n[web]\nlisten = \"127.0.0.1:" << port
        << "\"\nmax_clients = 1000\nroot = \"" KORVELD_WEB_ROOT_SOURCE "\"\n";
    process_.Start(program, dir_ + "/korveld.toml", dir_ + "/log");
  }
  ~Service() {
    process_.Stop();
    std::filesystem::remove_all(dir_);
  }
  bool Ready() {
    const auto end = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < end) {
      SocketClient client(socket_);
      if (client.ok()) {
        client.Send("{\"request\":\"subscribe\"}\n");
        if (client.WaitFor("\"state\":\"ready\"", 1000)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }
  const std::string& socket() const { return socket_; }
  pid_t pid() const { return process_.pid(); }

 private:
  std::string dir_, socket_;
  korvel::service_test::KorveldProcess process_;
};

// The page in Chromium: started, asked for the DOM times of the account
// field's changes (wall clock, ms) once the swipes are done.
class Page {
 public:
  explicit Page(int port) {
    const std::string modules = KORVEL_SOURCE_DIR "/tests/web/node_modules/puppeteer-core";
    if (!std::filesystem::exists(modules) || !std::filesystem::exists("/usr/bin/chromium")) return;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      close(in[1]);
      close(out[0]);
      const std::string p = std::to_string(port);
      execlp("node", "node", KORVEL_SOURCE_DIR "/bench/web_dom_bench.mjs", p.c_str(),
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    ok_ = Line() == "ready";
  }
  ~Page() {
    if (to_ >= 0) close(to_);
    if (from_ >= 0) close(from_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool ok() const { return ok_; }
  std::vector<double> Times() {
    if (write(to_, "done\n", 5) != 5) return {};
    std::istringstream numbers(Line());
    std::vector<double> times;
    for (double t; numbers >> t;) times.push_back(t);
    return times;
  }

 private:
  std::string Line() {
    std::string line;
    char c;
    while (read(from_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
  bool ok_ = false;
};

double WallMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void Latency(const char* program) {
  char dir[] = "/tmp/korveld-web-bench-link-XXXXXX";
  const std::string links = mkdtemp(dir);
  korvel::sim::Options options;
  options.link_path = links + "/r";
  std::string error;
  auto reader = korvel::sim::PtyReader::Start(options, &error);
  if (!reader) {
    std::printf("the simulated reader did not start: %s\n", error.c_str());
    return;
  }
  const int port = FreePort();
  {
    Service service(program, links + "/r", port);
    if (!service.Ready()) {
      std::printf("the service did not get ready\n");
      return;
    }
    SocketClient socket(service.socket());
    socket.Send("{\"request\":\"subscribe\"}\n");
    socket.WaitFor("\"event\":\"result\"", 2000);
    boost::asio::io_context io;
    auto ws = WebSocket(io, port);
    if (!ws) {
      std::printf("the WebSocket did not connect\n");
      return;
    }
    ws->write(boost::asio::buffer(std::string("{\"request\":\"subscribe\"}")));
    std::mutex mutex;
    std::vector<Clock::time_point> ws_times;
    std::thread ws_reader([&] {
      beast::flat_buffer buffer;
      beast::error_code read_error;
      while (!read_error) {
        ws->read(buffer, read_error);
        if (read_error) break;
        if (beast::buffers_to_string(buffer.data()).find("\"event\":\"swipe\"") != std::string::npos) {
          std::lock_guard<std::mutex> lock(mutex);
          ws_times.push_back(Clock::now());
        }
        buffer.consume(buffer.size());
      }
    });
    Page page(port);
    std::vector<double> to_socket, to_ws, to_dom;
    std::vector<Clock::time_point> last_bytes;
    std::vector<double> last_bytes_wall;
    for (int i = 0; i < kSwipes; ++i) {
      reader->Swipe(i % 2 == 0 ? 0
                               : 2);  // two tracks each; the account changes every time: one DOM change each
      reader->WaitIdle(2000);
      last_bytes.push_back(Clock::now());
      last_bytes_wall.push_back(WallMs());
      if (!socket.WaitFor("\"event\":\"swipe\"", 5000)) break;
      to_socket.push_back(MsBetween(last_bytes.back(), Clock::now()));
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (size_t i = 0; i < ws_times.size() && i < last_bytes.size(); ++i)
        to_ws.push_back(MsBetween(last_bytes[i], ws_times[i]));
    }
    if (page.ok()) {
      const std::vector<double> dom = page.Times();
      for (size_t i = 0; i < dom.size() && i < last_bytes_wall.size(); ++i)
        to_dom.push_back(dom[i] - last_bytes_wall[i]);
    }
    ws->next_layer().shutdown(tcp::socket::shutdown_both);
    ws_reader.join();
    std::printf("Last byte to delivery (a sample card, tracks 1 and 2 set), %d swipes:\n", kSwipes);
    auto row = [](const char* what, const std::vector<double>& ms) {
      if (ms.empty()) {
        std::printf("  %-24s (not measured)\n", what);
        return;
      }
      std::printf("  %-24s median %6.2f ms, p90 %6.2f ms, max %6.2f ms (%zu)\n", what, Percentile(ms, 50),
                  Percentile(ms, 90), Percentile(ms, 100), ms.size());
    };
    row("socket client:", to_socket);
    row("WebSocket client:", to_ws);
    row(page.ok() ? "status page's DOM:" : "status page's DOM (no node/chromium/puppeteer-core):", to_dom);
    if (!to_socket.empty() && !to_dom.empty())
      std::printf("  DOM minus socket, medians: %.2f ms (goal: at most 10 ms)\n",
                  Percentile(to_dom, 50) - Percentile(to_socket, 50));
  }
  std::filesystem::remove_all(links);
}

void Memory(const char* program) {
  char dir[] = "/tmp/korveld-web-bench-link-XXXXXX";
  const std::string links = mkdtemp(dir);
  korvel::sim::Options options;
  options.link_path = links + "/r";
  std::string error;
  auto reader = korvel::sim::PtyReader::Start(options, &error);
  if (!reader) return;
  const int port = FreePort();
  {
    Service service(program, links + "/r", port);
    if (!service.Ready()) return;
    const long before = RssKb(service.pid());
    boost::asio::io_context io;
    std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> clients;
    for (int i = 0; i < 500; ++i) {
      auto ws = WebSocket(io, port);
      if (!ws) break;
      ws->write(boost::asio::buffer(std::string("{\"request\":\"subscribe\"}")));
      clients.push_back(std::move(ws));
    }
    // Every client's subscription answered and one swipe fanned out to them all.
    reader->Swipe(0);
    for (auto& ws : clients) {
      beast::flat_buffer buffer;
      for (;;) {
        beast::error_code read_error;
        ws->read(buffer, read_error);
        if (read_error) break;
        const bool swipe =
            beast::buffers_to_string(buffer.data()).find("\"event\":\"swipe\"") != std::string::npos;
        buffer.consume(buffer.size());
        if (swipe) break;
      }
    }
    const long after = RssKb(service.pid());
    std::printf(
        "Memory of korveld: %ld KiB idle, %ld KiB with %zu WebSocket clients (%.1f KiB each)\n", before,
        after, clients.size(),
        clients.empty() ? 0.0 : static_cast<double>(after - before) / static_cast<double>(clients.size()));
  }
  std::filesystem::remove_all(links);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  const char* program = argc > 1 ? argv[1] : KORVELD_PROGRAM;
  Latency(program);
  Memory(program);
  return 0;
}
