// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld's web side against the real program and simulated readers, with
// real HTTP, event-stream and WebSocket clients (Beast's client side): who
// may connect, masked card data only, bad input and slow clients, and the
// metrics after known swipes.
#include <grp.h>

#include <deque>
#include <optional>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "service_fixture.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

constexpr const char* kTill = "https://till.example";
constexpr const char* kForeign = "https://foreign.example";

tcp::endpoint Endpoint(int port) {
  return {boost::asio::ip::make_address("127.0.0.1"), static_cast<uint16_t>(port)};
}

// A port nobody listens on now.
int FreePort() {
  boost::asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return acceptor.local_endpoint().port();
}

struct Reply {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string Header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// One request; `headers` may name Host to replace the right one.
Reply Ask(int port, http::verb method, const std::string& target,
          const std::vector<std::pair<std::string, std::string>>& headers = {}) {
  boost::asio::io_context io;
  tcp::socket socket(io);
  socket.connect(Endpoint(port));
  http::request<http::string_body> request(method, target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) request.set(name, value);
  http::write(socket, request);
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  beast::error_code error;
  http::read(socket, buffer, response, error);
  Reply reply;
  if (error) return reply;
  reply.status = response.result_int();
  for (const auto& field : response) {
    std::string name(field.name_string());
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    reply.headers[name] = std::string(field.value());
  }
  reply.body = response.body();
  return reply;
}

// A WebSocket client of /v1/ws.
class WsClient {
 public:
  WsClient(int port, const std::string& origin, int receive_buffer = 0) : ws_(io_) {
    auto& socket = ws_.next_layer();
    socket.open(tcp::v4());
    if (receive_buffer > 0) socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer));
    socket.connect(Endpoint(port), error_);
    if (error_) return;
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    ws_.handshake(response_, "127.0.0.1:" + std::to_string(port), "/v1/ws", error_);
    if (!error_) Read();
  }
  bool open() const { return !error_ && !closed_; }
  int status() const { return response_.result_int(); }
  const std::string& body() const { return response_.body(); }

  bool SendText(const std::string& text) {
    beast::error_code error;
    ws_.write(boost::asio::buffer(text), error);
    return !error;
  }
  // The raw bytes of a frame, past the WebSocket layer.
  void SendRaw(const std::string& bytes) {
    beast::error_code error;
    boost::asio::write(ws_.next_layer(), boost::asio::buffer(bytes), error);
  }
  Json Next(int timeout_ms = kLongMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (messages_.empty() && !closed_ && Clock::now() < end) {
      io_.restart();
      io_.run_one_for(end - Clock::now());
    }
    if (messages_.empty()) return nullptr;
    const std::string text = messages_.front();
    messages_.pop_front();
    raw_ += text + "\n";
    return Json::parse(text);
  }
  Json NextWhere(const std::function<bool(const Json&)>& match, int timeout_ms = kLongMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      Json json = Next(static_cast<int>(std::max<int64_t>(left, 0)));
      if (json.is_null() || match(json)) return json;
    }
  }
  Json Ask(Json request) {
    const int id = next_id_++;
    request["id"] = id;
    if (!SendText(request.dump())) return nullptr;
    return NextWhere([&](const Json& j) { return j["event"] == "result" && j["id"] == id; });
  }
  // Whether the service closed the connection (within the time).
  bool Closed(int timeout_ms = kLongMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!closed_ && Clock::now() < end) {
      messages_.clear();
      io_.restart();
      io_.run_one_for(end - Clock::now());
    }
    return closed_;
  }
  websocket::close_reason reason() const { return ws_.reason(); }
  const std::string& raw() const { return raw_; }

 private:
  void Read() {
    ws_.async_read(in_, [this](const beast::error_code& error, size_t) {
      if (error) {
        closed_ = true;
        return;
      }
      messages_.push_back(beast::buffers_to_string(in_.data()));
      in_.consume(in_.size());
      Read();
    });
  }

  boost::asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
  websocket::response_type response_;
  beast::error_code error_;
  beast::flat_buffer in_;
  std::deque<std::string> messages_;
  bool closed_ = false;
  int next_id_ = 1;
  std::string raw_;
};

