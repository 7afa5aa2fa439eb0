// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "service.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "client.h"
#include "discovery.h"
#include "korvel/clock.h"
#include "log.h"
#include "report.h"
#include "web_server.h"

namespace korvel::service {

namespace {

using boost::asio::local::stream_protocol;

// The groups of the user `uid` (its primary group `gid` included).
std::vector<gid_t> GroupsOf(uid_t uid, gid_t gid) {
  std::vector<gid_t> groups{gid};
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return groups;
  int count = 64;
  std::vector<gid_t> list(static_cast<size_t>(count));
  if (getgrouplist(entry.pw_name, gid, list.data(), &count) < 0) {
    list.resize(static_cast<size_t>(count));
    if (getgrouplist(entry.pw_name, gid, list.data(), &count) < 0) return groups;
  }
  list.resize(static_cast<size_t>(count));
  groups.insert(groups.end(), list.begin(), list.end());
  return groups;
}

}  // namespace

bool LoadConfig(const std::string& path, Config* config, std::vector<std::string>* problems) {
  std::ifstream in(path);
  if (!in) {
    problems->push_back(path + ": cannot be read");
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::vector<ConfigProblem> found;
  Config parsed = ParseConfig(text.str(), &found);
  for (const ConfigProblem& problem : found) problems->push_back(ProblemText(path, problem));
  if (!found.empty()) return false;
  *config = std::move(parsed);
  return true;
}

Service::Service(ServiceOptions options)
    : options_(std::move(options)), acceptor_(io_), signals_(io_, SIGTERM, SIGINT, SIGHUP) {}

Service::~Service() {
  web_.reset();
  for (auto& [name, reader] : readers_)
    if (reader.worker) reader.worker->RequestStop();
  for (auto& [name, reader] : readers_)
    if (reader.worker) reader.worker->Join();
  for (auto& [key, thread] : retiring_) thread.join();
  discovery_.reset();
  wedge_.reset();
}

bool Service::Listen() {
  const std::string& path = options_.socket;
  boost::system::error_code error;
  struct stat info {};
  if (lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      Log(path + ": exists and is not a socket");
      return false;
    }
    stream_protocol::socket probe(io_);
    probe.connect(stream_protocol::endpoint(path), error);
    if (!error) {
      Log(path + ": another korveld serves this socket");
      return false;
    }
    unlink(path.c_str());
  }
  // The socket's folder (/run/korvel) is systemd's to make; elsewhere it is made here.
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0750);
  acceptor_.open(stream_protocol(), error);
  if (!error) acceptor_.bind(stream_protocol::endpoint(path), error);
  if (!error) acceptor_.listen(boost::asio::socket_base::max_listen_connections, error);
  if (error) {
    Log(path + ": " + error.message());
    return false;
  }
  // Mode 0660, group korvel where it exists: its members are the clients.
  chmod(path.c_str(), 0660);
  if (const struct group* group = getgrnam("korvel")) {
    if (chown(path.c_str(), static_cast<uid_t>(-1), group->gr_gid) != 0) {
      // Not ours to give (not root, not a member): the socket keeps our group.
    }
  }
  return true;
}

int Service::Run() {
  if (!Listen()) return 1;
  Log("listening on " + options_.socket);
  if (options_.config.web) {
    web_ = std::make_unique<WebServer>(*options_.config.web, this);
    if (!web_->Listen()) return 1;
  }
  discovery_ =
      std::make_unique<Discovery>(io_, [this](const std::vector<std::string>& paths) { Discovered(paths); });
  for (const ReaderSettings& settings : options_.config.readers) StartReader(settings);
  WatchFolders();
  Accept();
  WaitForSignals();
  if (options_.on_ready) options_.on_ready();
  sd_notifyf(0, "READY=1\nSTATUS=Serving %zu readers", readers_.size());
  io_.run();
  unlink(options_.socket.c_str());
  Log("stopped");
  return 0;
}

