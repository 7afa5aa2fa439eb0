/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The exit codes of `korvel`: the one table of them.  --help, the JSON
// objects and the tests all read it.
#pragma once

#include <array>
#include <string>

namespace korvel::cli {

enum class Exit : int {
  kOk = 0,
  kFailure = 1,
  kUsage = 2,
  kOpenFailed = 3,
  kNoAnswer = 4,
  kRefused = 5,
  kDisconnected = 6,
  kTimeout = 7,
  kCardInvalid = 8,
  kInterrupted = 130,
};

struct ExitInfo {
  Exit exit;
  const char* name;     // stable, for programs: the JSON "error" field
  const char* meaning;  // one line for people
};

inline constexpr std::array<ExitInfo, 10> kExitCodes = {{
    {Exit::kOk, "ok", "success"},
    {Exit::kFailure, "failure",
     "any other failure: inside the library, the simulated reader did not start, standard output closed"},
    {Exit::kUsage, "usage", "usage error: unknown command or option, a missing, extra or bad argument"},
    {Exit::kOpenFailed, "open_failed",
     "the port could not be opened: absent, busy, permission denied, not a serial port"},
    {Exit::kNoAnswer, "no_answer", "the reader did not answer: no reply, a cut reply or a malformed reply"},
    {Exit::kRefused, "refused", "the reader refused the command (with its error byte, or without one)"},
    {Exit::kDisconnected, "disconnected", "the device went away"},
    {Exit::kTimeout, "timeout", "nothing was swiped before the timeout"},
    {Exit::kCardInvalid, "card_invalid",
     "with --require-valid: the card failed a check or the reader sent no card data (watch: any swipe)"},
    {Exit::kInterrupted, "interrupted",
     "interrupted by Ctrl-C, SIGTERM or SIGHUP (after the reader's mode is restored)"},
}};

inline int CodeOf(Exit exit) {
  return static_cast<int>(exit);
}

// The table's entry of `exit`.
const ExitInfo& InfoOf(Exit exit);

// What a library status (korvel.h) makes of the program's exit: KORVEL_OK is
// kOk; a refusal (error byte 1..255, KORVEL_E_REFUSED) kRefused; no, cut or
// malformed replies and over-long card data kNoAnswer; KORVEL_E_DISCONNECTED
// kDisconnected; KORVEL_E_EMPTY (a wait for a swipe that saw none) kTimeout;
// anything else kFailure.
Exit ExitOfStatus(int status);

// The table as --help prints it: "  0  ok            success", one a line.
std::string ExitCodeTable();

}  // namespace korvel::cli