// An event-stream client of /v1/events: the head, then `data:` objects.
class SseClient {
 public:
  SseClient(int port, const std::string& origin) : socket_(io_) {
    socket_.connect(Endpoint(port));
    std::string request = "GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nAccept: text/event-stream\r\n";
    if (!origin.empty()) request += "Origin: " + origin + "\r\n";
    request += "\r\n";
    boost::asio::write(socket_, boost::asio::buffer(request));
    parser_.skip(true);  // the body is the stream, read below
    beast::error_code error;
    http::read_header(socket_, buffer_, parser_, error);
    if (!error) status_ = parser_.get().result_int();
    for (const auto& field : parser_.get())
      head_ += std::string(field.name_string()) + ": " + std::string(field.value()) + "\n";
    pending_ = beast::buffers_to_string(buffer_.data());
  }
  int status() const { return status_; }
  const std::string& head() const { return head_; }
  // The next `data:` object, or null after the time.
  Json Next(int timeout_ms = kLongMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      size_t gap;
      while ((gap = pending_.find("\n\n")) != std::string::npos) {
        const std::string block = pending_.substr(0, gap);
        pending_.erase(0, gap + 2);
        raw_ += block + "\n\n";
        if (block.rfind("data: ", 0) == 0) return Json::parse(block.substr(6));
      }
      if (closed_ || Clock::now() >= end) return nullptr;
      socket_.async_read_some(boost::asio::buffer(chunk_), [this](const beast::error_code& error, size_t n) {
        if (error) closed_ = true;
        pending_.append(chunk_.data(), n);
      });
      io_.restart();
      if (io_.run_one_for(end - Clock::now()) == 0) {
        socket_.cancel();
        io_.restart();
        io_.run();
      }
    }
  }
  Json NextEvent(const std::string& event) {
    for (;;) {
      Json json = Next();
      if (json.is_null() || json["event"] == event) return json;
    }
  }
  const std::string& raw() const { return raw_; }

 private:
  boost::asio::io_context io_;
  tcp::socket socket_;
  beast::flat_buffer buffer_;
  http::response_parser<http::empty_body> parser_;
  int status_ = 0;
  std::string head_, pending_, raw_;
  std::array<char, 4096> chunk_{};
  bool closed_ = false;
};

class Web : public Service {
 protected:
  // lane1 and the web side on a port of its own.
  PtyReader* StartWeb(const std::string& top = "", const std::string& web = "",
                      const std::string& more_origins = "") {
    port_ = FreePort();
    PtyReader* lane = AddReader("lane1");
    WriteConfig(top + ReaderTable("lane1", "tracks = [2]\nsentinels = \"%?;?+?71\"\n") +
                "[web]\nlisten = \"127.0.0.1:" + std::to_string(port_) + "\"\norigins = [\"" + kTill + "\"" +
                more_origins + "]\nroot = \"" KORVELD_WEB_ROOT_SOURCE "\"\n" + web);
    Start();
    EXPECT_TRUE(WaitState("lane1", "ready")) << ReadFile(log_);
    return lane;
  }
  std::string Own() const { return "http://127.0.0.1:" + std::to_string(port_); }
  int port_ = 0;
};

