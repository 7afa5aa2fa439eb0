// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Windows: SendInput with KEYEVENTF_UNICODE, whatever the keyboard layout
// (a character beyond U+FFFF as its two UTF-16 halves); Enter and Tab as
// their virtual keys.
#include <windows.h>

#include <string>
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

// Windows has no notification a console program can show without a
// registered application; the log line says it.
void Notify(const std::string&, const std::string&) {}

std::unique_ptr<Typist> OpenTypist(std::string*) {
  return std::make_unique<Win32Typist>();
}

}  // namespace korvel::wedge
