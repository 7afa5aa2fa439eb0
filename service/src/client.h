/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A client of the service: what it is sent waits in its bounded queue
// (ClientQueue), and it holds its subscription.  SocketClient is the one on
// the Unix socket; the web side's WebSocket and event-stream clients
// (service/web) are the other kinds.  Lives on the loop only.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>

#include "client_queue.h"
#include "protocol.h"

namespace korvel::service {

class Service;

class Client : public std::enable_shared_from_this<Client> {
 public:
  enum class Kind { kSocket, kWebSocket, kEventStream };

  Client(uint64_t number, size_t queue_limit, Service* service)
      : number_(number), service_(service), queue_(queue_limit) {}
  virtual ~Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  virtual void Start() = 0;
  // A result of one of its requests (never dropped).
  void SendResult(const Json& result);
  // An event (dropped, oldest first, when the client falls behind).
  void SendEvent(const std::string& line);
  // Closes the connection; the service forgets the client.
  virtual void Close() = 0;
  void set_queue_limit(size_t limit) { queue_.set_limit(limit); }
  uint64_t dropped_total() const { return queue_.dropped_total(); }

  virtual Kind kind() const = 0;
  // "socket", "websocket", "sse".
  const char* KindName() const;
  // Over HTTP: never sent card data in full.
  bool web() const { return kind() != Kind::kSocket; }
  uint64_t number() const { return number_; }
  // The peer's credentials (a socket client's); -1 when unknown.
  virtual uid_t uid() const { return static_cast<uid_t>(-1); }
  virtual gid_t gid() const { return static_cast<gid_t>(-1); }

  // The subscription.
  bool subscribed = false;
  bool all_readers = true;
  std::set<std::string> readers;
  bool reveal = false;
  bool Wants(const std::string& reader) const {
    return subscribed && (all_readers || readers.count(reader) != 0);
  }

  // A client that sends this many bad requests in a row is disconnected.
  static constexpr int kMaxBadLines = 10;

 protected:
  // Writes what waits in the queue (and reads again when it is drained).
  virtual void Flush() = 0;
  // A request as received: handled, or answered with an error (and the
  // client disconnected after too many in a row).
  void OnRequest(std::string_view text);
  void Bad(const Json& error);

  uint64_t number_;
  Service* service_;
  ClientQueue queue_;
  int bad_lines_ = 0;
  bool closing_ = false;  // write what waits, then close
  bool gone_ = false;
};

// A client on the Unix socket: one JSON object a line each way.
class SocketClient : public Client {
 public:
  using Socket = boost::asio::local::stream_protocol::socket;

  SocketClient(Socket socket, uint64_t number, size_t queue_limit, Service* service);

  // Reads the peer's credentials and starts reading requests.
  void Start() override;
  void Close() override;
  Kind kind() const override { return Kind::kSocket; }
  uid_t uid() const override { return uid_; }
  gid_t gid() const override { return gid_; }
  pid_t pid() const { return pid_; }

 private:
  std::shared_ptr<SocketClient> Self() { return std::static_pointer_cast<SocketClient>(shared_from_this()); }
  void Read();
  void Received(size_t count);
  void Flush() override;
  void Gone();

  Socket socket_;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  pid_t pid_ = 0;
  std::array<char, 8192> buffer_{};
  std::string pending_;
  bool skipping_ = false;  // inside a line over the limit: dropped up to its end
  bool reading_ = false;
  bool writing_ = false;
  std::string current_;
};

}  // namespace korvel::service
