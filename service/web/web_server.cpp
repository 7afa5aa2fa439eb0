// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "web_server.h"

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "client.h"
#include "log.h"
#include "service.h"
#include "web_policy.h"

namespace korvel::service {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;
using HttpRequest = http::request<http::string_body>;
using Response = http::response<http::string_body>;
using Shared = WebServer::Shared;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr std::chrono::seconds kRequestTimeout{30};
// A client of the event stream that takes no byte for this long is dropped.
constexpr std::chrono::seconds kStalledWrite{60};

// Held by every connection while it lasts: counts it against max_clients.
class Slot {
 public:
  explicit Slot(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) { ++shared_->connections; }
  ~Slot() { --shared_->connections; }
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

 private:
  std::shared_ptr<Shared> shared_;
};

std::string ReadFile(const std::string& path, bool* found) {
  std::ifstream in(path, std::ios::binary);
  *found = static_cast<bool>(in);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// One connection's WebSocket: the socket's requests and events, one JSON object a message.
class WebSocketClient : public Client {
 public:
  WebSocketClient(beast::tcp_stream stream, HttpRequest request, std::unique_ptr<Slot> slot, Service* service)
      : Client(service->NextClientNumber(), service->client_queue(), service),
        ws_(std::move(stream)),
        request_(std::move(request)),
        slot_(std::move(slot)) {}

  void Start() override {
    beast::get_lowest_layer(ws_).expires_never();
    // A client's backlog waits in its queue, where the drop rule applies, more than in the kernel's buffer.
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(boost::asio::socket_base::send_buffer_size(32 * 1024),
                                                     ignored);
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "korveld"); }));
    ws_.read_message_max(kMaxLine);
    ws_.async_accept(request_, [self = Self()](const beast::error_code& error) {
      if (self->gone_) return;
      if (error) {
        self->Gone();
        return;
      }
      self->open_ = true;
      self->Flush();
    });
  }
  void Close() override { Gone(); }
  Kind kind() const override { return Kind::kWebSocket; }

 private:
  std::shared_ptr<WebSocketClient> Self() {
    return std::static_pointer_cast<WebSocketClient>(shared_from_this());
  }

  void Read() {
    if (reading_ || !open_ || closing_ || gone_ || queue_.Full()) return;
    reading_ = true;
    ws_.async_read(in_, [self = Self()](const beast::error_code& error, size_t) {
      self->reading_ = false;
      if (self->gone_) return;
      if (error) {
        // Closed, a frame that breaks the protocol, a message over the limit:
        // Beast has answered with the close code for it.
        self->Gone();
        return;
      }
      const std::string text = beast::buffers_to_string(self->in_.data());
      self->in_.consume(self->in_.size());
      self->OnRequest(text);
      self->Read();
    });
  }

  void Flush() override {
    if (!open_ || writing_ || gone_) return;
    if (queue_.Empty()) {
      if (closing_) {
        writing_ = true;
        ws_.async_close(websocket::close_code::policy_error,
                        [self = Self()](const beast::error_code&) { self->Gone(); });
        return;
      }
      Read();
      return;
    }
    current_ = queue_.Pop();
    if (!current_.empty() && current_.back() == '\n') current_.pop_back();
    writing_ = true;
    ws_.text(true);
    ws_.async_write(boost::asio::buffer(current_), [self = Self()](const beast::error_code& error, size_t) {
      self->writing_ = false;
      if (self->gone_) return;
      if (error) {
        self->Gone();
        return;
      }
      self->Flush();
    });
  }

  void Gone() {
    if (gone_) return;
    gone_ = true;
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).socket().close(ignored);
    service_->ClientGone(this);
  }

  websocket::stream<beast::tcp_stream> ws_;
  HttpRequest request_;
  std::unique_ptr<Slot> slot_;
  beast::flat_buffer in_;
  bool open_ = false;
  bool reading_ = false;
  bool writing_ = false;
  std::string current_;
};

// One connection's event stream (Server-Sent Events): subscribed to every
// reader, each object a `data:` line.
class EventStreamClient : public Client {
 public:
  EventStreamClient(tcp::socket socket, std::string head, std::unique_ptr<Slot> slot, Service* service)
      : Client(service->NextClientNumber(), service->client_queue(), service),
        socket_(std::move(socket)),
        watchdog_(socket_.get_executor()),
        head_(std::move(head)),
        slot_(std::move(slot)) {}