TEST_F(Web, WhoMayConnect) {
  StartWeb();
  using H = std::vector<std::pair<std::string, std::string>>;
  const std::string pna = "Access-Control-Request-Private-Network";
  const H upgrade = {{"Upgrade", "websocket"},
                     {"Connection", "Upgrade"},
                     {"Sec-WebSocket-Version", "13"},
                     {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}};
  auto with = [](H headers, const std::string& origin) {
    headers.emplace_back("Origin", origin);
    return headers;
  };
  struct Case {
    http::verb method;
    std::string target;
    H headers;
    int status;
    std::string allow_origin;  // Access-Control-Allow-Origin, "" for none
    bool private_network;
  };
  const std::vector<Case> cases = {
      {http::verb::get, "/v1/readers", {}, 200, "", false},
      {http::verb::get, "/v1/readers", {{"Origin", kTill}}, 200, kTill, false},
      {http::verb::get, "/v1/readers", {{"Origin", Own()}}, 200, "", false},
      {http::verb::get,
       "/v1/readers",
       {{"Origin", "http://localhost:" + std::to_string(port_)}},
       200,
       "",
       false},
      {http::verb::get, "/v1/readers", {{"Origin", "http://[::1]:" + std::to_string(port_)}}, 200, "", false},
      {http::verb::get, "/v1/readers", {{"Origin", kForeign}}, 403, "", false},
      {http::verb::get, "/v1/readers", {{"Origin", "null"}}, 403, "", false},
      {http::verb::get, "/v1/readers", {{"Origin", "https://till.example.foreign.example"}}, 403, "", false},
      // A foreign name made to point at 127.0.0.1: its pages are same-origin to it.
      {http::verb::get,
       "/v1/readers",
       {{"Host", "foreign.example:" + std::to_string(port_)}},
       403,
       "",
       false},
      {http::verb::get, "/metrics", {{"Origin", kForeign}}, 403, "", false},
      {http::verb::get, "/", {{"Origin", kForeign}}, 403, "", false},
      {http::verb::get, "/v1/events", {{"Origin", kForeign}}, 403, "", false},
      {http::verb::options, "/v1/readers", {{"Origin", kTill}, {pna, "true"}}, 204, kTill, true},
      {http::verb::options, "/v1/ws", {{"Origin", kTill}}, 204, kTill, false},
      {http::verb::options, "/v1/readers", {{"Origin", kForeign}, {pna, "true"}}, 403, "", false},
      {http::verb::post, "/v1/readers", {{"Origin", kTill}}, 405, kTill, false},
      {http::verb::get, "/nothing", {}, 404, "", false},
      {http::verb::get, "/v1/ws", {}, 426, "", false},
      // The upgrade is checked as well.
      {http::verb::get, "/v1/ws", with(upgrade, kForeign), 403, "", false},
      {http::verb::get, "/v1/ws", with(upgrade, kTill), 101, "", false},
      {http::verb::get, "/", {}, 200, "", false},
      {http::verb::get, "/korvel.js", {{"Origin", kTill}}, 200, kTill, false},
  };
  for (const Case& c : cases) {
    std::string what = std::string(http::to_string(c.method)) + " " + c.target;
    for (const auto& [name, value] : c.headers) what += " " + name + ": " + value;
    const Reply reply = Ask(port_, c.method, c.target, c.headers);
    EXPECT_EQ(reply.status, c.status) << what << "\n" << reply.body;
    EXPECT_EQ(reply.Header("access-control-allow-origin"), c.allow_origin) << what;
    EXPECT_EQ(reply.Header("access-control-allow-private-network"), c.private_network ? "true" : "") << what;
    if (c.status == 403) {
      EXPECT_EQ(reply.body.find("lane1"), std::string::npos) << what;
    }
  }
  const Reply page = Ask(port_, http::verb::get, "/");
  EXPECT_NE(page.body.find("<title>"), std::string::npos);
  EXPECT_NE(page.Header("content-security-policy").find("default-src 'none'"), std::string::npos);
  EXPECT_NE(Ask(port_, http::verb::get, "/v1/readers").body.find("\"lane1\""), std::string::npos);

  WsClient foreign(port_, kForeign);
  EXPECT_FALSE(foreign.open());
  WsClient till(port_, kTill);
  ASSERT_TRUE(till.open());
  EXPECT_EQ(till.Ask({{"request", "readers"}})["readers"][0]["name"], "lane1");
  SseClient foreign_events(port_, kForeign);
  EXPECT_EQ(foreign_events.status(), 403);
}

TEST_F(Web, TokenGuardsTheDataButNotThePage) {
  StartWeb("", "token = \"0123456789abcdef-token\"\n");
  const std::string token = "0123456789abcdef-token";
  EXPECT_EQ(Ask(port_, http::verb::get, "/v1/readers").status, 401);
  EXPECT_EQ(
      Ask(port_, http::verb::get, "/v1/readers", {{"Authorization", "Bearer wrong-token-0123456"}}).status,
      401);
  EXPECT_EQ(Ask(port_, http::verb::get, "/v1/readers", {{"Authorization", "Bearer " + token}}).status, 200);
  EXPECT_EQ(Ask(port_, http::verb::get, "/metrics?access_token=" + token).status, 200);
  EXPECT_EQ(Ask(port_, http::verb::get, "/korvel.js").status, 200);
}

