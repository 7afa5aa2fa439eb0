/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Message boxes of the Windows dialog.
#pragma once

#include <windows.h>

#include <string>

namespace dunmark::win {

// The title of the box that shows a reason.
inline constexpr wchar_t kReasonTitle[] = L"Details\xFF1A";

// A modal message box owned by `owner`: `text`, `title` and `icon`
// (MB_ICONHAND, MB_ICONINFORMATION, MB_ICONEXCLAMATION) exactly as given,
// with an OK button.  A message box has no details area, so a `reason` is
// offered through the system's Help button (and F1) instead: pressing it
// shows the reason in a box of its own, titled kReasonTitle, owned by the
// first.  Returns when the user has closed the box.
void ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT icon,
                    const std::wstring& reason = {});

}  // namespace dunmark::win
