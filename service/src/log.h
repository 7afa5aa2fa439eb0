/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The service's log: one line a message on standard error (the journal
// under systemd).  It never holds card data: swipes are logged by reader,
// number and byte count only, and clients' lines are never repeated.
#pragma once

#include <cstdio>
#include <string>

namespace korvel::service {

inline void Log(const std::string& text) {
  std::fprintf(stderr, "korveld: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace korvel::service
