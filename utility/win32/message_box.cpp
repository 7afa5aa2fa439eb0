// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "message_box.h"

namespace dunmark::win {

namespace {

// The box being set up on this thread: its reason, and the hook that finds
// its window.
struct PendingBox {
  const std::wstring* reason = nullptr;
  HHOOK hook = nullptr;
};
thread_local PendingBox t_pending;

constexpr wchar_t kReasonProperty[] = L"Dunmark.Reason";
constexpr wchar_t kProcedureProperty[] = L"Dunmark.Procedure";

void ShowReason(HWND box, const std::wstring& reason) {
  MessageBoxW(box, reason.c_str(), kReasonTitle, MB_OK | MB_ICONINFORMATION);
}

// The message box's own procedure with the Help button taken over: the
// system's box would send WM_HELP to its owner (Windows) or do nothing
// (Wine); here it shows the reason, the same everywhere.
LRESULT CALLBACK BoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
  const auto previous = reinterpret_cast<WNDPROC>(GetPropW(box, kProcedureProperty));
  const auto* reason = static_cast<const std::wstring*>(GetPropW(box, kReasonProperty));
  if (message == WM_COMMAND && LOWORD(wParam) == IDHELP && reason != nullptr) {
    ShowReason(box, *reason);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous));
    RemovePropW(box, kProcedureProperty);
    RemovePropW(box, kReasonProperty);
  }
  return CallWindowProcW(previous, box, message, wParam, lParam);
}

// Finds the box when it is activated, takes over its procedure, and lets go
// of the hook, so that boxes opened from it (the reason's) are left alone.
LRESULT CALLBACK FindBox(int code, WPARAM wParam, LPARAM lParam) {
  const HHOOK hook = t_pending.hook;
  wchar_t className[16] = {};
  if (code == HCBT_ACTIVATE && hook != nullptr &&
      GetClassNameW(reinterpret_cast<HWND>(wParam), className, 16) > 0 &&
      lstrcmpW(className, L"#32770") == 0) {
    const HWND box = reinterpret_cast<HWND>(wParam);
    SetPropW(box, kReasonProperty, const_cast<std::wstring*>(t_pending.reason));
    SetPropW(box, kProcedureProperty, reinterpret_cast<HANDLE>(GetWindowLongPtrW(box, GWLP_WNDPROC)));
    SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BoxProcedure));
    UnhookWindowsHookEx(hook);
    t_pending.hook = nullptr;
  }
  return CallNextHookEx(hook, code, wParam, lParam);
}

// F1 in the box: the help information carries the reason.
void CALLBACK OnHelp(LPHELPINFO help) {
  const auto* reason = reinterpret_cast<const std::wstring*>(help->dwContextId);
  if (reason == nullptr) return;
  HWND box = GetActiveWindow();
  if (help->hItemHandle != nullptr) box = GetAncestor(static_cast<HWND>(help->hItemHandle), GA_ROOT);
  ShowReason(box, *reason);
}

}  // namespace

void ShowMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, UINT icon,
                    const std::wstring& reason) {
  if (reason.empty()) {
    MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | icon);
    return;
  }
  MSGBOXPARAMSW params{};
  params.cbSize = sizeof params;
  params.hwndOwner = owner;
  params.lpszText = text.c_str();
  params.lpszCaption = title.c_str();
  params.dwStyle = MB_OK | MB_HELP | icon;
  params.dwContextHelpId = reinterpret_cast<DWORD_PTR>(&reason);
  params.lpfnMsgBoxCallback = &OnHelp;
  const PendingBox outer = t_pending;
  t_pending.reason = &reason;
  t_pending.hook = SetWindowsHookExW(WH_CBT, &FindBox, nullptr, GetCurrentThreadId());
  MessageBoxIndirectW(&params);
  if (t_pending.hook != nullptr) UnhookWindowsHookEx(t_pending.hook);
  t_pending = outer;
}

}  // namespace dunmark::win