  void Start() override {
    boost::system::error_code ignored;
    socket_.set_option(boost::asio::socket_base::send_buffer_size(32 * 1024), ignored);
    // The peer sends nothing more: a read ends when it goes away.
    socket_.async_read_some(
        boost::asio::buffer(sink_),
        [self = Self()](const boost::system::error_code& error, size_t) { self->Watch(error); });
    Request subscribe;
    subscribe.kind = RequestKind::kSubscribe;
    service_->Handle(shared_from_this(), subscribe);
    Flush();
  }
  void Close() override { Gone(); }
  Kind kind() const override { return Kind::kEventStream; }

 private:
  std::shared_ptr<EventStreamClient> Self() {
    return std::static_pointer_cast<EventStreamClient>(shared_from_this());
  }

  void Watch(const boost::system::error_code& error) {
    if (gone_) return;
    if (error) {
      Gone();
      return;
    }
    socket_.async_read_some(boost::asio::buffer(sink_),
                            [self = Self()](const boost::system::error_code& e, size_t) { self->Watch(e); });
  }

  void Flush() override {
    if (writing_ || gone_) return;
    if (head_.empty() && queue_.Empty()) return;
    if (!head_.empty()) {
      current_ = std::move(head_);
      head_.clear();
    } else {
      std::string line = queue_.Pop();
      if (!line.empty() && line.back() == '\n') line.pop_back();
      current_ = "data: " + line + "\n\n";
    }
    writing_ = true;
    watchdog_.expires_after(kStalledWrite);
    watchdog_.async_wait([self = Self()](const boost::system::error_code& error) {
      if (!error && self->writing_) self->Gone();
    });
    boost::asio::async_write(socket_, boost::asio::buffer(current_),
                             [self = Self()](const boost::system::error_code& error, size_t) {
                               self->writing_ = false;
                               self->watchdog_.cancel();
                               if (self->gone_) return;
                               if (error) {
                                 self->Gone();
                                 return;
                               }
                               self->Flush();
                             });
  }

  void Gone() {
    if (gone_) return;
    gone_ = true;
    boost::system::error_code ignored;
    watchdog_.cancel();
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    service_->ClientGone(this);
  }

  tcp::socket socket_;
  boost::asio::steady_timer watchdog_;
  std::string head_;
  std::unique_ptr<Slot> slot_;
  std::array<char, 512> sink_{};
  bool writing_ = false;
  std::string current_;
};