TEST_F(Web, WebClientsGetMaskedCardDataOnlyWhateverTheyAsk) {
  // The test's own group may see card data in full on the socket; never over the web.
  const struct group* own = getgrgid(getgid());
  ASSERT_NE(own, nullptr);
  PtyReader* lane = StartWeb("reveal_groups = [\"" + std::string(own->gr_name) + "\"]\n");
  auto revealed = Subscriber({{"request", "subscribe"}, {"reveal", true}});
  WsClient ws(port_, kTill);
  ASSERT_TRUE(ws.open());
  const Json refused = ws.Ask({{"request", "subscribe"}, {"reveal", true}});
  EXPECT_EQ(refused["error"], "reveal_refused") << refused.dump();
  EXPECT_EQ(ws.Ask({{"request", "subscribe"}})["ok"], true);
  EXPECT_EQ(ws.Ask({{"request", "read"}, {"reader", "lane1"}, {"reveal", true}})["error"], "reveal_refused");
  SseClient sse(port_, kTill);
  ASSERT_EQ(sse.status(), 200);
  EXPECT_NE(sse.head().find("text/event-stream"), std::string::npos);
  EXPECT_NE(sse.head().find(std::string("Access-Control-Allow-Origin: ") + kTill), std::string::npos)
      << sse.head();

  lane->Swipe(0);
  EXPECT_EQ(revealed->NextEvent("swipe")["card"]["account"], "4111111111111111");
  const Json by_ws = ws.NextWhere([](const Json& j) { return j["event"] == "swipe"; });
  EXPECT_EQ(by_ws["card"]["account"], "411111******1111") << ws.raw();
  EXPECT_EQ(by_ws["card"]["revealed"], false);
  const Json by_sse = sse.NextEvent("swipe");
  EXPECT_EQ(by_sse, by_ws);
  // The kept swipe, for a page opened later: masked too, with its counts.
  const Reply readers = Ask(port_, http::verb::get, "/v1/readers");
  const Json entry = Json::parse(readers.body)["readers"][0];
  EXPECT_EQ(entry["last_swipe"], by_ws);
  EXPECT_EQ(entry["swipes_good"], 1);
  EXPECT_EQ(entry["swipes_failed"], 0);
  for (const std::string& text : {ws.raw(), sse.raw(), readers.body})
    EXPECT_EQ(text.find("4111111111111111"), std::string::npos) << text;
}

TEST_F(Web, BadInputIsRefusedAndOthersGoOn) {
  PtyReader* lane = StartWeb("client_queue = 4\n", "max_clients = 6\n");
  WsClient fast(port_, kTill);
  ASSERT_TRUE(fast.open());
  ASSERT_EQ(fast.Ask({{"request", "subscribe"}})["ok"], true);
  WsClient slow(port_, kTill, 4096);
  ASSERT_TRUE(slow.open());
  ASSERT_EQ(slow.Ask({{"request", "subscribe"}})["ok"], true);

  // A head over the limit.
  EXPECT_EQ(Ask(port_, http::verb::get, "/v1/readers", {{"X-Filler", std::string(20000, 'x')}}).status, 431);
  // A message over the limit, and a frame no WebSocket has: closed, with the code for it.
  WsClient big(port_, kTill);
  ASSERT_TRUE(big.SendText("{\"request\":\"readers\",\"pad\":\"" + std::string(70 * 1024, 'x') + "\"}"));
  EXPECT_TRUE(big.Closed());
  EXPECT_EQ(big.reason().code, websocket::close_code::too_big);
  WsClient odd(port_, kTill);
  odd.SendRaw(std::string("\x83\x80\x01\x02\x03\x04", 6));  // opcode 3 is reserved
  EXPECT_TRUE(odd.Closed());
  EXPECT_EQ(odd.reason().code, websocket::close_code::protocol_error);
  // Bad requests get errors, as on the socket.
  EXPECT_EQ(fast.Ask({{"request", "fly"}})["error"], "unknown_request");

  // Too many connections: 503 for the one over max_clients, until one leaves.
  std::vector<std::unique_ptr<tcp::socket>> idle;
  boost::asio::io_context io;
  std::string answer;
  for (int i = 0; i < 8 && answer.empty(); ++i) {
    auto socket = std::make_unique<tcp::socket>(io);
    socket->connect(Endpoint(port_));
    socket->non_blocking(false);
    pollfd p{socket->native_handle(), POLLIN, 0};
    if (poll(&p, 1, 500) > 0) {
      char text[256] = {};
      answer.assign(text, static_cast<size_t>(std::max<ssize_t>(recv(p.fd, text, sizeof text, 0), 0)));
    }
    idle.push_back(std::move(socket));
  }
  EXPECT_EQ(answer.rfind("HTTP/1.1 503", 0), 0u) << answer;
  EXPECT_EQ(idle.size(), 5u);  // fast, slow and these four: six
  idle.clear();
  EXPECT_TRUE(WaitFor([&] { return Ask(port_, http::verb::get, "/v1/readers").status == 200; }));

  // A slow reader of its WebSocket loses the oldest events and is told; the fast one loses none.
  const korvel::sim::Card card{"short", "", "4111111111111111=2912", ""};
  constexpr int kSwipes = 200;
  for (int i = 1; i <= kSwipes; ++i) {
    lane->Swipe(card);
    const Json swipe =
        fast.NextWhere([](const Json& j) { return j["event"] == "swipe" || j["event"] == "dropped"; });
    ASSERT_EQ(swipe["event"], "swipe");
    ASSERT_EQ(swipe["seq"], i);
  }
  uint64_t dropped = 0;
  int last = 0, seen = 0;
  while (last < kSwipes) {
    const Json json = slow.Next(3000);
    if (json.is_null()) break;
    if (json["event"] == "dropped") dropped += json["count"].get<uint64_t>();
    if (json["event"] == "swipe") {
      EXPECT_GT(json["seq"].get<int>(), last);
      last = json["seq"];
      ++seen;
    }
  }
  EXPECT_EQ(last, kSwipes);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(dropped + seen, static_cast<uint64_t>(kSwipes));
  // The socket side never noticed.
  EXPECT_EQ(ReaderEntry("lane1")["swipes"], kSwipes);
}

