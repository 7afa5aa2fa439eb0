// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Windows: SendInput with KEYEVENTF_UNICODE, whatever the keyboard layout
// (a character beyond U+FFFF as its two UTF-16 halves); Enter and Tab as
// their virtual keys.  A refused swipe's notification is a balloon of the
// notification area.
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "typist.h"

namespace korvel::wedge {

namespace {

INPUT UnicodeInput(wchar_t unit, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wScan = unit;
  input.ki.dwFlags = KEYEVENTF_UNICODE | (up ? KEYEVENTF_KEYUP : 0);
  return input;
}

INPUT VirtualKeyInput(WORD key, bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = key;
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  return input;
}

class Win32Typist : public Typist {
 public:
  bool Type(const std::vector<Action>& actions, int key_delay_ms, std::string* error) override {
    for (const Action& action : actions) {
      std::vector<INPUT> inputs;
      if (action.kind == Action::Kind::kEnter || action.kind == Action::Kind::kTab) {
        const WORD key = action.kind == Action::Kind::kEnter ? VK_RETURN : VK_TAB;
        inputs = {VirtualKeyInput(key, false), VirtualKeyInput(key, true)};
      } else if (action.character > 0xFFFF) {
        const char32_t c = action.character - 0x10000;
        const wchar_t high = static_cast<wchar_t>(0xD800 + (c >> 10));
        const wchar_t low = static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
        inputs = {UnicodeInput(high, false), UnicodeInput(low, false), UnicodeInput(high, true),
                  UnicodeInput(low, true)};
      } else {
        const wchar_t unit = static_cast<wchar_t>(action.character);
        inputs = {UnicodeInput(unit, false), UnicodeInput(unit, true)};
      }
      const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
      if (sent != inputs.size()) {
        *error = "Windows refused the keys (SendInput, error " + std::to_string(GetLastError()) +
                 "; a program of higher integrity may have the focus)";
        return false;
      }
      if (key_delay_ms > 0) Sleep(static_cast<DWORD>(key_delay_ms));
    }
    return true;
  }
};

}  // namespace

namespace {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
  return text;
}

constexpr DWORD kBalloonMs = 10000;  // then the icon is taken away again

// The icons shown now, taken away at the program's end too: an icon whose
// program ended stays in the notification area until the mouse passes it.
struct ShownIcons {
  std::mutex lock;
  std::vector<HWND> windows;
};

ShownIcons& Shown() {
  static ShownIcons* shown = [] {
    auto* icons = new ShownIcons;  // never destroyed: the handler below may run late
    std::atexit([] {
      std::lock_guard<std::mutex> hold(Shown().lock);
      for (HWND window : Shown().windows) {
        NOTIFYICONDATAW icon{};
        icon.cbSize = sizeof icon;
        icon.hWnd = window;
        icon.uID = 1;
        Shell_NotifyIconW(NIM_DELETE, &icon);
      }
      Shown().windows.clear();
    });
    return icons;
  }();
  return *shown;
}

// An icon in the notification area with `body` as its balloon (a toast on
// Windows 10 and later), owned by a hidden window of this thread, and taken
// away after kBalloonMs.  Nothing is shown where there is no notification
// area (Shell_NotifyIcon fails).
void ShowBalloon(const std::wstring& title, const std::wstring& body) {
  static constexpr wchar_t kClass[] = L"KorvelWedgeNotification";
  WNDCLASSW type{};
  type.lpfnWndProc = DefWindowProcW;
  type.hInstance = GetModuleHandleW(nullptr);
  type.lpszClassName = kClass;
  RegisterClassW(&type);  // fails harmlessly once the class is there
  HWND window = CreateWindowExW(0, kClass, L"korvel wedge", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (window == nullptr) return;
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = 1;
  icon.uFlags = NIF_ICON | NIF_TIP | NIF_INFO;
  icon.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_WARNING));
  icon.dwInfoFlags = NIIF_WARNING;
  lstrcpynW(icon.szTip, L"korvel wedge", ARRAYSIZE(icon.szTip));
  lstrcpynW(icon.szInfoTitle, title.c_str(), ARRAYSIZE(icon.szInfoTitle));
  lstrcpynW(icon.szInfo, body.c_str(), ARRAYSIZE(icon.szInfo));
  std::unique_lock<std::mutex> hold(Shown().lock);
  if (Shell_NotifyIconW(NIM_ADD, &icon)) {
    Shown().windows.push_back(window);
    hold.unlock();
    const UINT_PTR timer = SetTimer(window, 1, kBalloonMs, nullptr);
    MSG message;
    while (timer != 0 && GetMessageW(&message, nullptr, 0, 0) > 0 && message.message != WM_TIMER)
      DispatchMessageW(&message);
    hold.lock();
    std::erase(Shown().windows, window);
    Shell_NotifyIconW(NIM_DELETE, &icon);
  }
  hold.unlock();
  DestroyWindow(window);
}

}  // namespace

// A balloon of the notification area, on a thread of its own so that the
// wedge never waits for it.
void Notify(const std::string& title, const std::string& body) {
  try {
    std::thread([title = Widen(title), body = Widen(body)] { ShowBalloon(title, body); }).detach();
  } catch (...) {
    // No thread: the log line has said it already.
  }
}

std::unique_ptr<Typist> OpenTypist(std::string*) {
  return std::make_unique<Win32Typist>();
}

}  // namespace korvel::wedge