void Service::WatchFolders() {
  std::vector<std::string> paths;
  for (const auto& [name, reader] : readers_)
    if (!reader.settings.discovered && !IsNetworkPort(reader.settings.port))
      paths.push_back(reader.settings.port);
  discovery_->Watch(options_.config.match, paths);
}

void Service::Accept() {
  acceptor_.async_accept([this](const boost::system::error_code& error, stream_protocol::socket socket) {
    if (stopping_) return;
    if (error) {
      // Out of descriptors, say: try again a little later rather than at once.
      Log("accepting a client: " + error.message());
      auto timer = std::make_shared<boost::asio::steady_timer>(io_, std::chrono::milliseconds(200));
      timer->async_wait([this, timer](const boost::system::error_code&) { Accept(); });
      return;
    }
    auto client =
        std::make_shared<SocketClient>(std::move(socket), next_client_++, options_.config.client_queue, this);
    clients_.insert(client);
    client->Start();
    Accept();
  });
}

void Service::WaitForSignals() {
  signals_.async_wait([this](const boost::system::error_code& error, int signal) {
    if (error) return;
    if (signal == SIGHUP) {
      Reload();
      WaitForSignals();
    } else {
      Stop();
    }
  });
}

void Service::StartReader(const ReaderSettings& settings) {
  Reader& reader = readers_[settings.name];
  reader = Reader{};
  reader.settings = settings;
  reader.worker = std::make_unique<ReaderWorker>(settings, next_generation_++, this);
  reader.worker->Start();
  Log(settings.name + ": serving " + settings.port);
}

void Service::Retire(std::vector<std::unique_ptr<ReaderWorker>> workers, std::function<void()> then) {
  for (auto& worker : workers) worker->RequestStop();
  const uint64_t key = next_retiring_++;
  retiring_[key] = std::thread([this, key, workers = std::move(workers), then = std::move(then)]() mutable {
    for (auto& worker : workers) worker->Join();
    workers.clear();
    boost::asio::post(io_, [this, key, then = std::move(then)] {
      // This thread has nothing left to do but end.
      retiring_[key].join();
      retiring_.erase(key);
      then();
    });
  });
}

void Service::Forget(const std::string& name, const std::string& why) {
  auto it = readers_.find(name);
  if (it == readers_.end()) return;
  if (it->second.claimed_by != nullptr) it->second.claimed_by = nullptr;
  const std::string line = Line(ReaderEvent(name, "absent", why));
  for (const auto& client : clients_)
    if (client->Wants(name)) client->SendEvent(line);
  readers_.erase(it);
}

void Service::Reload() {
  sd_notify(0, "RELOADING=1");
  if (options_.config_path.empty()) {
    Log("reload: no configuration file (nothing to reload)");
    sd_notify(0, "READY=1");
    return;
  }
  Config config;
  std::vector<std::string> problems;
  if (!LoadConfig(options_.config_path, &config, &problems)) {
    for (const std::string& problem : problems) Log(problem);
    Log("reload: the configuration has problems; it is not used, the service goes on as it was");
    sd_notify(0, "READY=1");
    return;
  }
  if (config.socket != options_.config.socket)
    Log("reload: the socket moves to " + config.socket + " only when korveld is started again");
  config.socket = options_.config.socket;
  if (config.web != options_.config.web)
    Log("reload: the [web] settings change only when korveld is started again");
  config.web = options_.config.web;

  std::vector<std::unique_ptr<ReaderWorker>> retired;
  std::vector<ReaderSettings> start;
  std::vector<std::string> names;
  for (const auto& [name, reader] : readers_) names.push_back(name);
  for (const std::string& name : names) {
    Reader& reader = readers_[name];
    bool keep = false;
    if (reader.settings.discovered) {
      ReaderSettings wanted = config.discover;
      wanted.name = reader.settings.name;
      wanted.port = reader.settings.port;
      keep = wanted == reader.settings;
    } else {
      for (const ReaderSettings& settings : config.readers) keep = keep || settings == reader.settings;
    }
    if (keep) continue;
    Log(name + ": settings changed or removed; no longer served as before");
    if (reader.worker) retired.push_back(std::move(reader.worker));
    Forget(name, "the configuration changed");
  }
  for (const ReaderSettings& settings : config.readers)
    if (readers_.count(settings.name) == 0) start.push_back(settings);
  options_.config = std::move(config);
  for (const auto& client : clients_) client->set_queue_limit(options_.config.client_queue);

  // The new readers start once the old ones have let go of their ports.
  for (const ReaderSettings& settings : start) {
    Reader& reader = readers_[settings.name];
    reader.settings = settings;
  }
  Retire(std::move(retired), [this, start] {
    for (const ReaderSettings& settings : start) {
      auto it = readers_.find(settings.name);
      if (it == readers_.end() || it->second.worker || !(it->second.settings == settings)) continue;
      StartReader(settings);
    }
    WatchFolders();
    Log("reloaded");
    sd_notifyf(0, "READY=1\nSTATUS=Serving %zu readers", readers_.size());
  });
}