// One sample from the text format: the value of the series `series` (name and labels as written).
std::optional<double> Sample(const std::string& text, const std::string& series) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(series + " ", 0) == 0) return std::stod(line.substr(series.size() + 1));
  return std::nullopt;
}

TEST_F(Web, MetricsCountKnownSwipesAndHoldNoCardData) {
  PtyReader* lane = StartWeb();
  WsClient ws(port_, kTill);
  ASSERT_EQ(ws.Ask({{"request", "subscribe"}})["ok"], true);
  // A good card, a wrong check digit, an expired card.
  for (size_t card : {0, 4, 5}) {
    lane->Swipe(card);
    ASSERT_FALSE(ws.NextWhere([](const Json& j) { return j["event"] == "swipe"; }).is_null());
  }
  const Reply reply = Ask(port_, http::verb::get, "/metrics");
  ASSERT_EQ(reply.status, 200);
  EXPECT_NE(reply.Header("content-type").find("text/plain; version=0.0.4"), std::string::npos);
  const std::string& text = reply.body;
  const std::map<std::string, double> expected = {
      {"korveld_reader_state{reader=\"lane1\",state=\"ready\"}", 1},
      {"korveld_reader_state{reader=\"lane1\",state=\"lost\"}", 0},
      {"korveld_swipes_total{reader=\"lane1\",result=\"good\"}", 1},
      {"korveld_swipes_total{reader=\"lane1\",result=\"failed\"}", 2},
      {"korveld_swipes_total{reader=\"lane1\",result=\"overflow\"}", 0},
      {"korveld_swipe_check_failures_total{reader=\"lane1\",check=\"account_check_digit\"}", 1},
      {"korveld_swipe_check_failures_total{reader=\"lane1\",check=\"not_expired\"}", 1},
      {"korveld_reader_reconnects_total{reader=\"lane1\"}", 0},
      {"korveld_delivery_seconds_count{reader=\"lane1\"}", 3},
      {"korveld_delivery_seconds_bucket{reader=\"lane1\",le=\"+Inf\"}", 3},
      {"korveld_clients{kind=\"websocket\"}", 1},
      {"korveld_clients{kind=\"sse\"}", 0},
  };
  for (const auto& [series, value] : expected)
    EXPECT_EQ(Sample(text, series), value) << series << "\n" << text;
  for (const char* account : kAccounts) {
    EXPECT_EQ(text.find(account), std::string::npos);
    EXPECT_EQ(text.find(std::string(account).substr(0, 6) + "**"), std::string::npos);
  }

  // Unplugged and back: one reconnect, and the state follows.
  lane->HangUp();
  ASSERT_FALSE(
      ws.NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "lost"; }).is_null());
  EXPECT_EQ(Sample(Ask(port_, http::verb::get, "/metrics").body,
                   "korveld_reader_state{reader=\"lane1\",state=\"lost\"}"),
            1);
  readers_.erase("lane1");
  lane = AddReader("lane1");
  ASSERT_FALSE(
      ws.NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "ready"; }).is_null());
  EXPECT_EQ(Sample(Ask(port_, http::verb::get, "/metrics").body,
                   "korveld_reader_reconnects_total{reader=\"lane1\"}"),
            1);

  // The format is Prometheus's own tool's, where it is installed.
  if (system("command -v promtool >/dev/null 2>&1") != 0) {
    GTEST_SKIP()
        << "promtool is not installed (Debian's prometheus package): the format was not checked by it";
  }
  const std::string file = dir_ + "/metrics.txt";
  std::ofstream(file) << text;
  const std::string check = "promtool check metrics < " + file + " > " + dir_ + "/promtool.txt 2>&1";
  EXPECT_EQ(system(check.c_str()), 0) << ReadFile(dir_ + "/promtool.txt");
}

