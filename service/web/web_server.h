/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// korveld's web side ([web] in korveld.toml(5)): HTTP on the service's own
// loop (Boost.Beast), serving the readers as JSON, their events as
// Server-Sent Events and over a WebSocket (the socket's requests, one JSON
// object a message), /metrics, the status page and korvel.js.  WebSocket and
// event-stream clients are clients of the service like the socket's: the
// same events, the same bounded queues, card data masked always.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>

#include "config.h"

namespace korvel::service {

class Service;

// The longest request head, and the longest body (requests here need none).
inline constexpr size_t kMaxHttpHeader = 8 * 1024;
inline constexpr size_t kMaxHttpBody = 4 * 1024;

class WebServer {
 public:
  WebServer(WebSettings settings, Service* service);
  ~WebServer();

  // Binds the listen address ("localhost": 127.0.0.1 and ::1); false, logged, when it cannot.
  bool Listen();
  // Takes no more connections.
  void Stop();

  // What the connections share; outlives the server while a connection holds it.
  struct Shared {
    WebSettings settings;
    Service* service;
    size_t connections = 0;
    bool stopped = false;
  };

 private:
  void Accept(boost::asio::ip::tcp::acceptor* acceptor);

  std::shared_ptr<Shared> shared_;
  std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> acceptors_;
};

}  // namespace korvel::service