void Service::Stop() {
  if (stopping_) return;
  stopping_ = true;
  sd_notify(0, "STOPPING=1");
  Log("stopping: the readers go back to the modes they were found in");
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  signals_.cancel(ignored);
  if (web_) web_->Stop();
  for (auto& [name, reader] : readers_)
    if (reader.worker) reader.worker->RequestStop();
  for (auto& [name, reader] : readers_)
    if (reader.worker) reader.worker->Join();
  std::vector<std::shared_ptr<Client>> clients(clients_.begin(), clients_.end());
  for (const auto& client : clients) client->Close();
  discovery_.reset();
  io_.stop();
}

void Service::Discovered(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    bool known = false;
    for (const auto& [name, reader] : readers_) known = known || reader.settings.port == path;
    if (known) continue;
    ReaderSettings settings = options_.config.discover;
    settings.discovered = true;
    settings.port = path;
    settings.name = NameFromPath(path);
    for (int n = 2; readers_.count(settings.name) != 0; ++n)
      settings.name = NameFromPath(path) + "-" + std::to_string(n);
    Log(settings.name + ": discovered at " + path);
    StartReader(settings);
  }
  for (auto& [name, reader] : readers_)
    if (reader.worker) reader.worker->PathChanged();
}

// ---- From the workers --------------------------------------------------------

void Service::ReaderChanged(StateReport report) {
  boost::asio::post(io_, [this, report = std::move(report)]() mutable { OnState(std::move(report)); });
}

void Service::Swiped(uint64_t generation, SwipeRecord swipe) {
  boost::asio::post(
      io_, [this, generation, swipe = std::move(swipe)]() mutable { OnSwipe(generation, std::move(swipe)); });
}

Service::Reader* Service::Current(const std::string& name, uint64_t generation) {
  auto it = readers_.find(name);
  if (it == readers_.end() || !it->second.worker || it->second.worker->generation() != generation)
    return nullptr;
  return &it->second;
}

void Service::OnState(StateReport report) {
  Reader* reader = Current(report.reader, report.generation);
  if (reader == nullptr) return;
  reader->state = report.state;
  reader->reason = report.reason;
  if (report.state == ReaderState::kReady) {
    if (reader->was_ready) ++reader->counters.reconnects;
    reader->was_ready = true;
    reader->identification = report.identification;
    reader->mode_found = report.mode_found;
  }
  Log(report.reader + ": " + StateName(report.state) +
      (report.reason.empty() ? "" : " (" + report.reason + ")"));
  const std::string line = Line(ReaderEvent(report.reader, StateName(report.state), report.reason));
  for (const auto& client : clients_)
    if (client->Wants(report.reader)) client->SendEvent(line);
}

