// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "win32_messages.h"

namespace korvel::win32 {
namespace {

// A window that never validates its update region gets WM_PAINT forever; a
// bound per pump keeps such a queue from holding the library inside the pump.
constexpr int kMaxMessagesPerPump = 1000;

// Set when a pump met a quit request and put it back: it keeps every
// message wait of the thread signalled until the caller's loop takes it.
thread_local bool t_quit_pending = false;

}  // namespace

void PumpThreadMessages() {
  t_quit_pending = false;
  MSG msg;
  for (int i = 0; i < kMaxMessagesPerPump && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++i) {
    if (msg.message == WM_QUIT) {
      // The quit request belongs to the caller's own message loop: put it
      // back rather than swallow it, and stop here (it would come again).
      PostQuitMessage(static_cast<int>(msg.wParam));
      t_quit_pending = true;
      break;
    }
    DispatchMessageA(&msg);
    TranslateMessage(&msg);
  }
}

DWORD WaitForHandlesOrMessages(DWORD count, const HANDLE* handles, DWORD ms, bool on_messages) {
  if (on_messages && !t_quit_pending)
    return MsgWaitForMultipleObjects(count, handles, FALSE, ms, QS_ALLINPUT);
  return WaitForMultipleObjects(count, handles, FALSE, ms);
}

std::string SystemErrorText(DWORD error) {
  char buffer[256] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
  return text.empty() ? "system error " + std::to_string(error) : text;
}

}  // namespace korvel::win32
