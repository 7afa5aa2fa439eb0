// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "exit_codes.h"

#include <cstdio>

#include "korvel.h"

namespace korvel::cli {

const ExitInfo& InfoOf(Exit exit) {
  for (const ExitInfo& info : kExitCodes)
    if (info.exit == exit) return info;
  return kExitCodes[1];  // every Exit is in the table; a test checks it
}

Exit ExitOfStatus(int status) {
  if (status == KORVEL_OK) return Exit::kOk;
  if ((status >= 1 && status <= 255) || status == KORVEL_E_REFUSED) return Exit::kRefused;
  switch (status) {
    case KORVEL_E_NO_REPLY:
    case KORVEL_E_FRAME:
    case KORVEL_E_REPLY_TIMEOUT:
    case KORVEL_E_OVERFLOW: return Exit::kNoAnswer;
    case KORVEL_E_DISCONNECTED: return Exit::kDisconnected;
    case KORVEL_E_EMPTY: return Exit::kTimeout;
    default: return Exit::kFailure;
  }
}

std::string ExitCodeTable() {
  constexpr size_t kIndent = 21, kWidth = 78;
  std::string table;
  for (const ExitInfo& info : kExitCodes) {
    char head[32];
    std::snprintf(head, sizeof head, "  %-4d %-13s ", CodeOf(info.exit), info.name);
    std::string line = head;
    // The meaning, wrapped at word boundaries under its first word.
    const std::string meaning = info.meaning;
    size_t at = 0;
    while (at < meaning.size()) {
      size_t end = meaning.size();
      if (line.size() + (end - at) > kWidth) {
        end = meaning.rfind(' ', at + (kWidth - line.size()));
        if (end == std::string::npos || end <= at) end = meaning.find(' ', at);
        if (end == std::string::npos) end = meaning.size();
      }
      line += meaning.substr(at, end - at);
      table += line + "\n";
      line = std::string(kIndent, ' ');
      at = end < meaning.size() ? end + 1 : end;
    }
  }
  return table;
}

}  // namespace korvel::cli
