// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld's pure core: the configuration and its problems, the clients'
// requests and the objects they receive, the drop rule of a client's queue,
// and a reader's states and backoff.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <cstring>

#include "client_queue.h"
#include "config.h"
#include "metrics.h"
#include "protocol.h"
#include "reader_state.h"
#include "report.h"
#include "service_client.h"
#include "web_policy.h"

namespace {

using namespace korvel::service;

TEST(Config, ReadsEveryKey) {
  std::vector<ConfigProblem> problems;
  const Config config = ParseConfig(R"(
socket = "/tmp/k.sock"
reveal_groups = ["cashiers"]
client_queue = 16
[[reader]]
name = "lane1"
port = "/dev/ttyUSB0"
baud = 19200
sentinels = "%?;?+?70"
tracks = [1, 2]
[reader.wedge]
template = "M{track2}{tab}{name}{enter}"
allow_payment_data = true
key_delay_ms = 20
[[reader]]
name = "net"
port = "rfc2217://pos:7000"
[reader.wedge]
[discover]
match = ["/dev/serial/by-id/usb-*"]
tracks = [2]
)",
                                    &problems);
  ASSERT_TRUE(problems.empty()) << ProblemText("f", problems[0]);
  EXPECT_EQ(config.socket, "/tmp/k.sock");
  EXPECT_EQ(config.reveal_groups, std::vector<std::string>{"cashiers"});
  EXPECT_EQ(config.client_queue, 16u);
  ASSERT_EQ(config.readers.size(), 2u);
  EXPECT_EQ(config.readers[0].baud, 19200u);
  EXPECT_EQ(config.readers[0].tracks, kTrack1 | kTrack2);
  ASSERT_TRUE(config.readers[0].record);
  EXPECT_EQ((*config.readers[0].record)[7], '0');
  EXPECT_EQ(config.readers[1].baud, 9600u);
  EXPECT_FALSE(config.readers[1].record);
  EXPECT_EQ(config.readers[1].Record(), korvel::cli::kDefaultRecord);
  EXPECT_TRUE(IsNetworkPort(config.readers[1].port));
  EXPECT_FALSE(IsNetworkPort(config.readers[0].port));
  EXPECT_EQ(config.readers[0].wedge, (WedgeSettings{"M{track2}{tab}{name}{enter}", true, 20}));
  EXPECT_EQ(config.readers[1].wedge, WedgeSettings{});  // the defaults: {track2}{enter}, safe, 5 ms
  EXPECT_EQ(config.match, std::vector<std::string>{"/dev/serial/by-id/usb-*"});
  EXPECT_EQ(config.discover.tracks, kTrack2);
  EXPECT_TRUE(config.discover.discovered);
  EXPECT_EQ(ParseConfig("", &problems).socket, kDefaultSocket);
}

