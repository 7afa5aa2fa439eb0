// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "web_policy.h"

namespace korvel::service {

namespace {

// The host:port texts the service answers to.
std::vector<std::string> OwnHosts(const WebSettings& web) {
  const std::string port = ":" + std::to_string(web.port);
  std::vector<std::string> hosts;
  if (IsLoopbackHost(web.host)) {
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"}) hosts.push_back(name + port);
  } else {
    hosts.push_back((web.host.find(':') != std::string::npos ? "[" + web.host + "]" : web.host) + port);
  }
  return hosts;
}

// Compares without stopping at the first difference (the token is a secret).
bool SameSecret(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i)
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  return difference == 0;
}

}  // namespace

OriginVerdict CheckOrigin(const WebSettings& web, std::string_view origin, bool has_origin) {
  if (!has_origin) return OriginVerdict::kNone;
  for (const std::string& host : OwnHosts(web))
    if (origin == "http://" + host) return OriginVerdict::kOwn;
  for (const std::string& listed : web.origins)
    if (origin == listed) return OriginVerdict::kListed;
  return OriginVerdict::kRefused;
}

bool HostAllowed(const WebSettings& web, std::string_view host) {
  if (web.allow_remote) return true;
  for (const std::string& own : OwnHosts(web))
    if (host == own) return true;
  return false;
}

bool TokenGood(const WebSettings& web, std::string_view authorization, std::string_view query) {
  if (web.token.empty()) return true;
  constexpr std::string_view kBearer = "Bearer ";
  if (authorization.substr(0, kBearer.size()) == kBearer &&
      SameSecret(authorization.substr(kBearer.size()), web.token))
    return true;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    constexpr std::string_view kKey = "access_token=";
    if (pair.substr(0, kKey.size()) == kKey && SameSecret(pair.substr(kKey.size()), web.token)) return true;
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
  }
  return false;
}

std::vector<std::pair<std::string, std::string>> CorsHeaders(OriginVerdict verdict, std::string_view origin,
                                                             bool preflight, bool private_network) {
  std::vector<std::pair<std::string, std::string>> headers;
  if (verdict != OriginVerdict::kListed) return headers;
  headers.emplace_back("Access-Control-Allow-Origin", std::string(origin));
  headers.emplace_back("Vary", "Origin");
  if (preflight) {
    headers.emplace_back("Access-Control-Allow-Methods", "GET, HEAD, OPTIONS");
    headers.emplace_back("Access-Control-Allow-Headers", "Authorization");
    headers.emplace_back("Access-Control-Max-Age", "600");
    if (private_network) headers.emplace_back("Access-Control-Allow-Private-Network", "true");
  }
  return headers;
}

std::pair<std::string_view, std::string_view> SplitTarget(std::string_view target) {
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) return {target, {}};
  return {target.substr(0, mark), target.substr(mark + 1)};
}

}  // namespace korvel::service