// One HTTP connection: requests one after the other until it closes or is
// upgraded to a WebSocket or an event stream.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket socket, std::shared_ptr<Shared> shared)
      : stream_(std::move(socket)), shared_(std::move(shared)), slot_(std::make_unique<Slot>(shared_)) {}

  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHttpHeader);
    parser_->body_limit(kMaxHttpBody);
    stream_.expires_after(kRequestTimeout);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](const beast::error_code& error, size_t) { self->OnRead(error); });
  }

 private:
  Service& service() { return *shared_->service; }

  void OnRead(const beast::error_code& error) {
    if (shared_->stopped) return;
    if (error == http::error::header_limit || error == http::error::buffer_overflow)
      return Refuse(http::status::request_header_fields_too_large, "the request's head is too large", true);
    if (error == http::error::body_limit)
      return Refuse(http::status::payload_too_large, "the request's body is too large", true);
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == boost::asio::error::eof || error == boost::asio::error::operation_aborted)
      return Shut();
    if (error) return Refuse(http::status::bad_request, "not a good HTTP request", true);
    Route(parser_->release());
  }

  // A refusal: counted, and no data.
  void Refuse(http::status status, const std::string& why, bool close, Headers headers = {}) {
    service().CountWebRefusal();
    Send(status, why + "\n", "text/plain; charset=utf-8", close, std::move(headers));
  }

  void Send(http::status status, std::string body, const std::string& type, bool close,
            Headers headers = {}) {
    auto response = std::make_shared<Response>(status, version_);
    response->set(http::field::server, "korveld");
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("Referrer-Policy", "no-referrer");
    if (!type.empty()) response->set(http::field::content_type, type);
    for (const auto& [name, value] : headers) response->set(name, value);
    response->keep_alive(keep_alive_ && !close);
    response->content_length(body.size());
    if (!head_only_) response->body() = std::move(body);
    stream_.expires_after(kRequestTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](const beast::error_code& error, size_t) {
                        if (error || !response->keep_alive()) return self->Shut();
                        self->Read();
                      });
  }

  void Shut() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
  }

  void Route(HttpRequest request) {
    const WebSettings& web = shared_->settings;
    version_ = request.version();
    keep_alive_ = request.keep_alive();
    head_only_ = request.method() == http::verb::head;
    const auto [path, query] =
        SplitTarget(std::string_view(request.target().data(), request.target().size()));
    const auto host = request[http::field::host];
    if (!HostAllowed(web, std::string_view(host.data(), host.size())))
      return Refuse(http::status::forbidden, "this is not the host korveld answers to", true);
    const bool has_origin = request.find(http::field::origin) != request.end();
    const auto origin_field = request[http::field::origin];
    const std::string origin(origin_field.data(), origin_field.size());
    const OriginVerdict verdict = CheckOrigin(web, origin, has_origin);
    if (verdict == OriginVerdict::kRefused)
      return Refuse(http::status::forbidden, "pages of this origin may not use korveld", true);

    if (request.method() == http::verb::options) {
      const bool private_network = request["Access-Control-Request-Private-Network"] == "true";
      Headers headers = CorsHeaders(verdict, origin, true, private_network);
      headers.emplace_back("Allow", "GET, HEAD, OPTIONS");
      return Send(http::status::no_content, "", "", false, headers);
    }
    const Headers cors = CorsHeaders(verdict, origin, false, false);
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      Headers headers = cors;
      headers.emplace_back("Allow", "GET, HEAD, OPTIONS");
      return Refuse(http::status::method_not_allowed, "only GET, HEAD and OPTIONS", false, headers);
    }

    // The page and the module hold no data: no token for them.
    if (path == "/" || path == "/index.html") return File("index.html", "text/html; charset=utf-8", cors);
    if (path == "/korvel.js") return File("korvel.js", "text/javascript; charset=utf-8", cors);
    if (path == "/status.js") return File("status.js", "text/javascript; charset=utf-8", cors);

    const auto authorization = request[http::field::authorization];
    if (!TokenGood(web, std::string_view(authorization.data(), authorization.size()), query)) {
      Headers headers = cors;
      headers.emplace_back("WWW-Authenticate", "Bearer");
      return Refuse(http::status::unauthorized, "a token is needed (Authorization: Bearer TOKEN)", false,
                    headers);
    }
    if (path == "/v1/readers") {
      Json body;
      body["readers"] = service().ReadersJson();
      return Send(http::status::ok, Line(body), "application/json", false, cors);
    }
    if (path == "/metrics")
      return Send(http::status::ok, service().MetricsText(), "text/plain; version=0.0.4; charset=utf-8",
                  false, cors);
    if (path == "/v1/events") return EventStream(cors);
    if (path == "/v1/ws") {
      if (!websocket::is_upgrade(request)) {
        Headers headers = cors;
        headers.emplace_back("Upgrade", "websocket");
        return Refuse(http::status::upgrade_required, "/v1/ws is a WebSocket", false, headers);
      }
      auto client = std::make_shared<WebSocketClient>(std::move(stream_), std::move(request),
                                                      std::move(slot_), &service());
      service().AddClient(client);
      return;
    }
    Send(http::status::not_found, "not here\n", "text/plain; charset=utf-8", false, cors);
  }

  void File(const std::string& name, const std::string& type, Headers headers) {
    bool found = false;
    std::string body = ReadFile(shared_->settings.root + "/" + name, &found);
    if (!found) {
      Log("web: " + shared_->settings.root + "/" + name + " cannot be read (see [web] root)");
      return Send(http::status::not_found, name + " is not installed\n", "text/plain; charset=utf-8", false,
                  headers);
    }
    if (name == "index.html")
      headers.emplace_back(
          "Content-Security-Policy",
          "default-src 'none'; script-src 'self'; style-src 'unsafe-inline'; connect-src 'self'; "
          "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
    Send(http::status::ok, std::move(body), type, false, headers);
  }

  void EventStream(const Headers& cors) {
    std::string head =
        "HTTP/1.1 200 OK\r\nServer: korveld\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : cors) head += name + ": " + value + "\r\n";
    head += "Connection: close\r\n\r\nretry: 2000\n\n";
    stream_.expires_never();
    auto client = std::make_shared<EventStreamClient>(stream_.release_socket(), std::move(head),
                                                      std::move(slot_), &service());
    service().AddClient(client);
  }

  beast::tcp_stream stream_;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<Slot> slot_;
  beast::flat_buffer buffer_{kMaxHttpHeader + kMaxHttpBody};
  std::optional<http::request_parser<http::string_body>> parser_;
  unsigned version_ = 11;
  bool keep_alive_ = false;
  bool head_only_ = false;
};

