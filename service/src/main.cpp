// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld: the reader service.  It owns the readers, keeps them alive and
// hands every swipe, decoded and masked, to the clients on its socket.
// korveld(8) is its manual; service/core holds its pure part.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#ifdef KORVEL_HAVE_SIMULATOR
#include "korvel_sim.h"
#endif
#include "log.h"
#include "service.h"

namespace {

using namespace korvel::service;

const char kHelp[] =
    "Usage: korveld [--config FILE] [--socket PATH]\n"
    "       korveld --check-config FILE\n"
    "       korveld --simulate [N] [--socket PATH]\n"
    "\n"
    "The reader service: serves the readers of its configuration (and those it\n"
    "discovers) to any number of local clients on a Unix socket, one JSON object\n"
    "a line.  With [web] in the configuration, also to web pages (a status page,\n"
    "korvel.js, a WebSocket, Server-Sent Events) and to Prometheus (/metrics).\n"
    "See korveld(8) and korveld.toml(5).\n"
    "\n"
    "  --config FILE        the configuration (default /etc/korvel/korveld.toml)\n"
    "  --check-config FILE  check FILE and say what is wrong with it (line, key,\n"
    "                       why); exit 0 when it is good, 1 when not\n"
    "  --simulate [N]       serve N simulated readers (default 1), named sim1,\n"
    "                       sim2, ..., that swipe the sample cards by themselves;\n"
    "                       no configuration is read\n"
    "  --socket PATH        the socket (default: the configuration's socket; with\n"
    "                       --simulate $XDG_RUNTIME_DIR/korveld.sock unless root)\n"
    "  --help, --version\n"
    "\n"
    "SIGHUP reloads the configuration (readers whose settings did not change keep\n"
    "running); SIGTERM puts every reader back in the mode it was found in and ends.\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "korveld: %s\nRun 'korveld --help' for the options.\n", message.c_str());
  return 2;
}

#ifdef KORVEL_HAVE_SIMULATOR
// The simulated readers of --simulate, swiping the sample cards in turn.
class Simulation {
 public:
  bool Start(int count, std::vector<ReaderSettings>* readers) {
    for (int i = 1; i <= count; ++i) {
      std::string error;
      auto reader = korvel::sim::PtyReader::Start({}, &error);
      if (!reader) {
        Log("the simulated reader did not start: " + error);
        return false;
      }
      ReaderSettings settings;
      settings.name = "sim" + std::to_string(i);
      settings.port = reader->path();
      readers->push_back(settings);
      readers_.push_back(std::move(reader));
    }
    swiper_ = std::thread([this] {
      size_t card = 0;
      std::unique_lock<std::mutex> lock(mutex_);
      while (!wake_.wait_for(lock, std::chrono::seconds(kIntervalS), [this] { return stop_; })) {
        for (auto& reader : readers_) reader->Swipe(card);
        card = (card + 1) % korvel::sim::SampleCards().size();
      }
    });
    return true;
  }
  ~Simulation() {
    if (swiper_.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
      }
      wake_.notify_all();
      swiper_.join();
    }
  }
  static constexpr int kIntervalS = 3;

 private:
  std::vector<std::unique_ptr<korvel::sim::PtyReader>> readers_;
  std::thread swiper_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
};
#else
class Simulation {
 public:
  bool Start(int, std::vector<ReaderSettings>*) {
    Log("--simulate: this korveld was built without the simulator");
    return false;
  }
};
#endif

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string config_path, check_path, socket;
  bool config_given = false;
  int simulate = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const char* what) -> const std::string* {
      if (i + 1 >= args.size()) return nullptr;
      (void)what;
      return &args[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("korveld %s\n", Korvel_Version());
      return 0;
    } else if (a == "--config") {
      const std::string* v = value("a file");
      if (v == nullptr) return Usage("--config needs a file");
      config_path = *v;
      config_given = true;
    } else if (a == "--check-config") {
      const std::string* v = value("a file");
      if (v == nullptr) return Usage("--check-config needs a file");
      check_path = *v;
    } else if (a == "--socket") {
      const std::string* v = value("a path");
      if (v == nullptr || v->empty() || (*v)[0] != '/') return Usage("--socket needs an absolute path");
      socket = *v;
    } else if (a == "--simulate") {
      simulate = 1;
      if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
        const std::string& n = args[++i];
        char* end = nullptr;
        const long count = std::strtol(n.c_str(), &end, 10);
        if (*end != '\0' || count < 1 || count > 64)
          return Usage("--simulate takes a number of readers from 1 to 64");
        simulate = static_cast<int>(count);
      }
    } else {
      return Usage("unknown argument '" + a + "'");
    }
  }

  if (!check_path.empty()) {
    Config config;
    std::vector<std::string> problems;
    if (!LoadConfig(check_path, &config, &problems)) {
      for (const std::string& problem : problems) std::fprintf(stderr, "%s\n", problem.c_str());
      return 1;
    }
    std::string web = "no web side";
    if (config.web) {
      const WebSettings& w = *config.web;
      web = "web on " + (w.host.find(':') != std::string::npos ? "[" + w.host + "]" : w.host) + ":" +
            std::to_string(w.port) + ", " + std::to_string(w.origins.size()) + " origins" +
            (w.token.empty() ? "" : ", token");
    }
    std::printf("%s: good (%zu readers, %zu discovery patterns, %s)\n", check_path.c_str(),
                config.readers.size(), config.match.size(), web.c_str());
    return 0;
  }
  if (simulate > 0 && config_given) return Usage("--simulate reads no configuration; leave --config out");

  ServiceOptions options;
  Simulation simulation;
  if (simulate > 0) {
    if (!simulation.Start(simulate, &options.config.readers)) return 1;
    if (socket.empty()) {
      const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      if (geteuid() != 0 && runtime != nullptr && runtime[0] == '/')
        socket = std::string(runtime) + "/korveld.sock";
      else if (geteuid() != 0)
        return Usage("--simulate needs --socket PATH or XDG_RUNTIME_DIR");
      else
        socket = kDefaultSocket;
    }
  } else {
    options.config_path = config_given ? config_path : kDefaultConfig;
    std::vector<std::string> problems;
    if (!LoadConfig(options.config_path, &options.config, &problems)) {
      for (const std::string& problem : problems) Log(problem);
      return 1;
    }
  }
  options.socket = socket.empty() ? options.config.socket : socket;
  options.config.socket = options.socket;
  // The signals are taken by the loop; block them until it listens.
  Service service(std::move(options));
  return service.Run();
}
