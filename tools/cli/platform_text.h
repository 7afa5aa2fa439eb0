/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The parts of korvel's help that differ by platform: the ports it lists and
// opens, how the wedge types and what it tells.  One file per platform
// (platform_text_posix.cpp, platform_text_win32.cpp).
#pragma once

namespace korvel::cli {

// korvel ports --help: what is listed.
extern const char kPortsDetails[];
// korvel --help: what PORT may be.
extern const char kPortText[];
// korvel wedge --help: what the wedge does and where it works.
extern const char kWedgeDescription[];
// korvel wedge --help: where a swipe is logged and a refused one shown.
extern const char kWedgeLogText[];

}  // namespace korvel::cli
