// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The korveld program against simulated readers on pseudo-terminals, with
// real clients on its socket: fan-out, claims, a reader unplugged and back,
// discovery, slow and misbehaving clients, reload, stop, reveal, and the
// log after every sample card.
#include "ser2net_server.h"
#include "service_fixture.h"

namespace {

TEST_F(Service, EveryClientGetsTheSameSwipe) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready")) << ReadFile(log_);
  const Json entry = ReaderEntry("lane1");
  EXPECT_EQ(entry["identification"], "MSR-3T V2.10");
  EXPECT_EQ(entry["mode_found"], "command");
  EXPECT_EQ(lane->State().mode, '0');  // served in active mode

  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(Subscriber());
  lane->Swipe(0);
  std::string first;
  for (auto& client : clients) {
    const Json swipe = client->NextEvent("swipe");
    ASSERT_FALSE(swipe.is_null());
    EXPECT_EQ(swipe["reader"], "lane1");
    EXPECT_EQ(swipe["seq"], 1);
    EXPECT_EQ(swipe["card"]["account"], "411111******1111");
    EXPECT_EQ(swipe["card"]["revealed"], false);
    Json same = swipe;
    if (first.empty()) first = same.dump();
    EXPECT_EQ(same.dump(), first);
  }
  // A client that subscribed to another reader only gets nothing of it.
  Client info(socket_);
  const Json result = info.Ask({{"request", "info"}, {"reader", "lane1"}});
  EXPECT_EQ(result["ok"], true) << result.dump();
  EXPECT_EQ(result["mode"], "active");
  EXPECT_EQ(result["identification"], "MSR-3T V2.10");
}

TEST_F(Service, ClaimAndRelease) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto holder = Subscriber();
  auto other = Subscriber();
  EXPECT_EQ(holder->Ask({{"request", "claim"}, {"reader", "lane1"}})["ok"], true);
  EXPECT_FALSE(other->NextEvent("claimed").is_null());
  EXPECT_EQ(other->Ask({{"request", "claim"}, {"reader", "lane1"}})["error"], "claimed");
  EXPECT_EQ(other->Ask({{"request", "info"}, {"reader", "lane1"}})["error"], "claimed");
  EXPECT_EQ(other->Ask({{"request", "release"}, {"reader", "lane1"}})["error"], "claimed");

  lane->Swipe(1);
  EXPECT_EQ(holder->NextEvent("swipe")["seq"], 1);
  // Settings change only under a claim; the holder may put the reader in command mode.
  const Json mode = holder->Ask({{"request", "mode"}, {"reader", "lane1"}, {"mode", "command"}});
  EXPECT_EQ(mode["ok"], true) << mode.dump();
  EXPECT_EQ(lane->State().mode, '1');
  // In command mode the reader keeps the last card for `read`.
  lane->Swipe(0);
  ASSERT_TRUE(lane->WaitIdle(kLongMs));
  const Json read = holder->Ask({{"request", "read"}, {"reader", "lane1"}});
  EXPECT_EQ(read["ok"], true) << read.dump();
  EXPECT_EQ(read["card"]["account"], "411111******1111");
  const Json record = holder->Ask({{"request", "sentinels"}, {"reader", "lane1"}, {"sentinels", "%?;?+?70"}});
  EXPECT_EQ(record["record"], "%?;?+?70") << record.dump();
  EXPECT_EQ(lane->State().track_settings[7], '0');
  EXPECT_EQ(holder->Ask({{"request", "release"}, {"reader", "lane1"}})["ok"], true);
  EXPECT_FALSE(other->NextEvent("released").is_null());
  // Released: the reader is set up as configured again, and swipes reach everyone.
  ASSERT_TRUE(WaitFor([&] { return lane->State().mode == '0'; }));
  EXPECT_EQ(lane->State().track_settings[7], '1');
  lane->Swipe(2);
  const Json swipe = other->NextEvent("swipe");
  EXPECT_EQ(swipe["seq"], 2);  // the claimed swipe never reached it
  EXPECT_EQ(other->Ask({{"request", "mode"}, {"reader", "lane1"}, {"mode", "command"}})["error"],
            "not_claimed");

  // The record is the configured one again (the reader's default here).
  EXPECT_EQ(other->Ask({{"request", "sentinels"}, {"reader", "lane1"}})["record"], "%?;?+?71");

  // A claim ends when its client leaves.
  EXPECT_EQ(other->Ask({{"request", "claim"}, {"reader", "lane1"}})["ok"], true);
  EXPECT_FALSE(holder->NextEvent("claimed").is_null());
  other.reset();
  EXPECT_FALSE(holder->NextEvent("released").is_null());
  // Unsubscribed: no more swipes.
  EXPECT_EQ(holder->Ask({{"request", "unsubscribe"}})["ok"], true);
  lane->Swipe(0);
  EXPECT_TRUE(holder->NextEvent("swipe", 500).is_null());
}