// The answer to a connection over max_clients, written before it is closed.
struct Turned {
  explicit Turned(tcp::socket s) : socket(std::move(s)) {}
  tcp::socket socket;
  std::string text =
      "HTTP/1.1 503 Service Unavailable\r\nServer: korveld\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Retry-After: 5\r\nContent-Length: 31\r\nConnection: close\r\n\r\nkorveld has too many clients.\r\n";
};

}  // namespace

WebServer::WebServer(WebSettings settings, Service* service)
    : shared_(std::make_shared<Shared>(Shared{std::move(settings), service})) {}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Listen() {
  const WebSettings& web = shared_->settings;
  std::vector<std::string> hosts;
  if (web.host == "localhost")
    hosts = {"127.0.0.1", "::1"};
  else
    hosts = {web.host};
  auto& io = shared_->service->io();
  for (const std::string& host : hosts) {
    boost::system::error_code error;
    const tcp::endpoint endpoint(boost::asio::ip::make_address(host), web.port);
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    acceptor->open(endpoint.protocol(), error);
    if (!error) acceptor->set_option(boost::asio::socket_base::reuse_address(true), error);
    if (!error && endpoint.address().is_v6()) acceptor->set_option(boost::asio::ip::v6_only(true), error);
    if (!error) acceptor->bind(endpoint, error);
    if (!error) acceptor->listen(boost::asio::socket_base::max_listen_connections, error);
    const std::string where =
        (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(web.port);
    if (error) {
      // localhost's ::1 may not be there (IPv6 off); 127.0.0.1 is enough then.
      if (hosts.size() > 1 && host == "::1") continue;
      Log("web: " + where + ": " + error.message());
      return false;
    }
    Log("web: listening on http://" + where + "/" +
        (IsLoopbackHost(web.host) ? "" : " (beyond loopback: every data request needs the token)"));
    acceptors_.push_back(std::move(acceptor));
  }
  for (auto& acceptor : acceptors_) Accept(acceptor.get());
  return true;
}

void WebServer::Stop() {
  shared_->stopped = true;
  for (auto& acceptor : acceptors_) {
    boost::system::error_code ignored;
    acceptor->close(ignored);
  }
}

void WebServer::Accept(tcp::acceptor* acceptor) {
  acceptor->async_accept([this, acceptor, shared = shared_](const boost::system::error_code& error,
                                                            tcp::socket socket) {
    if (shared->stopped) return;
    if (error) {
      Log("web: accepting a connection: " + error.message());
      auto timer =
          std::make_shared<boost::asio::steady_timer>(shared->service->io(), std::chrono::milliseconds(200));
      timer->async_wait([this, acceptor, timer, shared](const boost::system::error_code&) {
        if (!shared->stopped) Accept(acceptor);
      });
      return;
    }
    if (shared->connections >= shared->settings.max_clients) {
      shared->service->CountWebRefusal();
      auto turned = std::make_shared<Turned>(std::move(socket));
      boost::asio::async_write(turned->socket, boost::asio::buffer(turned->text),
                               [turned](const boost::system::error_code&, size_t) {
                                 boost::system::error_code ignored;
                                 turned->socket.shutdown(tcp::socket::shutdown_both, ignored);
                                 turned->socket.close(ignored);
                               });
    } else {
      std::make_shared<HttpSession>(std::move(socket), shared)->Read();
    }
    Accept(acceptor);
  });
}

}  // namespace korvel::service
