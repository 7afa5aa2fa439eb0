// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "client.h"

#include <sys/socket.h>

#include "service.h"

namespace korvel::service {

const char* Client::KindName() const {
  switch (kind()) {
    case Kind::kSocket: return "socket";
    case Kind::kWebSocket: return "websocket";
    case Kind::kEventStream: return "sse";
  }
  return "socket";
}

void Client::OnRequest(std::string_view line) {
  if (line.size() > kMaxLine) {
    Bad(ErrorEvent("line_too_long", "a request line is longer than " + std::to_string(kMaxLine) + " bytes"));
    return;
  }
  auto parsed = ParseRequest(line);
  if (auto* error = std::get_if<RequestError>(&parsed)) {
    Bad(ErrorResult(*error));
    return;
  }
  bad_lines_ = 0;
  service_->Handle(shared_from_this(), std::get<Request>(parsed));
}

void Client::Bad(const Json& error) {
  SendResult(error);
  if (++bad_lines_ >= kMaxBadLines) {
    SendResult(ErrorEvent("too_many_errors",
                          "disconnected after " + std::to_string(kMaxBadLines) + " bad lines in a row"));
    closing_ = true;
    Flush();
  }
}

void Client::SendResult(const Json& result) {
  if (gone_) return;
  queue_.PushResult(Line(result));
  Flush();
}

void Client::SendEvent(const std::string& line) {
  if (gone_ || closing_) return;
  queue_.PushEvent(line);
  Flush();
}

SocketClient::SocketClient(Socket socket, uint64_t number, size_t queue_limit, Service* service)
    : Client(number, queue_limit, service), socket_(std::move(socket)) {}

void SocketClient::Start() {
  struct ucred credentials {};
  socklen_t size = sizeof credentials;
  if (getsockopt(socket_.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
    uid_ = credentials.uid;
    gid_ = credentials.gid;
    pid_ = credentials.pid;
  }
  // A client's backlog waits in its queue, where the drop rule applies, more
  // than in the kernel's buffer.
  boost::system::error_code ignored;
  socket_.set_option(boost::asio::socket_base::send_buffer_size(32 * 1024), ignored);
  Read();
}

void SocketClient::Read() {
  if (reading_ || closing_ || gone_ || queue_.Full()) return;
  reading_ = true;
  socket_.async_read_some(boost::asio::buffer(buffer_),
                          [self = Self()](const boost::system::error_code& error, size_t count) {
                            self->reading_ = false;
                            if (self->gone_) return;
                            if (error) {
                              self->Gone();
                              return;
                            }
                            self->Received(count);
                            self->Read();
                          });
}

void SocketClient::Received(size_t count) {
  std::string_view data(buffer_.data(), count);
  while (!data.empty() && !closing_) {
    const size_t newline = data.find('\n');
    if (newline == std::string_view::npos) {
      if (!skipping_) pending_.append(data);
      data = {};
    } else {
      if (!skipping_) pending_.append(data.substr(0, newline));
      data.remove_prefix(newline + 1);
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      std::string line = std::move(pending_);
      pending_.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;  // blank lines are let pass
      OnRequest(line);
      continue;
    }
    if (pending_.size() > kMaxLine) {
      pending_.clear();
      skipping_ = true;
      Bad(ErrorEvent("line_too_long",
                     "a request line is longer than " + std::to_string(kMaxLine) + " bytes"));
    }
  }
}

void SocketClient::Flush() {
  if (writing_ || gone_) return;
  if (queue_.Empty()) {
    if (closing_) {
      Gone();
      return;
    }
    Read();
    return;
  }
  current_ = queue_.Pop();
  writing_ = true;
  boost::asio::async_write(socket_, boost::asio::buffer(current_),
                           [self = Self()](const boost::system::error_code& error, size_t) {
                             self->writing_ = false;
                             if (self->gone_) return;
                             if (error) {
                               self->Gone();
                               return;
                             }
                             self->Flush();
                           });
}

void SocketClient::Close() {
  Gone();
}

void SocketClient::Gone() {
  if (gone_) return;
  gone_ = true;
  boost::system::error_code ignored;
  socket_.shutdown(Socket::shutdown_both, ignored);
  socket_.close(ignored);
  service_->ClientGone(this);
}

}  // namespace korvel::service