void Service::OnSwipe(uint64_t generation, SwipeRecord swipe) {
  Reader* reader = Current(swipe.reader, generation);
  if (reader == nullptr) return;
  ++reader->swipes;
  // Numbers and counts only: the log never holds card data.
  Log(swipe.reader + ": swipe " + std::to_string(swipe.seq) + ", " +
      (swipe.status == KORVEL_OK ? std::to_string(swipe.bytes.size()) + " bytes"
                                 : Korvel_StatusText(swipe.status)) +
      (swipe.follows ? ", after swipe " + std::to_string(*swipe.follows) : ""));
  if (reader->settings.wedge && reader->claimed_by == nullptr) {
    if (!wedge_) wedge_ = std::make_unique<WedgeTyping>();
    wedge_->Type(*reader->settings.wedge, swipe);
  }
  // The masked event is kept (a status page opened later shows it) and counted.
  reader->last_swipe = SwipeEvent(swipe, false);
  CountSwipe(reader->last_swipe, &reader->counters);
  const std::string masked = Line(reader->last_swipe);
  std::string revealed;
  for (const auto& client : clients_) {
    if (!client->Wants(swipe.reader)) continue;
    if (reader->claimed_by != nullptr && reader->claimed_by != client.get()) continue;
    if (client->reveal && !client->web()) {
      if (revealed.empty()) revealed = Line(SwipeEvent(swipe, true));
      client->SendEvent(revealed);
    } else {
      client->SendEvent(masked);
    }
  }
  if (swipe.ended_ns != 0) {
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    reader->counters.delivery.Observe(static_cast<double>(now - swipe.ended_ns) / 1e9);
  }
}

// ---- From the clients ------------------------------------------------------------

void Service::AddClient(const std::shared_ptr<Client>& client) {
  clients_.insert(client);
  client->Start();
}

Json Service::ReadersJson() const {
  Json list = Json::array();
  for (const auto& [name, reader] : readers_) list.push_back(ReaderJson(reader));
  return list;
}

std::string Service::MetricsText() const {
  ServiceMetrics metrics;
  for (const auto& [name, reader] : readers_)
    metrics.readers.push_back({name, StateName(reader.state), &reader.counters});
  for (const char* kind : {"socket", "websocket", "sse"}) metrics.clients[kind] = 0;
  metrics.dropped = dropped_gone_;
  for (const auto& client : clients_) {
    ++metrics.clients[client->KindName()];
    metrics.dropped += client->dropped_total();
  }
  metrics.web_refused = web_refused_;
  return korvel::service::MetricsText(metrics);
}

void Service::ClientGone(Client* client) {
  dropped_gone_ += client->dropped_total();
  for (auto& [name, reader] : readers_)
    if (reader.claimed_by == client) {
      Release(&reader);
      Log(name + ": released (its client left)");
    }
  // Not at once: the loop may be going through the clients.
  boost::asio::post(io_, [this, client] {
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
      if (it->get() == client) {
        clients_.erase(it);
        break;
      }
  });
}

bool Service::Reveals(const Client& client) const {
  if (client.web() || client.uid() == static_cast<uid_t>(-1)) return false;
  const std::vector<gid_t> groups = GroupsOf(client.uid(), client.gid());
  for (const std::string& name : options_.config.reveal_groups) {
    const struct group* entry = getgrnam(name.c_str());
    if (entry == nullptr) continue;
    for (gid_t gid : groups)
      if (gid == entry->gr_gid) return true;
  }
  return false;
}

Json Service::ReaderJson(const Reader& reader) const {
  Json json;
  json["name"] = reader.settings.name;
  json["state"] = StateName(reader.state);
  json["reason"] = reader.reason.empty() ? Json(nullptr) : Json(reader.reason);
  json["port"] = reader.settings.port;
  json["baud"] = reader.settings.baud;
  json["discovered"] = reader.settings.discovered;
  json["identification"] =
      reader.identification.empty()
          ? Json(nullptr)
          : Json(cli::Printable(reinterpret_cast<const uint8_t*>(reader.identification.data()),
                                reader.identification.size()));
  json["mode_found"] =
      reader.mode_found < 0 ? Json(nullptr) : Json(cli::ModeName(static_cast<uint8_t>(reader.mode_found)));
  json["swipes"] = reader.swipes;
  json["swipes_good"] = reader.counters.good;
  json["swipes_failed"] = reader.counters.failed + reader.counters.overflow;
  json["last_swipe"] = reader.last_swipe;
  json["claimed"] = reader.claimed_by != nullptr;
  return json;
}

