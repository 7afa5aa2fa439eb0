/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Who may use korveld's web side: the Origin allow-list, the Host a request
// names (a page whose name was made to point at 127.0.0.1 must get nothing),
// the bearer token, and the CORS and Private Network Access headers a
// listed origin gets.  Pure: the web server asks, this answers.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config.h"

namespace korvel::service {

enum class OriginVerdict {
  kNone,    // no Origin header: not a browser's cross-origin request
  kOwn,     // the service's own page (the listen address's origin)
  kListed,  // in [web] origins: CORS headers for it
  kRefused  // anything else: 403, no data
};

OriginVerdict CheckOrigin(const WebSettings& web, std::string_view origin, bool has_origin);

// Whether the Host header names the service itself (its listen address, or
// localhost, 127.0.0.1 and [::1] on a loopback listen address).  Any Host
// with allow_remote (the token guards it then).
bool HostAllowed(const WebSettings& web, std::string_view host);

// Whether a request carries the token: "Authorization: Bearer TOKEN", or
// access_token=TOKEN in the query (browsers cannot give a WebSocket or an
// EventSource a header).  Always true when no token is set.
bool TokenGood(const WebSettings& web, std::string_view authorization, std::string_view query);

// The CORS headers of a response to `verdict`'s origin; a preflight (OPTIONS)
// also gets what it may do, and the Private Network Access answer when it
// asked for one.  Nothing for origins that are not listed.
std::vector<std::pair<std::string, std::string>> CorsHeaders(OriginVerdict verdict, std::string_view origin,
                                                             bool preflight, bool private_network);

// The path of a request target without its query, and the query.
std::pair<std::string_view, std::string_view> SplitTarget(std::string_view target);

}  // namespace korvel::service
