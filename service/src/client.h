/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// One client on the socket: reads its request lines, writes what it gets
// through its bounded queue (ClientQueue), and holds its subscription.  Lives
// on the loop only.
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
  using Socket = boost::asio::local::stream_protocol::socket;

  Client(Socket socket, uint64_t number, size_t queue_limit, Service* service);

  // Reads the peer's credentials and starts reading requests.
  void Start();
  // A result of one of its requests (never dropped).
  void SendResult(const Json& result);
  // An event (dropped, oldest first, when the client falls behind).
  void SendEvent(const std::string& line);
  // Closes the connection; the service forgets the client.
  void Close();
  void set_queue_limit(size_t limit) { queue_.set_limit(limit); }

  uint64_t number() const { return number_; }
  uid_t uid() const { return uid_; }
  gid_t gid() const { return gid_; }
  pid_t pid() const { return pid_; }

  // The subscription.
  bool subscribed = false;
  bool all_readers = true;
  std::set<std::string> readers;
  bool reveal = false;
  bool Wants(const std::string& reader) const {
    return subscribed && (all_readers || readers.count(reader) != 0);
  }

  // A client that sends this many bad lines in a row is disconnected.
  static constexpr int kMaxBadLines = 10;

 private:
  void Read();
  void Received(size_t count);
  void OnLine(std::string_view line);
  void Bad(const Json& error);
  void Flush();
  void Gone();

  Socket socket_;
  uint64_t number_;
  Service* service_;
  ClientQueue queue_;
  uid_t uid_ = static_cast<uid_t>(-1);
  gid_t gid_ = static_cast<gid_t>(-1);
  pid_t pid_ = 0;
  std::array<char, 8192> buffer_{};
  std::string pending_;
  bool skipping_ = false;  // inside a line over the limit: dropped up to its end
  int bad_lines_ = 0;
  bool reading_ = false;
  bool writing_ = false;
  bool closing_ = false;  // write what waits, then close
  bool gone_ = false;
  std::string current_;
};

}  // namespace korvel::service