// The status page and korvel.js in a real headless Chromium, driven by
// tests/web/browser_test.mjs: it asks for swipes and for the service to stop
// and start on its stdout, and this test does them.
TEST_F(Web, StatusPageAndKorvelJsInHeadlessChromium) {
  const std::string script = KORVEL_SOURCE_DIR "/tests/web/browser_test.mjs";
  if (system("command -v node >/dev/null 2>&1") != 0) GTEST_SKIP() << "node is not installed";
  if (!fs::exists("/usr/bin/chromium") && std::getenv("CHROMIUM") == nullptr)
    GTEST_SKIP() << "chromium is not installed (Debian's chromium package)";
  if (!fs::exists(KORVEL_SOURCE_DIR "/tests/web/node_modules/puppeteer-core"))
    GTEST_SKIP() << "tests/web/node_modules is missing: run `npm ci` in tests/web "
                    "(scripts/setup-debian.sh --test does)";
  const int till = FreePort(), foreign = FreePort();
  PtyReader* lane = StartWeb("", "", ", \"http://127.0.0.1:" + std::to_string(till) + "\"");
  const std::string out = KORVEL_BROWSER_OUT;
  fs::create_directories(out);

  int to_node[2], from_node[2];
  ASSERT_EQ(pipe2(to_node, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(from_node, O_CLOEXEC), 0);
  const std::string args[] = {std::to_string(port_), std::to_string(till), std::to_string(foreign), out,
                              std::to_string(KORVEL_BROWSER_LIMIT_MS)};
  const pid_t node = fork();
  if (node == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(to_node[0], STDIN_FILENO);
    dup2(from_node[1], STDOUT_FILENO);
    dup2(from_node[1], STDERR_FILENO);
    execlp("node", "node", script.c_str(), args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str(),
           args[4].c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_node[0]);
  close(from_node[1]);
  std::string output, pending;
  const auto end = Clock::now() + std::chrono::seconds(150);
  bool open = true;
  while (open && Clock::now() < end) {
    pollfd p{from_node[0], POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char data[4096];
    const ssize_t n = read(from_node[0], data, sizeof data);
    if (n <= 0) break;
    pending.append(data, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      const std::string line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      output += line + "\n";
      if (line.rfind("@@ ", 0) != 0) continue;
      const std::string command = line.substr(3);
      if (command.rfind("swipe ", 0) == 0) {
        lane->Swipe(static_cast<size_t>(std::stoul(command.substr(6))));
      } else if (command == "stop") {
        EXPECT_EQ(Stop(), 0);
      } else if (command == "start") {
        Start();
        EXPECT_TRUE(WaitState("lane1", "ready"));
      }
      if (write(to_node[1], "ok\n", 3) != 3) open = false;
    }
  }
  close(to_node[1]);
  close(from_node[0]);
  int status = 0;
  if (!WaitFor([&] { return waitpid(node, &status, WNOHANG) == node; }, 30000)) {
    kill(node, SIGKILL);
    waitpid(node, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output << ReadFile(log_);
  std::printf("%s(screenshots in %s)\n", output.c_str(), out.c_str());
  EXPECT_TRUE(fs::exists(out + "/status.png"));
}

}  // namespace
