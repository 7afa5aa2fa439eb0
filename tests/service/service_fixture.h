// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// What the korveld tests share: a client on its socket, and the service
// started on a configuration of its own with simulated readers behind links
// in a folder of its own.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "korvel_sim.h"
#include "korveld_process.h"

namespace {

using korvel::sim::PtyReader;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Generous: the machine may be loaded by other builds.
constexpr int kLongMs = 20000;

const char* const kAccounts[] = {"4111111111111111", "5555555555554444", "378282246310005",
                                 "6011111111111117", "4111111111111112", "4012888888881881",
                                 "4000056655665556", "4242424242424242", "5105105105105100"};

bool WaitFor(const std::function<bool()>& ready, int timeout_ms = kLongMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ready()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A client on the socket that reads JSON lines; what it read stays in raw().
class Client : public korvel::service_test::LineClient {
 public:
  using LineClient::LineClient;

  bool Send(const Json& request) { return SendRaw(request.dump() + "\n"); }

  // The next line as JSON, or null after `timeout_ms` (or at the end).
  Json Next(int timeout_ms = kLongMs) {
    const std::optional<std::string> line = NextLine(timeout_ms);
    if (!line) return nullptr;
    raw_ += *line + "\n";
    return Json::parse(*line);
  }
  // The next line that `match` accepts (others are kept in `skipped`), or null.
  Json NextWhere(const std::function<bool(const Json&)>& match, int timeout_ms = kLongMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      Json json = Next(static_cast<int>(std::max<int64_t>(left, 0)));
      if (json.is_null() || match(json)) return json;
      skipped.push_back(json);
    }
  }
  Json NextEvent(const std::string& event, int timeout_ms = kLongMs) {
    return NextWhere([&](const Json& j) { return j["event"] == event; }, timeout_ms);
  }
  // Sends `request` and returns its result.
  Json Ask(Json request) {
    static int next_id = 1;
    const int id = next_id++;
    request["id"] = id;
    if (!Send(request)) return nullptr;
    return NextWhere([&](const Json& j) { return j["event"] == "result" && j["id"] == id; });
  }
  // True once the service closed the connection (takes a waiting line).
  bool Closed() {
    Next(0);
    return closed();
  }
  const std::string& raw() const { return raw_; }
  std::vector<Json> skipped;

 private:
  std::string raw_;
};

// The service, and its simulated readers behind links in a folder of its own.
class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = korvel::service_test::MakeTempFolder("korveld-test");
    ASSERT_FALSE(dir_.empty());
    socket_ = dir_ + "/s.sock";
    log_ = dir_ + "/log";
    config_ = dir_ + "/korveld.toml";
  }
  void TearDown() override {
    // The service ends cleanly, and (in the sanitizer builds) without a report.
    if (process_.running()) {
      EXPECT_EQ(Stop(), 0) << ReadFile(log_);
    }
    const std::string log = ReadFile(log_);
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
    EXPECT_EQ(log.find("runtime error"), std::string::npos) << log;
    readers_.clear();
    fs::remove_all(dir_);
  }

  // A simulated reader behind the link `dir/NAME`, in command mode.
  PtyReader* AddReader(const std::string& name, const std::string& folder = "") {
    korvel::sim::Options options;
    options.link_path = dir_ + "/" + (folder.empty() ? "" : folder + "/") + name;
    std::string error;
    auto reader = PtyReader::Start(options, &error);
    EXPECT_TRUE(reader) << error;
    PtyReader* raw = reader.get();
    readers_[name] = std::move(reader);
    return raw;
  }
  std::string ReaderTable(const std::string& name, const std::string& extra = "") {
    return "[[reader]]\nname = \"" + name + "\"\nport = \"" + dir_ + "/" + name + "\"\n" + extra;
  }
  void WriteConfig(const std::string& body) {
    std::ofstream(config_) << "socket = \"" << socket_ << "\"\n" << body;
  }

  // Starts korveld and waits until its socket answers.
  void Start() {
    ASSERT_TRUE(process_.Start(KORVELD_PROGRAM, config_, log_));
    ASSERT_TRUE(WaitFor([&] { return Client(socket_).connected(); })) << ReadFile(log_);
  }
  // SIGTERM; the exit code.
  int Stop() { return process_.Stop(kLongMs); }

  // The reader's entry of `readers`.
  Json ReaderEntry(const std::string& name) {
    Client client(socket_);
    const Json result = client.Ask({{"request", "readers"}});
    if (result.is_null()) return nullptr;
    for (const Json& reader : result["readers"])
      if (reader["name"] == name) return reader;
    return nullptr;
  }
  bool WaitState(const std::string& name, const std::string& state) {
    return WaitFor([&] {
      const Json entry = ReaderEntry(name);
      return !entry.is_null() && entry["state"] == state;
    });
  }
  std::unique_ptr<Client> Subscriber(Json request = {{"request", "subscribe"}}) {
    auto client = std::make_unique<Client>(socket_);
    EXPECT_TRUE(client->connected());
    const Json result = client->Ask(request);
    EXPECT_EQ(result["ok"], true) << result.dump();
    return client;
  }

  std::string dir_, socket_, log_, config_;
  korvel::service_test::KorveldProcess process_;
  std::map<std::string, std::unique_ptr<PtyReader>> readers_;
};

}  // namespace
