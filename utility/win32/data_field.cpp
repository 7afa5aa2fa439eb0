// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "data_field.h"

#include <algorithm>
#include <string>

#include "text_cp936.h"

namespace dunmark::win {

namespace {

constexpr wchar_t kProcedureProperty[] = L"Dunmark.Procedure";
constexpr wchar_t kLimitProperty[] = L"Dunmark.Limit";

std::wstring TextOf(HWND edit) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(edit, text.data(), static_cast<int>(text.size()))));
  return text;
}

// Bytes the user may still add in place of the selection.
int Budget(HWND edit, int limit) {
  const std::wstring text = TextOf(edit);
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  start = std::min<DWORD>(start, static_cast<DWORD>(text.size()));
  end = std::min<DWORD>(std::max(start, end), static_cast<DWORD>(text.size()));
  return limit - (ByteCount936(text) - ByteCount936(std::wstring_view(text).substr(start, end - start)));
}

// The bytes a typed character adds: a line break is CR LF; a surrogate
// pair becomes one '?' (counted at its first half).
int CostOfTyped(wchar_t c) {
  if (c == L'\r' || c == L'\n') return 2;
  if (IS_LOW_SURROGATE(c)) return 0;
  if (IS_HIGH_SURROGATE(c)) return 1;
  return ByteCount936(std::wstring_view(&c, 1));
}

bool IsTyping(wchar_t c) {
  return c >= 0x20 || c == L'\t' || c == L'\r' || c == L'\n';
}

std::wstring Clipboard(HWND owner) {
  std::wstring text;
  if (!IsClipboardFormatAvailable(CF_UNICODETEXT) || !OpenClipboard(owner)) return text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT); data != nullptr) {
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data)); chars != nullptr) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

LRESULT CALLBACK Procedure(HWND edit, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto previous = reinterpret_cast<WNDPROC>(GetPropW(edit, kProcedureProperty));
  const int limit = static_cast<int>(reinterpret_cast<INT_PTR>(GetPropW(edit, kLimitProperty)));
  const bool writable = (GetWindowLongW(edit, GWL_STYLE) & ES_READONLY) == 0;
  switch (message) {
    case WM_GETDLGCODE: {
      // A multi-line edit asks for every key; Enter goes to the dialog
      // manager, which makes it the OK command.
      LRESULT code = CallWindowProcW(previous, edit, message, wParam, lParam);
      const auto* key = reinterpret_cast<const MSG*>(lParam);
      if (key != nullptr && key->message == WM_KEYDOWN && key->wParam == VK_RETURN &&
          GetKeyState(VK_CONTROL) >= 0)
        code &= ~(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE);
      return code;
    }
    case WM_CHAR: {
      const auto c = static_cast<wchar_t>(wParam);
      if (writable && IsTyping(c) && CostOfTyped(c) > Budget(edit, limit)) {
        MessageBeep(MB_OK);
        return 0;
      }
      break;
    }
    case WM_PASTE: {
      if (!writable) break;
      const std::wstring text = Clipboard(edit);
      const std::wstring fitted = FitBytes936(text, Budget(edit, limit));
      if (fitted.size() < text.size()) MessageBeep(MB_OK);
      if (!fitted.empty()) SendMessageW(edit, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(fitted.c_str()));
      return 0;
    }
    case WM_IME_COMPOSITION:
    case WM_IME_CHAR: {
      // The edit inserts an input method's result itself: undone when it
      // takes the text past the limit.
      if (!writable) break;
      const std::wstring before = TextOf(edit);
      DWORD start = 0, end = 0;
      SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
      const LRESULT result = CallWindowProcW(previous, edit, message, wParam, lParam);
      const std::wstring after = TextOf(edit);
      const int bytes = ByteCount936(after);
      if (bytes > limit && bytes > ByteCount936(before)) {
        MessageBeep(MB_OK);
        SetWindowTextW(edit, before.c_str());
        SendMessageW(edit, EM_SETSEL, start, end);
      }
      return result;
    }
    case WM_NCDESTROY:
      SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
      RemovePropW(edit, kProcedureProperty);
      RemovePropW(edit, kLimitProperty);
      break;
    default: break;
  }
  return CallWindowProcW(previous, edit, message, wParam, lParam);
}

}  // namespace

void MakeDataField(HWND edit, int limit) {
  SetPropW(edit, kLimitProperty, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(limit)));
  SetPropW(edit, kProcedureProperty, reinterpret_cast<HANDLE>(GetWindowLongPtrW(edit, GWLP_WNDPROC)));
  SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Procedure));
}

}  // namespace dunmark::win