TEST_F(Service, ReaderUnpluggedAndBackIsReadyByItself) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto client = Subscriber();
  lane->HangUp();
  Json state =
      client->NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "lost"; });
  ASSERT_FALSE(state.is_null()) << client->raw();
  EXPECT_FALSE(state["reason"].is_null());
  // Plugged in again (on another pty behind the same link).
  readers_.erase("lane1");
  lane = AddReader("lane1");
  state = client->NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "ready"; });
  ASSERT_FALSE(state.is_null()) << client->raw() << ReadFile(log_);
  lane->Swipe(0);
  EXPECT_EQ(client->NextEvent("swipe")["card"]["account"], "411111******1111");
}

// A fixed loopback port in front of a server that may move: each connection
// to it is passed on to the server's port of the moment, and closed when the
// server's side closes (or at once when no server listens), as clients of a
// port server that is restarted see it.
class Forwarder {
 public:
  Forwarder() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), size);
    listen(listener_, 8);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Forwarder() {
    stop_ = true;
    thread_.join();
    close(listener_);
  }
  uint16_t port() const { return port_; }
  void set_target(uint16_t port) { target_ = port; }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(target_.load());
      if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) Pump(client, server);
      close(server);
      close(client);
    }
  }
  void Pump(int a, int b) {
    char data[4096];
    while (!stop_) {
      pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
      if (poll(p, 2, 50) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (p[i].revents == 0) continue;
        const ssize_t n = recv(p[i].fd, data, sizeof data, 0);
        if (n <= 0 || send(p[1 - i].fd, data, static_cast<size_t>(n), MSG_NOSIGNAL) != n) return;
      }
    }
  }
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<uint16_t> target_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A reader on a network port: its port server (ser2net) dropped, then
// started again; the service reconnects by itself (backoff).
TEST_F(Service, NetworkReaderComesBackAfterItsServerRestarts) {
  using korvel::net_test::Ser2net;
  if (Ser2net::Program().empty()) GTEST_SKIP() << "ser2net is not installed";
  PtyReader* lane = AddReader("lane1");
  std::string error;
  auto server = Ser2net::Start({lane->path()}, &error);
  ASSERT_TRUE(server) << error;
  Forwarder forwarder;
  forwarder.set_target(server->endpoints(0).rfc2217_port);
  WriteConfig("[[reader]]\nname = \"net\"\nport = \"rfc2217://127.0.0.1:" + std::to_string(forwarder.port()) +
              "\"\n");
  Start();
  ASSERT_TRUE(WaitState("net", "ready")) << ReadFile(log_);
  auto client = Subscriber();
  lane->Swipe(0);
  EXPECT_EQ(client->NextEvent("swipe")["reader"], "net");

  server->Kill();
  server.reset();
  EXPECT_FALSE(client->NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "lost"; })
                   .is_null());
  server = Ser2net::Start({lane->path()}, &error);
  ASSERT_TRUE(server) << error;
  forwarder.set_target(server->endpoints(0).rfc2217_port);
  ASSERT_FALSE(
      client->NextWhere([](const Json& j) { return j["event"] == "reader" && j["state"] == "ready"; })
          .is_null())
      << client->raw() << ReadFile(log_);
  lane->Swipe(1);
  EXPECT_EQ(client->NextEvent("swipe")["card"]["account"], "555555******4444");
}