void Service::Notify(const Reader& reader, const std::string& line, const Client* except) {
  for (const auto& client : clients_)
    if (client.get() != except && client->Wants(reader.settings.name)) client->SendEvent(line);
}

void Service::Release(Reader* reader) {
  Client* holder = reader->claimed_by;
  reader->claimed_by = nullptr;
  if (reader->worker)
    reader->worker->Submit([](void* handle, ReaderWorker& worker) { worker.Restore(handle); });
  Notify(*reader, Line(ClaimEvent(reader->settings.name, false)), holder);
}

void Service::Handle(const std::shared_ptr<Client>& client, const Request& request) {
  const std::string name = RequestName(request.kind);
  auto fail = [&](const std::string& error, const std::string& message) {
    client->SendResult(ErrorResult(request.id, name, error, message));
  };
  auto unknown = [&](const std::string& reader) {
    fail("unknown_reader", "no reader is named \"" + reader + "\"");
  };

  switch (request.kind) {
    case RequestKind::kReaders: {
      Json result = OkResult(request);
      result["readers"] = ReadersJson();
      client->SendResult(result);
      return;
    }
    case RequestKind::kSubscribe: {
      for (const std::string& reader : request.readers)
        if (readers_.count(reader) == 0) return unknown(reader);
      if (request.reveal && client->web())
        return fail("reveal_refused", "card data in full never leaves korveld over the web; not subscribed");
      if (request.reveal && !Reveals(*client))
        return fail("reveal_refused",
                    "card data in full is only for members of the groups in reveal_groups; not subscribed");
      client->subscribed = true;
      client->all_readers = request.readers.empty();
      client->readers = std::set<std::string>(request.readers.begin(), request.readers.end());
      client->reveal = request.reveal;
      Json result = OkResult(request);
      result["readers"] = request.readers.empty() ? Json(nullptr) : Json(request.readers);
      result["reveal"] = request.reveal;
      client->SendResult(result);
      if (request.reveal)
        Log("client " + std::to_string(client->number()) + " (uid " + std::to_string(client->uid()) +
            ") sees card data in full");
      // Where each reader stands now.
      for (const auto& [reader_name, reader] : readers_) {
        if (!client->Wants(reader_name)) continue;
        client->SendEvent(Line(ReaderEvent(reader_name, StateName(reader.state), reader.reason)));
        if (reader.claimed_by != nullptr && reader.claimed_by != client.get())
          client->SendEvent(Line(ClaimEvent(reader_name, true)));
      }
      return;
    }
    case RequestKind::kUnsubscribe: {
      for (const std::string& reader : request.readers)
        if (readers_.count(reader) == 0) return unknown(reader);
      if (request.readers.empty()) {
        client->subscribed = false;
        client->readers.clear();
      } else {
        if (client->all_readers) {
          client->all_readers = false;
          for (const auto& [reader_name, reader] : readers_) client->readers.insert(reader_name);
        }
        for (const std::string& reader : request.readers) client->readers.erase(reader);
      }
      client->SendResult(OkResult(request));
      return;
    }
    default: break;
  }

  auto it = readers_.find(request.reader);
  if (it == readers_.end()) return unknown(request.reader);
  Reader& reader = it->second;
  const bool holds = reader.claimed_by == client.get();
  if (reader.claimed_by != nullptr && !holds)
    return fail("claimed", request.reader + " is claimed by another client");

  if (request.kind == RequestKind::kClaim) {
    reader.claimed_by = client.get();
    Json result = OkResult(request);
    result["reader"] = request.reader;
    client->SendResult(result);
    if (!holds) {
      Log(request.reader + ": claimed by client " + std::to_string(client->number()));
      Notify(reader, Line(ClaimEvent(request.reader, true)), client.get());
    }
    return;
  }
  if (request.kind == RequestKind::kRelease) {
    if (!holds) return fail("not_claimed", request.reader + " is not claimed by this client");
    Release(&reader);
    Log(request.reader + ": released");
    Json result = OkResult(request);
    result["reader"] = request.reader;
    client->SendResult(result);
    return;
  }
  if ((request.kind == RequestKind::kMode && request.mode) ||
      (request.kind == RequestKind::kSentinels && request.record))
    if (!holds)
      return fail("not_claimed",
                  "changing a reader's settings needs a claim of it (request \"claim\" first)");
  const bool reveal = request.kind == RequestKind::kRead && request.reveal;
  if (reveal && client->web())
    return fail("reveal_refused", "card data in full never leaves korveld over the web");
  if (reveal && !Reveals(*client))
    return fail("reveal_refused", "card data in full is only for members of the groups in reveal_groups");
  if (reader.state != ReaderState::kReady || !reader.worker)
    return fail("not_ready", request.reader + " is " + StateName(reader.state) +
                                 (reader.reason.empty() ? "" : " (" + reader.reason + ")"));

  std::weak_ptr<Client> weak = client;
  auto answer = [this, weak](Json result) {
    boost::asio::post(io_, [weak, result = std::move(result)] {
      if (auto client = weak.lock()) client->SendResult(result);
    });
  };
  reader.worker->Submit([request, answer, reveal](void* handle, ReaderWorker& worker) {
    if (handle == nullptr) {
      answer(
          ErrorResult(request.id, RequestName(request.kind), "not_ready", request.reader + " is not ready"));
      return;
    }
    Json result = OkResult(request);
    result["reader"] = request.reader;
    int status = KORVEL_OK;
    switch (request.kind) {
      case RequestKind::kInfo: {
        unsigned char mode[KORVEL_MODE_AREA] = {};
        unsigned char text[KORVEL_VERSION_AREA] = {};
        status = Korvel_Search(handle, mode);
        if (status == KORVEL_OK) status = Korvel_Reset(handle, text);
        if (status == KORVEL_OK) {
          result["mode"] = cli::ModeName(mode[0]);
          result["identification"] = cli::Printable(text, std::strlen(reinterpret_cast<const char*>(text)));
        }
        break;
      }
      case RequestKind::kMode: {
        unsigned char mode[KORVEL_MODE_AREA] = {};
        if (request.mode) {
          status = Korvel_ReadMode(handle, *request.mode);
          mode[0] = *request.mode;
        } else {
          status = Korvel_Search(handle, mode);
        }
        if (status == KORVEL_OK) {
          result["mode"] = cli::ModeName(mode[0]);
          result["set"] = request.mode.has_value();
        }
        break;
      }
      case RequestKind::kSentinels:
        if (request.record) {
          status = Korvel_SetTrack(handle, request.record->data());
          if (status == KORVEL_OK) worker.UseRecord(*request.record);
        }
        if (status == KORVEL_OK) {
          result["record"] = cli::RecordText(request.record ? *request.record : worker.record());
          result["set"] = request.record.has_value();
        }
        break;
      case RequestKind::kRead: {
        unsigned char data[KORVEL_DATA_AREA] = {};
        status = Korvel_ReadData(handle, data);
        if (status == KORVEL_OK) {
          SwipeRecord swipe;
          swipe.reader = request.reader;
          swipe.bytes.assign(data, data + std::strlen(reinterpret_cast<const char*>(data)));
          swipe.record = worker.record();
          swipe.today_yymm = TodayYymm();
          const Json event = SwipeEvent(swipe, reveal);
          for (const char* key : {"bytes", "raw", "card"})
            if (event.contains(key)) result[key] = event[key];
        }
        break;
      }
      default: break;
    }
    answer(status == KORVEL_OK ? result : StatusResult(request, status));
  });
}

}  // namespace korvel::service
