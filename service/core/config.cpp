// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "config.h"

#include <set>

#include <boost/asio/ip/address.hpp>

#include <toml++/toml.h>

#include "korvel/port_names.h"
#include "korvel/rates.h"

namespace korvel::service {

namespace {

constexpr unsigned kTrackBits[3] = {kTrack1, kTrack2, kTrack3};

int LineOf(const toml::node& node) {
  return static_cast<int>(node.source().begin.line);
}

class Checker {
 public:
  explicit Checker(std::vector<ConfigProblem>* problems) : problems_(problems) {}

  void Problem(int line, const std::string& key, const std::string& why) {
    problems_->push_back({line, key, why});
  }

  // Problems for every key of `table` that is not in `known`.
  void OnlyKnown(const toml::table& table, const std::string& prefix,
                 std::initializer_list<const char*> known) {
    for (const auto& [key, node] : table) {
      bool found = false;
      for (const char* k : known) found = found || key.str() == k;
      if (!found) Problem(LineOf(node), prefix + std::string(key.str()), "unknown key");
    }
  }

  std::optional<std::string> String(const toml::table& table, const char* key, const std::string& name,
                                    bool required, int table_line) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      if (required) Problem(table_line, name, "missing (it is required)");
      return std::nullopt;
    }
    const auto* value = node->as_string();
    if (value == nullptr) {
      Problem(LineOf(*node), name, "must be a string");
      return std::nullopt;
    }
    return value->get();
  }

  std::optional<std::vector<std::string>> Strings(const toml::table& table, const char* key,
                                                  const std::string& name) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return std::nullopt;
    const auto* array = node->as_array();
    std::vector<std::string> values;
    bool good = array != nullptr;
    if (good)
      for (const toml::node& item : *array) {
        if (const auto* text = item.as_string())
          values.push_back(text->get());
        else
          good = false;
      }
    if (!good) {
      Problem(LineOf(*node), name, "must be a list of strings");
      return std::nullopt;
    }
    return values;
  }

  // baud, sentinels and tracks of a reader or of [discover].
  void ReaderKeys(const toml::table& table, const std::string& prefix, ReaderSettings* settings) {
    if (const toml::node* node = table.get("baud")) {
      const auto* value = node->as_integer();
      if (value == nullptr || value->get() < 0 || value->get() > UINT32_MAX ||
          FindLineRate(static_cast<uint32_t>(value->get())) == nullptr)
        Problem(LineOf(*node), prefix + "baud", "must be 4800, 9600, 19200 or 38400");
      else
        settings->baud = static_cast<uint32_t>(value->get());
    }
    if (auto text = String(table, "sentinels", prefix + "sentinels", false, 0)) {
      std::string error;
      settings->record = cli::ParseRecord(*text, &error);
      if (!settings->record)
        Problem(LineOf(*table.get("sentinels")), prefix + "sentinels",
                error + " (six sentinels like \"%?;?+?\", or the whole record like \"%?;?+?71\")");
    }
    if (const toml::node* node = table.get("tracks")) {
      const auto* array = node->as_array();
      unsigned bits = 0;
      bool good = array != nullptr && !array->empty();
      if (good)
        for (const toml::node& item : *array) {
          const auto* track = item.as_integer();
          if (track == nullptr || track->get() < 1 || track->get() > 3 ||
              (bits & kTrackBits[track->get() - 1]) != 0)
            good = false;
          else
            bits |= kTrackBits[track->get() - 1];
        }
      if (!good)
        Problem(LineOf(*node), prefix + "tracks",
                "must be a list of different track numbers 1 to 3, like [1, 2]");
      else
        settings->tracks = bits;
    }
  }

  // [reader.wedge]: template, allow_payment_data, key_delay_ms.
  void WedgeKeys(const toml::table& table, const std::string& reader_prefix, ReaderSettings* settings) {
    const toml::node* node = table.get("wedge");
    if (node == nullptr) return;
    const std::string prefix = reader_prefix + "wedge.";
    const toml::table* wedge_table = node->as_table();
    if (wedge_table == nullptr) {
      Problem(LineOf(*node), reader_prefix + "wedge", "must be a table written [reader.wedge]");
      return;
    }
    OnlyKnown(*wedge_table, prefix, {"template", "allow_payment_data", "key_delay_ms"});
    WedgeSettings wedge;
    if (auto text = String(*wedge_table, "template", prefix + "template", false, 0)) {
      std::string error;
      if (!wedge::ParseTemplate(*text, &error))
        Problem(LineOf(*wedge_table->get("template")), prefix + "template", error);
      wedge.template_text = *text;
    }
    if (const toml::node* allow = wedge_table->get("allow_payment_data")) {
      if (const auto* value = allow->as_boolean())
        wedge.allow_payment_data = value->get();
      else
        Problem(LineOf(*allow), prefix + "allow_payment_data", "must be true or false");
    }
    if (const toml::node* delay = wedge_table->get("key_delay_ms")) {
      const auto* value = delay->as_integer();
      if (value == nullptr || value->get() < 0 || value->get() > wedge::kMaxKeyDelayMs)
        Problem(LineOf(*delay), prefix + "key_delay_ms", "must be a number of milliseconds from 0 to 1000");
      else
        wedge.key_delay_ms = static_cast<int>(value->get());
    }
    settings->wedge = wedge;
  }

 private:
  std::vector<ConfigProblem>* problems_;
};

}  // namespace