TEST_F(Service, DiscoversReadersUnderMatchFolders) {
  fs::create_directory(dir_ + "/by-id");
  WriteConfig("[discover]\nmatch = [\"" + dir_ + "/by-id/*-reader\"]\n");
  Start();
  auto client = Subscriber();
  PtyReader* found = AddReader("usb-1-reader", "by-id");
  ASSERT_TRUE(WaitState("usb-1-reader", "ready")) << ReadFile(log_);
  EXPECT_EQ(ReaderEntry("usb-1-reader")["discovered"], true);
  EXPECT_TRUE(client->Ask({{"request", "subscribe"}, {"readers", {"usb-1-reader"}}})["ok"]);
  found->Swipe(0);
  EXPECT_EQ(client->NextEvent("swipe")["reader"], "usb-1-reader");
  // A device that does not answer like a reader is listed as such, and left alone.
  AddReader("silent")->SetFault({korvel::sim::Fault::kSilent});
  ASSERT_EQ(symlink((dir_ + "/silent").c_str(), (dir_ + "/by-id/usb-2-reader").c_str()), 0);
  ASSERT_TRUE(WaitState("usb-2-reader", "failed")) << ReadFile(log_);
  EXPECT_NE(ReaderEntry("usb-2-reader")["reason"].get<std::string>().find("does not answer like a reader"),
            std::string::npos);
  // Removed (the link goes) and made again.
  readers_.erase("usb-1-reader");
  ASSERT_TRUE(WaitFor([&] { return ReaderEntry("usb-1-reader")["state"] != "ready"; }));
  found = AddReader("usb-1-reader", "by-id");
  ASSERT_TRUE(WaitState("usb-1-reader", "ready")) << ReadFile(log_);
  found->Swipe(1);
  EXPECT_EQ(client->NextEvent("swipe")["card"]["account"], "555555******4444");
}

TEST_F(Service, SlowClientLosesEventsAndIsToldFastOneLosesNone) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig("client_queue = 4\n" + ReaderTable("lane1", "tracks = [2]\nsentinels = \"%?;?+?71\"\n"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto slow = Subscriber();
  auto fast = Subscriber();
  const korvel::sim::Card card{"short", "", "4111111111111111=2912", ""};
  constexpr int kSwipes = 200;
  for (int i = 1; i <= kSwipes; ++i) {
    lane->Swipe(card);
    const Json swipe = fast->NextEvent("swipe");
    ASSERT_EQ(swipe["seq"], i) << fast->raw().substr(0, 2000);
  }
  EXPECT_TRUE(std::none_of(fast->skipped.begin(), fast->skipped.end(),
                           [](const Json& j) { return j["event"] == "dropped"; }));
  // Now the slow one reads: a gap, told, and the newest events after it.
  uint64_t dropped = 0;
  int last = 0;
  int seen = 0;
  for (;;) {
    const Json json = slow->Next(3000);
    if (json.is_null()) break;
    if (json["event"] == "dropped") dropped += json["count"].get<uint64_t>();
    if (json["event"] == "swipe") {
      EXPECT_GT(json["seq"].get<int>(), last);
      last = json["seq"];
      ++seen;
    }
    if (last == kSwipes) break;
  }
  EXPECT_EQ(last, kSwipes);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(dropped + seen, static_cast<uint64_t>(kSwipes));
}

// With the tracks configured a swipe is delivered as soon as it is whole;
// what the reader sends beyond them comes as a swipe that follows it.
TEST_F(Service, EarlySwipesAndTheirTails) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1", "tracks = [1, 2]\nsentinels = \"%?;?+?71\"\n"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto client = Subscriber();
  lane->Swipe(1);  // mastercard: tracks 1, 2 and 3
  const Json first = client->NextEvent("swipe");
  EXPECT_EQ(first["card"]["tracks"]["track2"]["status"], "ok");
  EXPECT_EQ(first["card"]["tracks"]["track3"]["status"], "absent");
  EXPECT_FALSE(first.contains("follows"));
  const Json tail = client->NextEvent("swipe");
  EXPECT_EQ(tail["follows"], first["seq"]);
  EXPECT_EQ(tail["seq"], first["seq"].get<int>() + 1);
  EXPECT_EQ(tail["card"]["tracks"]["track3"]["status"], "ok");
  // A card with just the configured tracks: no tail.
  lane->Swipe(0);
  const Json visa = client->NextEvent("swipe");
  EXPECT_FALSE(visa.contains("follows"));
  EXPECT_TRUE(client->NextEvent("swipe", 500).is_null());
}

