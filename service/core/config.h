/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// korveld's configuration (korveld.toml(5)): read from TOML text and checked,
// with every problem named by its line, its key and why.  Pure: the caller
// reads the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvel.h"
#include "request.h"
#include "wedge.h"

namespace korvel::service {

using cli::TrackRecord;

// Where the socket is unless the configuration says otherwise.
inline constexpr const char* kDefaultSocket = "/run/korvel/korveld.sock";
inline constexpr const char* kDefaultConfig = "/etc/korvel/korveld.toml";
// How many events a client may have waiting before the oldest are dropped.
inline constexpr size_t kDefaultClientQueue = 256;
// How many HTTP connections (WebSocket and event streams included) the web side takes at once.
inline constexpr size_t kDefaultWebClients = 64;
// Where the status page and korvel.js are: the installed folder unless [web] root says otherwise.
#ifdef KORVELD_WEB_ROOT
inline constexpr const char* kDefaultWebRoot = KORVELD_WEB_ROOT;
#else
inline constexpr const char* kDefaultWebRoot = "/usr/share/korveld/web";
#endif

// Bits of ReaderSettings::tracks: the tracks the reader is set to send.
inline constexpr unsigned kTrack1 = KORVEL_TRACKS_1, kTrack2 = KORVEL_TRACKS_2, kTrack3 = KORVEL_TRACKS_3;

// [reader.wedge]: the reader's swipes typed into the window with the focus on
// the service's X display (korvel wedge's template and payment rule).
struct WedgeSettings {
  std::string template_text = wedge::kDefaultTemplate;
  bool allow_payment_data = false;
  int key_delay_ms = wedge::kDefaultKeyDelayMs;  // 0 to wedge::kMaxKeyDelayMs

  bool operator==(const WedgeSettings&) const = default;
};

// How one reader is served.  Two readers with equal settings are the same
// reader (a reload keeps it running).
struct ReaderSettings {
  std::string name;
  std::string port;  // any name the library opens
  uint32_t baud = 9600;
  std::optional<TrackRecord> record;  // `sentinels`: sent at open when given
  unsigned tracks = 0;                // kTrack* bits; 0: not configured
  bool discovered = false;
  std::optional<WedgeSettings> wedge;  // [reader.wedge], when given

  bool operator==(const ReaderSettings&) const = default;
  // The record the reader's swipes are decoded with: the one sent, else the
  // reader's own.
  TrackRecord Record() const { return record.value_or(cli::kDefaultRecord); }
};

// [web]: HTTP, WebSocket and Server-Sent Events for browsers (korveld(8)).
struct WebSettings {
  std::string host = "127.0.0.1";  // an address, or "localhost" (127.0.0.1 and ::1)
  uint16_t port = 0;
  bool allow_remote = false;         // a host that is not loopback is only taken with it (and a token)
  std::string token;                 // bearer token every data request must carry; empty: none
  std::vector<std::string> origins;  // web origins ("https://till.example") whose pages may connect
  size_t max_clients = kDefaultWebClients;
  std::string root = kDefaultWebRoot;

  bool operator==(const WebSettings&) const = default;
};

struct Config {
  std::string socket = kDefaultSocket;
  std::vector<ReaderSettings> readers;
  std::vector<std::string> match;  // [discover] match
  // [discover] baud, sentinels, tracks: for every discovered reader (name
  // and port are the device's).
  ReaderSettings discover;
  std::vector<std::string> reveal_groups;
  size_t client_queue = kDefaultClientQueue;
  std::optional<WebSettings> web;  // no [web] table: no web side
};

// One thing wrong with a configuration.
struct ConfigProblem {
  int line = 0;     // 1-based; 0 when the text has no line for it
  std::string key;  // "reader[2].baud", or empty for a syntax error
  std::string why;
};

// "FILE:LINE: KEY: why" (parts left out when unknown).
std::string ProblemText(const std::string& file, const ConfigProblem& problem);

// Reads and checks `text`.  Every problem found is added to `problems` (all
// of them, not just the first); the configuration is only usable when none
// was.  Unknown keys are problems (a misspelt key would otherwise be
// silently ignored).
Config ParseConfig(std::string_view text, std::vector<ConfigProblem>* problems);

// Reads "HOST:PORT" ("127.0.0.1:8931", "[::1]:8931", "localhost:8931");
// false with why in `error`.
bool ParseListen(std::string_view text, std::string* host, uint16_t* port, std::string* error);
// Whether `host` (as ParseListen gives it) is a loopback address or "localhost".
bool IsLoopbackHost(std::string_view host);

// Whether `port` names a network port (rfc2217:// or tcp://).
bool IsNetworkPort(std::string_view port);

// A reader's name from a discovered device's path: its file name with every
// character outside [A-Za-z0-9._-] made '_'.
std::string NameFromPath(std::string_view path);

// Whether `name` is a good reader name: 1 to 64 of [A-Za-z0-9._-].
bool ValidName(std::string_view name);

}  // namespace korvel::service