std::string ProblemText(const std::string& file, const ConfigProblem& problem) {
  std::string text = file;
  if (problem.line > 0) text += ":" + std::to_string(problem.line);
  text += ": ";
  if (!problem.key.empty()) text += problem.key + ": ";
  return text + problem.why;
}

bool ParseListen(std::string_view text, std::string* host, uint16_t* port, std::string* error) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    *error = "must be \"HOST:PORT\", like \"127.0.0.1:8931\"";
    return false;
  }
  std::string_view name = text.substr(0, colon);
  const std::string_view digits = text.substr(colon + 1);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  } else if (name.find(':') != std::string_view::npos) {
    *error = "an IPv6 address is written in brackets, like \"[::1]:8931\"";
    return false;
  }
  unsigned long number = 0;
  bool good = !digits.empty() && digits.size() <= 5;
  for (char c : digits) {
    good = good && c >= '0' && c <= '9';
    if (good) number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!good || number < 1 || number > 65535) {
    *error = "the port must be a number from 1 to 65535";
    return false;
  }
  if (name != "localhost") {
    boost::system::error_code bad;
    boost::asio::ip::make_address(std::string(name), bad);
    if (bad) {
      *error = "\"" + std::string(name) + "\" is not an IP address (or \"localhost\")";
      return false;
    }
  }
  *host = std::string(name);
  *port = static_cast<uint16_t>(number);
  return true;
}

bool IsLoopbackHost(std::string_view host) {
  if (host == "localhost") return true;
  boost::system::error_code bad;
  const auto address = boost::asio::ip::make_address(std::string(host), bad);
  return !bad && address.is_loopback();
}

bool IsNetworkPort(std::string_view port) {
  return ParseNetworkPortName(port).protocol != NetworkPortName::Protocol::kNone;
}

bool ValidName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
          c == '_' || c == '-'))
      return false;
  return true;
}