TEST_F(Service, BadInputGetsErrorsAndPersistentGarbageIsDisconnected) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto bystander = Subscriber();
  Client client(socket_);
  struct Case {
    std::string line;
    const char* error;
  };
  const Case cases[] = {
      {"hello", "bad_json"},
      {"[]", "not_object"},
      {R"({"request":"dance","id":"d"})", "unknown_request"},
      {R"({"request":"info","reader":"nowhere","id":9})", "unknown_reader"},
      {R"({"request":"subscribe","readers":["nowhere"]})", "unknown_reader"},
      {std::string(70000, 'x'), "line_too_long"},
      {"\xff\xfe", "bad_json"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(client.SendRaw(c.line + "\n"));
    const Json error = client.Next();
    ASSERT_FALSE(error.is_null()) << c.line.substr(0, 40);
    EXPECT_EQ(error["ok"], false);
    EXPECT_EQ(error["error"], c.error) << c.line.substr(0, 40);
    EXPECT_FALSE(error["message"].get<std::string>().empty());
  }
  // The id of a request that failed comes back with its error.
  EXPECT_EQ(client.Ask({{"request", "info"}, {"reader", "nowhere"}})["error"], "unknown_reader");
  client.SendRaw(R"({"request":"dance","id":"d"})"
                 "\n");
  EXPECT_EQ(client.Next()["id"], "d");
  // A good request in between resets the count; ten bad ones in a row end the connection.
  EXPECT_EQ(client.Ask({{"request", "readers"}})["ok"], true);
  for (int i = 0; i < 10; ++i) client.SendRaw("garbage\n");
  EXPECT_FALSE(client.NextWhere([](const Json& j) { return j["error"] == "too_many_errors"; }).is_null());
  EXPECT_TRUE(WaitFor([&] { return client.Closed(); }));
  // Nobody else noticed.
  lane->Swipe(0);
  EXPECT_EQ(bystander->NextEvent("swipe")["seq"], 1);
}

