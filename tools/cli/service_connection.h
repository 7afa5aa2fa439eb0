/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A connection to korveld, the reader service, over its socket: JSON lines
// both ways (korveld(8)).  Used by `korvel service` and `korvel wedge
// --service`.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "korvel/clock.h"
#include "report.h"

namespace korvel::cli {

// A connection to the service: JSON lines both ways.
class Connection {
 public:
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  bool Connect(const std::string& path, std::string* error) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
      *error = path + ": the path is too long for a socket";
      return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      *error = "cannot reach korveld at " + path + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }
  bool Send(const Json& request) {
    const std::string line = JsonLine(request) + "\n";
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // The next object; null when `deadline_ms` (MonotonicMs, -1 none) passes or
  // `stop` is set (*ended false), or the service closed the connection
  // (*ended true).
  Json Next(int64_t deadline_ms, const std::atomic<bool>* stop, bool* ended) {
    *ended = false;
    for (;;) {
      const size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        Json json = Json::parse(buffer_.substr(0, newline), nullptr, false);
        buffer_.erase(0, newline + 1);
        if (!json.is_discarded()) return json;
        continue;
      }
      if (stop != nullptr && stop->load()) return nullptr;
      int wait = 250;
      if (deadline_ms >= 0) {
        const int64_t left = deadline_ms - MonotonicMs();
        if (left <= 0) return nullptr;
        wait = static_cast<int>(std::min<int64_t>(left, wait));
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, wait) <= 0) continue;
      char data[16384];
      const ssize_t n = recv(fd_, data, sizeof data, 0);
      if (n <= 0) {
        *ended = true;
        return nullptr;
      }
      buffer_.append(data, static_cast<size_t>(n));
    }
  }
  // Sends `request` and returns its result (events before it are passed to `event`).
  Json Ask(Json request, int64_t deadline_ms = -1) {
    request["id"] = ++id_;
    if (!Send(request)) return nullptr;
    bool ended = false;
    for (;;) {
      Json json = Next(deadline_ms, nullptr, &ended);
      if (json.is_null()) return nullptr;
      if (json["event"] == "result" && json["id"] == id_) return json;
    }
  }

 private:
  int fd_ = -1;
  int id_ = 0;
  std::string buffer_;
};

}  // namespace korvel::cli
