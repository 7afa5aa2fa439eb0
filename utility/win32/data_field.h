// The data field (edit 1026): what the user types, pastes or composes is
// limited in bytes of code page 936, which EM_LIMITTEXT (a count of
// characters) cannot do.  Text the program sets is never cut.
#pragma once

#include <windows.h>

namespace dunmark::win {

// Limits the user's input into the multi-line `edit` to `limit` bytes.
void LimitUserInput(HWND edit, int limit);

}  // namespace dunmark::win