TEST_F(Service, SigtermPutsReadersBackInTheirModes) {
  PtyReader* lane1 = AddReader("lane1");
  PtyReader* lane2 = AddReader("lane2");
  WriteConfig(ReaderTable("lane1") + ReaderTable("lane2"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  ASSERT_TRUE(WaitState("lane2", "ready"));
  EXPECT_EQ(lane1->State().mode, '0');
  EXPECT_EQ(Stop(), 0) << ReadFile(log_);
  EXPECT_EQ(lane1->State().mode, '1');
  EXPECT_EQ(lane2->State().mode, '1');
  EXPECT_FALSE(fs::exists(socket_));
}

TEST_F(Service, SighupReloadKeepsUnchangedReaders) {
  PtyReader* lane1 = AddReader("lane1");
  AddReader("lane2");
  PtyReader* lane3 = AddReader("lane3");
  WriteConfig(ReaderTable("lane1") + ReaderTable("lane2"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  ASSERT_TRUE(WaitState("lane2", "ready"));
  auto client = Subscriber({{"request", "subscribe"}, {"readers", {"lane1"}}});
  lane1->Swipe(0);
  EXPECT_EQ(client->NextEvent("swipe")["seq"], 1);
  client->skipped.clear();

  // A broken file is not used: everything goes on.
  std::ofstream(config_) << "socket = \"" << socket_ << "\"\n[[reader]]\nname = 3\n";
  kill(process_.pid(), SIGHUP);
  ASSERT_TRUE(WaitFor([&] { return ReadFile(log_).find("is not used") != std::string::npos; }));
  EXPECT_EQ(ReaderEntry("lane2")["state"], "ready");

  WriteConfig(ReaderTable("lane1") + ReaderTable("lane3"));
  kill(process_.pid(), SIGHUP);
  ASSERT_TRUE(WaitState("lane3", "ready")) << ReadFile(log_);
  ASSERT_TRUE(WaitFor([&] { return ReaderEntry("lane2").is_null(); }));
  // lane1 ran on: no state change, and its count goes on.
  lane1->Swipe(1);
  const Json swipe = client->NextEvent("swipe");
  EXPECT_EQ(swipe["seq"], 2);
  EXPECT_TRUE(std::none_of(client->skipped.begin(), client->skipped.end(), [](const Json& j) {
    return j["event"] == "reader";
  })) << client->raw();
  EXPECT_EQ(ReaderEntry("lane1")["swipes"], 2);
  lane3->Swipe(0);
  auto all = Subscriber();
  lane3->Swipe(0);
  EXPECT_EQ(all->NextEvent("swipe")["reader"], "lane3");
}

TEST_F(Service, RevealOnlyForTheConfiguredGroupsAndLogsHoldNoCardNumber) {
  PtyReader* lane = AddReader("lane1");
  const struct group* mine = getgrgid(getgid());
  ASSERT_NE(mine, nullptr);
  WriteConfig("reveal_groups = [\"korvel-no-such-group\"]\n" + ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  Client refused(socket_);
  const Json result = refused.Ask({{"request", "subscribe"}, {"reveal", true}});
  EXPECT_EQ(result["ok"], false);
  EXPECT_EQ(result["error"], "reveal_refused");
  lane->Swipe(0);
  EXPECT_TRUE(refused.NextEvent("swipe", 500).is_null());  // not subscribed
  ASSERT_EQ(Stop(), 0);

  WriteConfig("reveal_groups = [\"" + std::string(mine->gr_name) + "\"]\n" + ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  auto revealed = Subscriber({{"request", "subscribe"}, {"reveal", true}});
  auto masked = Subscriber();
  const size_t cards = korvel::sim::SampleCards().size();
  for (size_t i = 0; i < cards; ++i) {
    lane->Swipe(i);
    ASSERT_FALSE(revealed->NextEvent("swipe").is_null());
    ASSERT_FALSE(masked->NextEvent("swipe").is_null());
  }
  EXPECT_NE(revealed->raw().find("4111111111111111"), std::string::npos);
  EXPECT_EQ(Stop(), 0);
  const std::string log = ReadFile(log_);
  EXPECT_NE(log.find("swipe " + std::to_string(cards)), std::string::npos) << log;
  for (const char* account : kAccounts) {
    EXPECT_EQ(log.find(account), std::string::npos) << account;
    EXPECT_EQ(masked->raw().find(account), std::string::npos) << account;
  }
}

// Runs `command` (a shell line); its standard output, and the exit code in `code`.
std::string Shell(const std::string& command, int* code) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// korvel as a client of the service, the Python example, and korvel's word
// for a port the service holds.
TEST_F(Service, ClientsOfEveryKind) {
  PtyReader* lane = AddReader("lane1");
  WriteConfig(ReaderTable("lane1"));
  Start();
  ASSERT_TRUE(WaitState("lane1", "ready"));
  const std::string korvel = std::string(KORVEL_PROGRAM) + " service --socket " + socket_ + " --json ";
  int code = -1;
  std::string out = Shell(korvel + "readers", &code);
  EXPECT_EQ(code, 0) << out;
  Json result = Json::parse(out.substr(0, out.find('\n')));
  EXPECT_EQ(result["event"], "result");
  EXPECT_EQ(result["readers"][0]["name"], "lane1");
  EXPECT_EQ(result["readers"][0]["state"], "ready");

  out = Shell(korvel + "info nowhere 2>/dev/null", &code);
  EXPECT_EQ(code, 2);
  EXPECT_EQ(Json::parse(out)["error"], "unknown_reader");
  out = Shell(korvel + "info lane1", &code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(Json::parse(out)["identification"], "MSR-3T V2.10");

  // watch: two swipes, then the end; --timeout without swipes is exit 7.
  const std::string watch_out = dir_ + "/watch.out";
  const std::string watch = korvel + "watch lane1 --count 2 --timeout 60 > " + watch_out + " 2>/dev/null";
  std::thread watcher([&] { code = std::system(watch.c_str()); });
  // Swipe until the watcher has both (it may subscribe after the first).
  int swiped = 0;
  EXPECT_TRUE(WaitFor([&] {
    const std::string text = ReadFile(watch_out);
    if (text.find("\"swipes\":2") != std::string::npos) return true;
    lane->Swipe(static_cast<size_t>(swiped++ % 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return false;
  }));
  watcher.join();
  EXPECT_EQ(WEXITSTATUS(code), 0);
  // Swipes (and the reader events of a watch) one a line, then the result.
  std::vector<Json> swipes;
  Json end;
  std::istringstream lines(ReadFile(watch_out));
  for (std::string line; std::getline(lines, line);) {
    end = Json::parse(line);
    if (end["event"] == "swipe") swipes.push_back(end);
  }
  ASSERT_EQ(swipes.size(), 2u);
  for (const Json& swipe : swipes) {
    EXPECT_EQ(swipe["reader"], "lane1");
    EXPECT_TRUE(swipe["seq"].is_number());
    EXPECT_TRUE(swipe["card"].is_object());
  }
  EXPECT_EQ(end["event"], "result");
  EXPECT_EQ(end["swipes"], 2);
  Shell(korvel + "watch lane1 --timeout 0.3 >/dev/null 2>&1", &code);
  EXPECT_EQ(code, 7);

  // A port the service holds: korvel says by whom.
  out = Shell(
      "KORVELD_SOCKET=" + socket_ + " " + KORVEL_PROGRAM + " info " + dir_ + "/lane1 --json 2>/dev/null",
      &code);
  EXPECT_EQ(code, 3);
  result = Json::parse(out);
  EXPECT_EQ(result["open_error"]["reason"], "busy");
  EXPECT_EQ(result["reason"], "served by korveld as lane1");

  // The Python example, if Python is here.
  if (std::system("command -v python3 >/dev/null 2>&1") == 0) {
    const std::string example_out = dir_ + "/example.out";
    const std::string example =
        std::string("python3 ") + KORVELD_EXAMPLE + " --socket " + socket_ + " --count 1 > " + example_out;
    std::thread runner([&] { code = std::system(example.c_str()); });
    EXPECT_TRUE(WaitFor([&] {
      if (ReadFile(example_out).find("swipe ") != std::string::npos) return true;
      if (ReadFile(example_out).find("lane1: ready") != std::string::npos) lane->Swipe(0);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return false;
    }));
    runner.join();
    EXPECT_EQ(WEXITSTATUS(code), 0);
    const std::string text = ReadFile(example_out);
    EXPECT_NE(text.find("lane1: ready on "), std::string::npos) << text;
    EXPECT_NE(text.find("account 411111******1111"), std::string::npos) << text;
  }
}

TEST(ServiceConfig, CheckConfigNamesLineAndKey) {
  char path[] = "/tmp/korveld-check-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string text = "[[reader]]\nname = \"a\"\nport = \"/dev/ttyUSB0\"\nbaud = 1200\n";
  ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fd);
  const std::string command = std::string(KORVELD_PROGRAM) + " --check-config " + path + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096] = {};
  const size_t n = fread(buffer, 1, sizeof buffer - 1, pipe);
  const int status = pclose(pipe);
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_EQ(std::string(buffer, n),
            std::string(path) + ":4: reader[1].baud: must be 4800, 9600, 19200 or 38400\n");
  std::ofstream(path) << "[[reader]]\nname = \"a\"\nport = \"/dev/ttyUSB0\"\n";
  EXPECT_EQ(WEXITSTATUS(std::system(
                (std::string(KORVELD_PROGRAM) + " --check-config " + path + " >/dev/null").c_str())),
            0);
  unlink(path);
}

}  // namespace