TEST(Config, NamesLineKeyAndWhy) {
  struct Case {
    const char* text;
    int line;
    const char* key;
    const char* why;  // a part of the reason
  };
  const Case cases[] = {
      {"socket = 3", 1, "socket", "must be a string"},
      {"socket = \"relative\"", 1, "socket", "absolute"},
      {"\n\nsokcet = \"/x\"", 3, "sokcet", "unknown key"},
      {"[[reader]]\nname = \"a\"\n", 1, "reader[1].port", "missing"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\nbaud = 9601", 4, "reader[1].baud", "4800, 9600"},
      {"[[reader]]\nname = \"a b\"\nport = \"p\"", 2, "reader[1].name", "letters"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\n[[reader]]\nname = \"a\"\nport = \"q\"", 5, "reader[2].name",
       "another reader"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\nsentinels = \"%?\"", 4, "reader[1].sentinels",
       "six sentinels"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\ntracks = [1, 4]", 4, "reader[1].tracks", "1 to 3"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\ntracks = [2, 2]", 4, "reader[1].tracks", "different"},
      {"[[reader]]\nname = \"a\"\nport = \"rfc2217://host\"", 3, "reader[1].port", ""},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\ncolour = 1", 4, "reader[1].colour", "unknown key"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\n[reader.wedge]\ntemplate = \"{track2}{entr}\"", 5,
       "reader[1].wedge.template", "unknown field {entr} at character 9"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\n[reader.wedge]\nallow_payment_data = 1", 5,
       "reader[1].wedge.allow_payment_data", "true or false"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\n[reader.wedge]\nkey_delay_ms = 1001", 5,
       "reader[1].wedge.key_delay_ms", "0 to 1000"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\n[reader.wedge]\nclipboard = true", 5,
       "reader[1].wedge.clipboard", "unknown key"},
      {"[[reader]]\nname = \"a\"\nport = \"p\"\nwedge = 1", 4, "reader[1].wedge", "[reader.wedge]"},
      {"[discover]\nmatch = \"/dev/x*\"", 2, "discover.match", "list of strings"},
      {"[discover]\nmatch = [\"/dev/*/x\"]", 2, "discover.match", "only the file name"},
      {"reveal_groups = [1]", 1, "reveal_groups", "list of strings"},
      {"client_queue = 0", 1, "client_queue", "1 to 100000"},
      {"reader = 1", 1, "reader", "[[reader]]"},
      {"socket = \"/x\"\nsocket = \"/y\"", 2, "", ""},  // TOML itself: a key twice
      {"[[reader]\n", 1, "", ""},
      {"[web]\norigins = []", 1, "web.listen", "missing"},
      {"[web]\nlisten = \"127.0.0.1\"", 2, "web.listen", "HOST:PORT"},
      {"[web]\nlisten = \"::1:80\"", 2, "web.listen", "brackets"},
      {"[web]\nlisten = \"127.0.0.1:0\"", 2, "web.listen", "1 to 65535"},
      {"[web]\nlisten = \"shop.example:80\"", 2, "web.listen", "not an IP address"},
      {"[web]\nlisten = \"0.0.0.0:8931\"", 2, "web.listen", "not a loopback address"},
      {"[web]\nlisten = \"192.0.2.7:8931\"\nallow_remote = true", 2, "web.token", "needs a token"},
      {"[web]\nlisten = \"192.0.2.7:8931\"\nallow_remote = true\ntoken = \"short\"", 4, "web.token",
       "at least 16"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\norigins = [\"https://till.example/pay\"]", 3, "web.origins",
       "not an origin"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\norigins = [\"*\"]", 3, "web.origins", "not an origin"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\nmax_clients = 0", 3, "web.max_clients", "1 to 10000"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\nroot = \"web\"", 3, "web.root", "absolute"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\nallow_remote = \"yes\"", 3, "web.allow_remote", "true or false"},
      {"[web]\nlisten = \"127.0.0.1:8931\"\nport = 1", 3, "web.port", "unknown key"},
  };
  for (const Case& c : cases) {
    std::vector<ConfigProblem> problems;
    ParseConfig(c.text, &problems);
    ASSERT_EQ(problems.size(), 1u) << c.text;
    EXPECT_EQ(problems[0].line, c.line) << c.text;
    EXPECT_EQ(problems[0].key, c.key) << c.text;
    EXPECT_NE(problems[0].why.find(c.why), std::string::npos) << c.text << ": " << problems[0].why;
    EXPECT_FALSE(problems[0].why.empty());
  }
  // Every problem, not just the first.
  std::vector<ConfigProblem> problems;
  ParseConfig("a = 1\nb = 2\n[[reader]]\nport = 3", &problems);
  EXPECT_EQ(problems.size(), 4u);
  EXPECT_EQ(ProblemText("k.toml", {7, "reader[1].baud", "why"}), "k.toml:7: reader[1].baud: why");
  EXPECT_EQ(ProblemText("k.toml", {2, "", "why"}), "k.toml:2: why");
}

TEST(Config, WebTable) {
  std::vector<ConfigProblem> problems;
  EXPECT_FALSE(ParseConfig("", &problems).web);  // no [web]: no web side
  Config config = ParseConfig(R"(
[web]
listen = "[::1]:8931"
origins = ["https://till.example", "http://localhost:3000"]
max_clients = 8
root = "/srv/web"
)",
                              &problems);
  ASSERT_TRUE(problems.empty()) << ProblemText("f", problems[0]);
  ASSERT_TRUE(config.web);
  EXPECT_EQ(config.web->host, "::1");
  EXPECT_EQ(config.web->port, 8931);
  EXPECT_EQ(config.web->origins.size(), 2u);
  EXPECT_EQ(config.web->max_clients, 8u);
  EXPECT_EQ(config.web->root, "/srv/web");
  // Beyond loopback only when asked for in so many words, with a token.
  config = ParseConfig(
      "[web]\nlisten = \"192.0.2.7:8931\"\nallow_remote = true\ntoken = \"0123456789abcdef\"\n", &problems);
  ASSERT_TRUE(problems.empty()) << ProblemText("f", problems[0]);
  EXPECT_TRUE(config.web->allow_remote);
  EXPECT_EQ(ParseConfig("[web]\nlisten = \"localhost:1\"", &problems).web->root, kDefaultWebRoot);
}

TEST(WebPolicy, OriginsHostsAndTokens) {
  WebSettings web;
  web.port = 8931;
  web.origins = {"https://till.example"};
  struct Case {
    const char* origin;  // null: no Origin header
    OriginVerdict verdict;
  };
  const Case origins[] = {
      {nullptr, OriginVerdict::kNone},
      {"http://127.0.0.1:8931", OriginVerdict::kOwn},
      {"http://localhost:8931", OriginVerdict::kOwn},
      {"http://[::1]:8931", OriginVerdict::kOwn},
      {"http://127.0.0.1:8932", OriginVerdict::kRefused},
      {"https://127.0.0.1:8931", OriginVerdict::kRefused},
      {"https://till.example", OriginVerdict::kListed},
      {"https://till.example:443", OriginVerdict::kRefused},
      {"https://till.example.other", OriginVerdict::kRefused},
      {"null", OriginVerdict::kRefused},
      {"", OriginVerdict::kRefused},
  };
  for (const Case& c : origins)
    EXPECT_EQ(CheckOrigin(web, c.origin ? c.origin : "", c.origin != nullptr), c.verdict)
        << (c.origin ? c.origin : "(none)");

  for (const char* host : {"127.0.0.1:8931", "localhost:8931", "[::1]:8931"})
    EXPECT_TRUE(HostAllowed(web, host));
  for (const char* host : {"shop.example:8931", "127.0.0.1:8932", "127.0.0.1", ""})
    EXPECT_FALSE(HostAllowed(web, host)) << host;

  EXPECT_TRUE(TokenGood(web, "", ""));
  web.token = "0123456789abcdef";
  EXPECT_TRUE(TokenGood(web, "Bearer 0123456789abcdef", ""));
  EXPECT_TRUE(TokenGood(web, "", "x=1&access_token=0123456789abcdef"));
  EXPECT_FALSE(TokenGood(web, "Bearer 0123456789abcde", ""));
  EXPECT_FALSE(TokenGood(web, "Bearer 0123456789abcdefg", ""));
  EXPECT_FALSE(TokenGood(web, "0123456789abcdef", "access_token=0123456789abcdeF"));

  // CORS for listed origins only; the private-network answer only when asked.
  EXPECT_TRUE(CorsHeaders(OriginVerdict::kOwn, "http://127.0.0.1:8931", true, true).empty());
  EXPECT_TRUE(CorsHeaders(OriginVerdict::kRefused, "https://x.example", true, true).empty());
  auto headers = CorsHeaders(OriginVerdict::kListed, "https://till.example", true, true);
  auto has = [&](const std::string& name, const std::string& value) {
    for (const auto& [n, v] : headers)
      if (n == name) return v == value;
    return false;
  };
  EXPECT_TRUE(has("Access-Control-Allow-Origin", "https://till.example"));
  EXPECT_TRUE(has("Access-Control-Allow-Private-Network", "true"));
  headers = CorsHeaders(OriginVerdict::kListed, "https://till.example", true, false);
  EXPECT_FALSE(has("Access-Control-Allow-Private-Network", "true"));
  EXPECT_EQ(SplitTarget("/v1/ws?access_token=a"),
            std::make_pair(std::string_view("/v1/ws"), std::string_view("access_token=a")));
}

TEST(Metrics, CountsSwipesAndWritesTheTextFormat) {
  ReaderCounters counters;
  SwipeRecord swipe;
  swipe.reader = "lane1";
  swipe.today_yymm = 2612;
  struct Case {
    const char* track;
    int status;
  };
  // Good; wrong check digit; overflow.
  for (const Case& c :
       {Case{";4111111111111111=29121011000000000000?", KORVEL_OK},
        Case{";4111111111111112=29121011000000000000?", KORVEL_OK}, Case{"", KORVEL_E_OVERFLOW}}) {
    swipe.status = c.status;
    swipe.bytes.assign(c.track, c.track + std::strlen(c.track));
    CountSwipe(SwipeEvent(swipe, false), &counters);
  }
  EXPECT_EQ(counters.good, 1u);
  EXPECT_EQ(counters.failed, 1u);
  EXPECT_EQ(counters.overflow, 1u);
  EXPECT_EQ(counters.failed_checks, (std::map<std::string, uint64_t>{{"account_check_digit", 1}}));

  for (double seconds : {0.0002, 0.003, 0.003, 5.0}) counters.delivery.Observe(seconds);
  ServiceMetrics metrics;
  metrics.readers.push_back({"lane1", "ready", &counters});
  metrics.clients = {{"socket", 2}, {"websocket", 1}};
  metrics.dropped = 7;
  const std::string text = MetricsText(metrics);
  for (const char* line : {
           "korveld_reader_state{reader=\"lane1\",state=\"ready\"} 1\n",
           "korveld_reader_state{reader=\"lane1\",state=\"absent\"} 0\n",
           "korveld_swipes_total{reader=\"lane1\",result=\"failed\"} 1\n",
           "korveld_swipe_check_failures_total{reader=\"lane1\",check=\"account_check_digit\"} 1\n",
           "korveld_delivery_seconds_bucket{reader=\"lane1\",le=\"0.0005\"} 1\n",
           "korveld_delivery_seconds_bucket{reader=\"lane1\",le=\"0.005\"} 3\n",
           "korveld_delivery_seconds_bucket{reader=\"lane1\",le=\"1\"} 3\n",
           "korveld_delivery_seconds_bucket{reader=\"lane1\",le=\"+Inf\"} 4\n",
           "korveld_delivery_seconds_count{reader=\"lane1\"} 4\n",
           "korveld_clients{kind=\"websocket\"} 1\n",
           "korveld_events_dropped_total 7\n",
           "# TYPE korveld_delivery_seconds histogram\n",
       })
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  EXPECT_EQ(text.find("4111"), std::string::npos);
}

TEST(Config, Names) {
  EXPECT_EQ(NameFromPath("/dev/serial/by-id/usb-Acme_MSR:3T-if00"), "usb-Acme_MSR_3T-if00");
  EXPECT_EQ(NameFromPath("/tmp/x/lane 2"), "lane_2");
  EXPECT_TRUE(ValidName("lane-1.a_b"));
  EXPECT_FALSE(ValidName(""));
  EXPECT_FALSE(ValidName("a/b"));
  EXPECT_FALSE(ValidName(std::string(65, 'a')));
}

TEST(Protocol, ReadsRequests) {
  struct Case {
    const char* line;
    const char* error;  // empty: accepted
  };
  const Case cases[] = {
      {R"({"request":"readers"})", ""},
      {R"({"request":"readers","id":7})", ""},
      {R"({"request":"subscribe","readers":["a","b"],"reveal":true,"id":"x"})", ""},
      {R"({"request":"mode","reader":"a","mode":"command"})", ""},
      {R"({"request":"sentinels","reader":"a","sentinels":"%?;?+?70"})", ""},
      {R"({"request":"claim","reader":"a"})", ""},
      {"not json", "bad_json"},
      {"", "bad_json"},
      {"[1,2]", "not_object"},
      {R"({"id":1})", "no_request"},
      {R"({"request":5})", "no_request"},
      {R"({"request":"explode"})", "unknown_request"},
      {R"({"request":"info"})", "bad_argument"},
      {R"({"request":"info","reader":""})", "bad_argument"},
      {R"({"request":"subscribe","readers":"a"})", "bad_argument"},
      {R"({"request":"subscribe","reveal":"yes"})", "bad_argument"},
      {R"({"request":"mode","reader":"a","mode":"sleep"})", "bad_argument"},
      {R"({"request":"sentinels","reader":"a","sentinels":"%%"})", "bad_argument"},
      {R"({"request":"readers","id":{"a":1}})", "bad_argument"},
  };
  for (const Case& c : cases) {
    const auto parsed = ParseRequest(c.line);
    if (c.error[0] == '\0') {
      EXPECT_TRUE(std::holds_alternative<Request>(parsed)) << c.line;
    } else {
      ASSERT_TRUE(std::holds_alternative<RequestError>(parsed)) << c.line;
      EXPECT_EQ(std::get<RequestError>(parsed).error, c.error) << c.line;
      EXPECT_FALSE(std::get<RequestError>(parsed).message.empty());
    }
  }
  const Request sub = std::get<Request>(
      ParseRequest(R"({"request":"subscribe","readers":["a","b"],"reveal":true,"id":"x"})"));
  EXPECT_EQ(sub.kind, RequestKind::kSubscribe);
  EXPECT_EQ(sub.readers, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(sub.reveal);
  EXPECT_EQ(sub.id, "x");
  const Request mode = std::get<Request>(ParseRequest(R"({"request":"mode","reader":"a","mode":"command"})"));
  EXPECT_EQ(mode.mode, KORVEL_MODE_COMMAND);
  // The id of a request that fails is still echoed.
  const Json error = ErrorResult(std::get<RequestError>(ParseRequest(R"({"request":"explode","id":42})")));
  EXPECT_EQ(
      Line(error),
      "{\"event\":\"result\",\"request\":\"explode\",\"id\":42,\"ok\":false,\"error\":\"unknown_request\","
      "\"message\":\"unknown request \\\"explode\\\" (known: readers, subscribe, unsubscribe, info, mode, "
      "sentinels, read, claim, release)\"}\n");
  const Json failed = StatusResult(mode, KORVEL_E_NO_REPLY);
  EXPECT_EQ(failed["error"], "no_answer");
  EXPECT_EQ(failed["status"], KORVEL_E_NO_REPLY);
  EXPECT_EQ(StatusResult(mode, 5)["error"], "refused");
  EXPECT_EQ(StatusResult(mode, 5)["error_byte"], 5);
}

// The swipe event carries the card exactly as `korvel --json` prints it,
// masked unless revealed, and nothing of the card anywhere else.
TEST(Protocol, SwipeEventIsTheCliCard) {
  const std::string bytes =
      "%B4111111111111111^TEST/CARD^29121010000000000000?\r\n;4111111111111111=29121010000000000000?\r\n";
  SwipeRecord swipe;
  swipe.reader = "lane1";
  swipe.seq = 3;
  swipe.time = TimeText(1796676901123);
  swipe.bytes.assign(bytes.begin(), bytes.end());
  swipe.today_yymm = 2612;
  const korvel::cli::Swipe cli = korvel::cli::DecodeSwipe(swipe.bytes.data(), swipe.bytes.size(),
                                                          korvel::cli::kDefaultRecord, 2612, false);
  const Json masked = SwipeEvent(swipe, false);
  EXPECT_EQ(masked["event"], "swipe");
  EXPECT_EQ(masked["reader"], "lane1");
  EXPECT_EQ(masked["seq"], 3);
  EXPECT_EQ(masked["time"], "2026-12-07T20:55:01.123Z");
  EXPECT_EQ(masked["bytes"], bytes.size());
  EXPECT_EQ(masked["ok"], true);
  EXPECT_EQ(masked["card"], korvel::cli::CardJson(cli.card));
  EXPECT_FALSE(masked.contains("raw"));
  EXPECT_FALSE(masked.contains("follows"));
  EXPECT_EQ(Line(masked).find("4111111111111111"), std::string::npos);
  const Json revealed = SwipeEvent(swipe, true);
  EXPECT_EQ(revealed["card"]["account"], "4111111111111111");
  EXPECT_TRUE(revealed.contains("raw"));

  swipe.follows = 2;
  swipe.status = KORVEL_E_OVERFLOW;
  const Json overflow = SwipeEvent(swipe, false);
  EXPECT_EQ(overflow["follows"], 2);
  EXPECT_EQ(overflow["ok"], false);
  EXPECT_EQ(overflow["status"], KORVEL_E_OVERFLOW);
  EXPECT_TRUE(overflow["card"].is_null());
  EXPECT_TRUE(overflow["bytes"].is_null());

  EXPECT_EQ(Line(ReaderEvent("a", "lost", "")),
            "{\"event\":\"reader\",\"reader\":\"a\",\"state\":\"lost\",\"reason\":null}\n");
  EXPECT_EQ(Line(ClaimEvent("a", false)), "{\"event\":\"released\",\"reader\":\"a\"}\n");
}

// The oldest events go first; results stay; the client learns the count
// before the events that follow the gap.
TEST(ClientQueue, DropsOldestEventsAndSaysHowMany) {
  ClientQueue queue(3);
  EXPECT_TRUE(queue.Empty());
  queue.PushResult("r1\n");
  for (int i = 1; i <= 5; ++i) queue.PushEvent("e" + std::to_string(i) + "\n");
  queue.PushResult("r2\n");
  EXPECT_EQ(queue.dropped_total(), 2u);
  std::vector<std::string> lines;
  while (!queue.Empty()) lines.push_back(queue.Pop());
  EXPECT_EQ(lines, (std::vector<std::string>{"{\"event\":\"dropped\",\"count\":2}\n", "r1\n", "e3\n", "e4\n",
                                             "e5\n", "r2\n"}));
  // Nothing lost, nothing said.
  queue.PushEvent("e6\n");
  EXPECT_EQ(queue.Pop(), "e6\n");
  EXPECT_TRUE(queue.Empty());
  // Results are never dropped; the client is no longer read once as many wait as events may.
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(queue.Full());
    queue.PushResult("r\n");
  }
  EXPECT_TRUE(queue.Full());
  EXPECT_EQ(queue.size(), 3u);
}

TEST(ReaderLife, StatesAndRetries) {
  Backoff backoff;
  std::vector<int64_t> delays;
  for (int i = 0; i < 9; ++i) delays.push_back(backoff.Next());
  EXPECT_EQ(delays, (std::vector<int64_t>{500, 1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));

  ReaderLife local(false);
  EXPECT_EQ(local.state(), ReaderState::kOpening);
  EXPECT_TRUE(local.OpenFailed(KORVEL_OPEN_ABSENT, "/dev/x: no such device"));
  EXPECT_STREQ(StateName(local.state()), "absent");
  EXPECT_FALSE(local.OpenFailed(KORVEL_OPEN_ABSENT, "/dev/x: no such device"));  // nothing new to say
  EXPECT_TRUE(local.WakesOnPathEvent());
  EXPECT_EQ(local.RetryDelayMs(), 500);
  EXPECT_EQ(local.RetryDelayMs(), 1000);
  EXPECT_TRUE(local.Ready());
  EXPECT_FALSE(local.WakesOnPathEvent());
  EXPECT_TRUE(local.Lost("the device went away"));
  EXPECT_EQ(local.RetryDelayMs(), 0);  // at once, then the backoff from its start
  EXPECT_FALSE(local.OpenFailed(KORVEL_OPEN_ABSENT, "gone"));
  EXPECT_STREQ(StateName(local.state()), "lost");
  EXPECT_EQ(local.RetryDelayMs(), 500);
  EXPECT_TRUE(local.OpenFailed(KORVEL_OPEN_BUSY, "busy"));
  EXPECT_STREQ(StateName(local.state()), "failed");
  EXPECT_TRUE(local.SetupFailed("no reply"));
  EXPECT_EQ(local.reason(), "no reply");

  ReaderLife network(true);
  EXPECT_TRUE(network.OpenFailed(KORVEL_OPEN_ABSENT, "connection refused"));
  EXPECT_STREQ(StateName(network.state()), "failed");
  EXPECT_FALSE(network.WakesOnPathEvent());
  EXPECT_TRUE(network.Ready());
  EXPECT_TRUE(network.Lost("closed"));
  EXPECT_EQ(network.RetryDelayMs(), 0);
  EXPECT_EQ(network.RetryDelayMs(), 500);
  EXPECT_EQ(network.RetryDelayMs(), 1000);
}

// Trailing bytes after an early delivery name the swipe they belong to.
TEST(TrailRule, TailsFollowTheSwipeDeliveredEarly) {
  struct Step {
    uint64_t seq;
    bool complete;
    int64_t ms;
    int follows;  // -1: none
  };
  const Step steps[] = {
      {1, true, 1000, -1},   // early delivery
      {2, false, 1060, 1},   // its tail (after the quiet time)
      {3, false, 1120, 1},   // more of it
      {4, true, 1130, -1},   // a whole swipe is never a tail
      {5, true, 5000, -1},   // ...
      {6, false, 5400, -1},  // too late to be a tail: a swipe of its own
      {7, false, 5450, -1},  // after a quiet-time delivery nothing is a tail
  };
  TrailRule rule;
  for (const Step& step : steps) {
    const auto follows = rule.Delivered(step.seq, step.complete, step.ms);
    EXPECT_EQ(follows ? static_cast<int>(*follows) : -1, step.follows) << "seq " << step.seq;
  }
}

// `korvel service`: what it refuses before it connects, and a service that
// is not there.
TEST(ServiceClient, UsageAndUnreachable) {
  struct Case {
    std::vector<std::string> args;
    int code;
  };
  const Case cases[] = {
      {{}, 2},
      {{"bogus"}, 2},
      {{"info"}, 2},
      {{"info", "a", "b"}, 2},
      {{"readers", "a"}, 2},
      {{"mode", "a", "sleep"}, 2},
      {{"watch", "--count", "0"}, 2},
      {{"watch", "--timeout", "x"}, 2},
      {{"info", "a", "--count", "2"}, 2},
      {{"--frobnicate", "readers"}, 2},
      {{"--help"}, 0},
      {{"--socket", "/nonexistent/k.sock", "readers"}, 1},
      {{"--socket", "/nonexistent/k.sock", "--json", "watch"}, 1},
  };
  const std::atomic<bool> stop{false};
  for (const Case& c : cases) {
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    EXPECT_EQ(korvel::cli::RunService(c.args, out, err, stop), c.code) << testing::PrintToString(c.args);
    std::fclose(out);
    std::fclose(err);
  }
  EXPECT_EQ(korvel::cli::ServiceSocket("/x.sock"), "/x.sock");
}

}  // namespace