std::string NameFromPath(std::string_view path) {
  const size_t slash = path.rfind('/');
  std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
  for (char& c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
      c = '_';
  if (name.size() > 64) name.resize(64);
  return name.empty() ? "_" : name;
}

Config ParseConfig(std::string_view text, std::vector<ConfigProblem>* problems) {
  Config config;
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& error) {
    problems->push_back({static_cast<int>(error.source().begin.line), "", std::string(error.description())});
    return config;
  }
  Checker check(problems);
  check.OnlyKnown(root, "", {"socket", "reveal_groups", "client_queue", "reader", "discover", "web"});

  if (auto socket = check.String(root, "socket", "socket", false, 0)) {
    if (socket->empty() || (*socket)[0] != '/' || socket->size() > 107)
      check.Problem(LineOf(*root.get("socket")), "socket", "must be an absolute path of at most 107 bytes");
    else
      config.socket = *socket;
  }
  if (auto groups = check.Strings(root, "reveal_groups", "reveal_groups")) config.reveal_groups = *groups;
  if (const toml::node* node = root.get("client_queue")) {
    const auto* value = node->as_integer();
    if (value == nullptr || value->get() < 1 || value->get() > 100000)
      check.Problem(LineOf(*node), "client_queue", "must be a number of events from 1 to 100000");
    else
      config.client_queue = static_cast<size_t>(value->get());
  }

  std::set<std::string> names;
  if (const toml::node* node = root.get("reader")) {
    const auto* readers = node->as_array();
    if (readers == nullptr || !readers->is_array_of_tables()) {
      check.Problem(LineOf(*node), "reader", "must be tables written [[reader]]");
    } else {
      int index = 0;
      for (const toml::node& item : *readers) {
        ++index;
        const toml::table& table = *item.as_table();
        const std::string prefix = "reader[" + std::to_string(index) + "].";
        const int line = LineOf(table);
        check.OnlyKnown(table, prefix, {"name", "port", "baud", "sentinels", "tracks", "wedge"});
        ReaderSettings reader;
        if (auto name = check.String(table, "name", prefix + "name", true, line)) {
          const int name_line = LineOf(*table.get("name"));
          if (!ValidName(*name))
            check.Problem(name_line, prefix + "name", "must be 1 to 64 letters, digits, '.', '_' or '-'");
          else if (!names.insert(*name).second)
            check.Problem(name_line, prefix + "name", "\"" + *name + "\" names another reader already");
          reader.name = *name;
        }
        if (auto port = check.String(table, "port", prefix + "port", true, line)) {
          const NetworkPortName network = ParseNetworkPortName(*port);
          if (port->empty())
            check.Problem(LineOf(*table.get("port")), prefix + "port", "must not be empty");
          else if (!network.error.empty())
            check.Problem(LineOf(*table.get("port")), prefix + "port", network.error);
          reader.port = *port;
        }
        check.ReaderKeys(table, prefix, &reader);
        check.WedgeKeys(table, prefix, &reader);
        config.readers.push_back(reader);
      }
    }
  }

  if (const toml::node* node = root.get("discover")) {
    const auto* table = node->as_table();
    if (table == nullptr) {
      check.Problem(LineOf(*node), "discover", "must be a table written [discover]");
    } else {
      check.OnlyKnown(*table, "discover.", {"match", "baud", "sentinels", "tracks"});
      if (auto match = check.Strings(*table, "match", "discover.match")) {
        for (const std::string& pattern : *match) {
          const size_t slash = pattern.rfind('/');
          if (pattern.empty() || pattern[0] != '/')
            check.Problem(LineOf(*table->get("match")), "discover.match",
                          "\"" + pattern + "\" is not an absolute path pattern");
          else if (pattern.substr(0, slash).find_first_of("*?[") != std::string::npos)
            check.Problem(LineOf(*table->get("match")), "discover.match",
                          "\"" + pattern + "\": only the file name may hold wildcards");
          else
            config.match.push_back(pattern);
        }
      }
      check.ReaderKeys(*table, "discover.", &config.discover);
    }
  }
  config.discover.discovered = true;

  if (const toml::node* node = root.get("web")) {
    const auto* table = node->as_table();
    if (table == nullptr) {
      check.Problem(LineOf(*node), "web", "must be a table written [web]");
    } else {
      WebSettings web;
      check.OnlyKnown(*table, "web.", {"listen", "allow_remote", "token", "origins", "max_clients", "root"});
      if (auto listen = check.String(*table, "listen", "web.listen", true, LineOf(*table))) {
        std::string error;
        if (!ParseListen(*listen, &web.host, &web.port, &error))
          check.Problem(LineOf(*table->get("listen")), "web.listen", error);
      }
      if (const toml::node* item = table->get("allow_remote")) {
        if (const auto* value = item->as_boolean())
          web.allow_remote = value->get();
        else
          check.Problem(LineOf(*item), "web.allow_remote", "must be true or false");
      }
      if (auto token = check.String(*table, "token", "web.token", false, 0)) {
        if (token->size() < 16 || token->find_first_of(" \t\r\n") != std::string::npos)
          check.Problem(LineOf(*table->get("token")), "web.token",
                        "must be at least 16 characters without spaces (a long random one)");
        else
          web.token = *token;
      }
      if (web.port != 0 && !IsLoopbackHost(web.host)) {
        const int line = LineOf(*table->get("listen"));
        if (!web.allow_remote)
          check.Problem(line, "web.listen",
                        "\"" + web.host +
                            "\" is not a loopback address: card data would reach the network "
                            "(set allow_remote = true and a token if that is really meant)");
        else if (web.token.empty() && table->get("token") == nullptr)
          check.Problem(line, "web.token", "a listen address beyond loopback needs a token");
      }
      if (auto origins = check.Strings(*table, "origins", "web.origins")) {
        for (const std::string& origin : *origins) {
          const size_t scheme = origin.find("://");
          const bool good = (origin.rfind("http://", 0) == 0 || origin.rfind("https://", 0) == 0) &&
                            scheme != std::string::npos && origin.size() > scheme + 3 &&
                            origin.find('/', scheme + 3) == std::string::npos;
          if (!good)
            check.Problem(
                LineOf(*table->get("origins")), "web.origins",
                "\"" + origin +
                    "\" is not an origin (scheme, host and port, like \"https://till.example:8443\")");
          else
            web.origins.push_back(origin);
        }
      }
      if (const toml::node* item = table->get("max_clients")) {
        const auto* value = item->as_integer();
        if (value == nullptr || value->get() < 1 || value->get() > 10000)
          check.Problem(LineOf(*item), "web.max_clients", "must be a number of connections from 1 to 10000");
        else
          web.max_clients = static_cast<size_t>(value->get());
      }
      if (auto folder = check.String(*table, "root", "web.root", false, 0)) {
        if (folder->empty() || (*folder)[0] != '/')
          check.Problem(LineOf(*table->get("root")), "web.root", "must be an absolute path");
        else
          web.root = *folder;
      }
      config.web = web;
    }
  }
  return config;
}

}  // namespace korvel::service
