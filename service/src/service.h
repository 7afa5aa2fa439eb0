/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The service's loop: one Boost.Asio context on the main thread owns the
// clients (the Unix socket), the readers' table, discovery (inotify) and the
// signals.  Reader workers hand their events to it by posting; only the loop
// touches client queues.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>

#include "config.h"
#include "metrics.h"
#include "reader_worker.h"
#include "wedge_typing.h"

namespace korvel::service {

class Client;
class Discovery;
class WebServer;

// Reads and checks the configuration file at `path`; false with every
// problem ("FILE:LINE: KEY: why") in `problems` when it cannot be used.
bool LoadConfig(const std::string& path, Config* config, std::vector<std::string>* problems);

struct ServiceOptions {
  std::string config_path;  // empty: no file (--simulate)
  std::string socket;       // the socket's path
  Config config;
  // Called on the loop after the socket is listening and the readers started.
  std::function<void()> on_ready;
};

class Service : public ReaderSink {
 public:
  explicit Service(ServiceOptions options);
  ~Service() override;

  // Listens and serves until SIGTERM or SIGINT; returns the exit code.
  int Run();

  // ReaderSink, on the workers' threads.
  void ReaderChanged(StateReport report) override;
  void Swiped(uint64_t generation, SwipeRecord swipe) override;

  // For clients, on the loop.
  void Handle(const std::shared_ptr<Client>& client, const Request& request);
  void ClientGone(Client* client);
  // A client of another kind (the web side's) joins; the service starts it.
  void AddClient(const std::shared_ptr<Client>& client);
  uint64_t NextClientNumber() { return next_client_++; }
  size_t client_queue() const { return options_.config.client_queue; }
  boost::asio::io_context& io() { return io_; }
  // Every reader as the `readers` request lists them.
  Json ReadersJson() const;
  // /metrics.
  std::string MetricsText() const;
  void CountWebRefusal() { ++web_refused_; }

 private:
  struct Reader {
    ReaderSettings settings;
    std::unique_ptr<ReaderWorker> worker;
    ReaderState state = ReaderState::kOpening;
    std::string reason;
    std::string identification;
    int mode_found = -1;
    uint64_t swipes = 0;
    Client* claimed_by = nullptr;
    bool was_ready = false;
    ReaderCounters counters;
    Json last_swipe;  // masked; null until the first
  };

  bool Listen();
  void Accept();
  void WaitForSignals();
  void Reload();
  void Stop();
  void StartReader(const ReaderSettings& settings);
  // Stops `workers` on a thread of their own (restoring a reader's mode
  // may wait for its answer), then runs `then` on the loop.
  void Retire(std::vector<std::unique_ptr<ReaderWorker>> workers, std::function<void()> then);
  // Drops a reader from the table, telling its subscribers why.
  void Forget(const std::string& name, const std::string& why);
  void WatchFolders();
  void Discovered(const std::vector<std::string>& paths);
  void OnState(StateReport report);
  void OnSwipe(uint64_t generation, SwipeRecord swipe);
  // The reader `name` if `generation` is its current worker's.
  Reader* Current(const std::string& name, uint64_t generation);
  bool Reveals(const Client& client) const;
  Json ReaderJson(const Reader& reader) const;
  void Notify(const Reader& reader, const std::string& line, const Client* except);
  void Release(Reader* reader);

  ServiceOptions options_;
  boost::asio::io_context io_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  boost::asio::signal_set signals_;
  std::unique_ptr<Discovery> discovery_;
  std::map<std::string, Reader> readers_;
  std::set<std::shared_ptr<Client>> clients_;
  std::map<uint64_t, std::thread> retiring_;
  uint64_t next_retiring_ = 1;
  uint64_t next_generation_ = 1;
  uint64_t next_client_ = 1;
  bool stopping_ = false;
  // [reader.wedge]: made at the first swipe of a reader that has it.
  std::unique_ptr<WedgeTyping> wedge_;
  std::unique_ptr<WebServer> web_;
  uint64_t dropped_gone_ = 0;  // dropped for clients that have left
  uint64_t web_refused_ = 0;
};

}  // namespace korvel::service
