/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The calling thread's window-message queue and the tick clock, as the Win32
// port backends (serial and network) use them while they wait, and the
// system's error texts they report.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>
#include <string>

namespace korvel::win32 {

// Takes every waiting message of the calling thread's queue, any window,
// dispatches it and then translates it.  A WM_QUIT is posted again (it
// belongs to the caller's own message loop) and ends the pump; until the
// caller's loop takes it, waits no longer wake on messages.
void PumpThreadMessages();

// Sleeps until one of the `count` handles is signalled or `ms` have passed;
// with `on_messages` (and no quit request pending) a new window message ends
// it as well.  Returns as MsgWaitForMultipleObjects does: WAIT_OBJECT_0 + i
// for handle i, WAIT_OBJECT_0 + count for a message, WAIT_TIMEOUT.
DWORD WaitForHandlesOrMessages(DWORD count, const HANDLE* handles, DWORD ms, bool on_messages);

// The system's text of an error code (GetLastError, WSAGetLastError),
// without its final period and line break; "system error N" where the
// system has none.
std::string SystemErrorText(DWORD error);

// The tick counter widened to 64 bits; unsigned differences carry it across
// its wrap after 49.7 days.
class TickClock {
 public:
  TickClock() : last_(GetTickCount()) {}
  int64_t NowMs() {
    const DWORD now = GetTickCount();
    ticks_ += static_cast<DWORD>(now - last_);
    last_ = now;
    return ticks_;
  }

 private:
  DWORD last_;
  int64_t ticks_ = 0;
};

}  // namespace korvel::win32
