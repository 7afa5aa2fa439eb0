/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The data field (edit 1026), a multi-line edit that does not take the Enter
// key for itself: Enter is the dialog's OK command there too (Ctrl+Enter
// starts a new line).  What the user types, pastes or composes is limited in
// bytes of code page 936, which EM_LIMITTEXT (a count of characters) cannot
// do; text the program sets is never cut.
#pragma once

#include <windows.h>

namespace dunmark::win {

// Makes the multi-line `edit` the data field, taking at most `limit` bytes
// from the user.
void MakeDataField(HWND edit, int limit);

}  // namespace dunmark::win
