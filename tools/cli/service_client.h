/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// `korvel service ...`: korvel as a client of korveld, the reader service,
// over its socket (korveld(8) describes the protocol); and what korvel says
// when a port it was asked to open is held by the service.
#pragma once

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace korvel::cli {

// Whether this build reaches korveld: false on Windows, where the service
// does not run (service_unavailable.cpp stands in for the client there).
extern const bool kHaveService;

// What korvel says where it cannot reach the service.
inline constexpr char kServiceLinuxOnly[] =
    "korveld, the reader service, runs on Linux only: give the reader's port instead";

// The service's socket: `given` when not empty, else $KORVELD_SOCKET when
// set, else /run/korvel/korveld.sock,
// else $XDG_RUNTIME_DIR/korveld.sock when only that one exists (korveld
// --simulate run by a user).
std::string ServiceSocket(const std::string& given);

// Runs `korvel service ARGS...` (ARGS without "service"); output on `out`,
// errors on `err`; `stop` (set by a signal) ends a watch.  Returns the exit
// code (exit_codes.h).
int RunService(const std::vector<std::string>& args, FILE* out, FILE* err, const std::atomic<bool>& stop);

// The name under which the running service serves `port` (compared by the
// device it stands for), or empty when it does not, or no service answers
// within a moment.
std::optional<std::string> ServedAs(const std::string& port);

}  // namespace korvel::cli
