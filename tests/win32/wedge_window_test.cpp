// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel.exe wedge as a Windows user runs it: a window of this program with
// an edit control that has the keyboard focus, korvel.exe wedge COMn started
// beside it, and a swipe of the simulated reader; what the edit control then
// holds is what was typed.  Under Wine on a display (Xvfb); tests/win32/run.sh
// sets it up and passes, in the environment:
//
//   KORVEL_SIM_PORT, KORVEL_SIM_CONTROL   the simulator's COM port and control FIFO
//   KORVEL_EXE                            the program (default: korvel.exe beside this one)
//
// Without a display or a simulator the tests are skipped.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "korvel.h"
#include "wine_test_support.h"

namespace {

using namespace korvel::wine_test;

constexpr int kStartMs = 60000;  // a Wine program's first start can be slow on a busy machine
// The account numbers of the payment cards: never in the log in full.
constexpr const char* kAccounts[] = {"4111111111111111", "5555555555554444", "378282246310005",
                                     "6011111111111117"};

// A window with one multi-line edit control that has the keyboard focus.
class TypingWindow {
 public:
  TypingWindow() = default;
  TypingWindow(const TypingWindow&) = delete;
  TypingWindow& operator=(const TypingWindow&) = delete;
  ~TypingWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
  }

  // Why the window is not there, or empty.
  std::string Failure() const {
    return edit_ == nullptr ? "no window (error " + std::to_string(error_) + ")" : "";
  }
  // Makes the window (again, while a first GUI start in a fresh Wine prefix
  // refuses it) and brings it to the front with the focus in the edit control.
  bool Focus() {
    return WaitFor(
        [&] {
          if (edit_ == nullptr && !Create()) return false;
          if (GetForegroundWindow() != window_) SetForegroundWindow(window_);
          if (GetFocus() != edit_) SetFocus(edit_);
          return GetForegroundWindow() == window_ && GetFocus() == edit_;
        },
        kStartMs);
  }
  std::wstring Text() const {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(edit_)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(edit_, text.data(), static_cast<int>(text.size()))));
    return text;
  }

 private:
  bool Create() {
    WNDCLASSW type{};
    type.lpfnWndProc = DefWindowProcW;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"KorvelWedgeTarget";
    RegisterClassW(&type);  // fails harmlessly once the class is there
    if (window_ == nullptr)
      window_ =
          CreateWindowExW(0, L"KorvelWedgeTarget", L"korvel wedge target", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                          10, 10, 600, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window_ != nullptr)
      edit_ = CreateWindowExW(
          0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE | ES_AUTOHSCROLL | ES_WANTRETURN,
          5, 5, 580, 150, window_, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (edit_ == nullptr) error_ = GetLastError();
    return edit_ != nullptr;
  }

  HWND window_ = nullptr;
  HWND edit_ = nullptr;
  DWORD error_ = 0;
};

// One run of korvel.exe, its standard output and error in a file.
class Korvel {
 public:
  explicit Korvel(const std::wstring& arguments) {
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"kvl", 0, log_path_);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileW(log_path_, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::wstring line = L"\"" + ProgramPath("KORVEL_EXE", L"korvel.exe") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = log;
    startup.hStdError = log;
    started_ = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &process_) != FALSE;
    CloseHandle(log);
  }
  Korvel(const Korvel&) = delete;
  Korvel& operator=(const Korvel&) = delete;
  ~Korvel() {
    if (started_) {
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 10000);
      CloseHandle(process_.hThread);
      CloseHandle(process_.hProcess);
    }
    DeleteFileW(log_path_);
  }

  bool started() const { return started_; }
  std::string Log() const {
    std::string text;
    HANDLE f = CreateFileW(log_path_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) text.append(buffer, got);
    CloseHandle(f);
    return text;
  }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // The exit code once the program ended within `timeout_ms` (messages
  // dispatched meanwhile), else -1.
  int Wait(int timeout_ms) const {
    if (!WaitFor([&] { return WaitForSingleObject(process_.hProcess, 0) == WAIT_OBJECT_0; }, timeout_ms))
      return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return static_cast<int>(code);
  }

 private:
  wchar_t log_path_[MAX_PATH] = {};
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

class WineWedge : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("DISPLAY").empty()) GTEST_SKIP() << "no display (tests/win32/run.sh starts Xvfb)";
    if (!reader.Configured())
      GTEST_SKIP() << "no simulated reader configured (tests/win32/run.sh sets one up)";
    ASSERT_NO_FATAL_FAILURE(reader.Reset());
    ASSERT_TRUE(window.Focus()) << "the test window did not get the keyboard focus " << window.Failure();
  }
  void TearDown() override {
    if (!IsSkipped()) reader.Reset();
  }

  struct Run {
    int exit = -1;
    std::wstring typed;
    std::string log;
  };
  // Runs korvel.exe wedge on the reader's port for one swipe of sample card
  // `card`; waits until the edit control holds `expected_length` characters
  // (none: until the program ends).
  Run SwipeInto(const std::string& card, const std::wstring& options, size_t expected_length) {
    Run run;
    Korvel korvel(L"wedge " + Widen(reader.port()) + L" --count 1 --timeout 120 --key-delay 0 " + options);
    EXPECT_TRUE(korvel.started()) << "cannot start " << ProgramPath("KORVEL_EXE", L"korvel.exe").size()
                                  << "-character path";
    if (!korvel.started()) return run;
    // The wedge says when the reader is in active mode; only then is a swipe sent.
    const bool ready = WaitFor([&] { return korvel.LogHas("korvel: typing swipes from"); }, kStartMs);
    EXPECT_TRUE(ready) << korvel.Log();
    if (!ready) return run;
    reader.Send("swipe " + card);
    if (expected_length > 0) WaitFor([&] { return window.Text().size() >= expected_length; }, 60000);
    run.exit = korvel.Wait(60000);
    // Keys posted just before the program ended still reach the control.
    WaitFor([&] { return window.Text().size() >= expected_length; }, expected_length > 0 ? 5000 : 200);
    run.typed = window.Text();
    run.log = korvel.Log();
    return run;
  }

  SimulatedReader reader;
  TypingWindow window;
};

// A member card arrives in the edit control exactly as the template says:
// literal text, characters beyond ASCII (ä, €, a character beyond U+FFFF),
// fields, Tab and Enter.
TEST_F(WineWedge, TypesAMemberCardByTheTemplate) {
  const std::wstring templ = L"M\u00e4 \u20ac\U0001F600:{track2}{tab}{track1}{enter}";
  const std::wstring expected =
      L"M\u00e4 \u20ac\U0001F600:0000123450000099\tA000012345^TEST/MEMBER^GOLD CLUB\r\n";
  const Run run = SwipeInto("member", L"--template \"" + templ + L"\"", expected.size());
  EXPECT_EQ(run.exit, 0) << run.log;
  EXPECT_EQ(run.typed, expected) << run.log;
  EXPECT_NE(run.log.find("korvel: swipe 1 typed: "), std::string::npos) << run.log;
  EXPECT_NE(run.log.find("the reader is back in command mode"), std::string::npos) << run.log;
}

// The default template refuses a payment card: nothing typed, the log says
// why, and no account number appears in it in full.
TEST_F(WineWedge, RefusesAPaymentCardByDefault) {
  const Run run = SwipeInto("visa", L"", 0);
  EXPECT_EQ(run.exit, 0) << run.log;
  EXPECT_EQ(run.typed, L"");
  EXPECT_NE(run.log.find("korvel: swipe 1 not typed: a payment card"), std::string::npos) << run.log;
  for (const char* account : kAccounts) EXPECT_EQ(run.log.find(account), std::string::npos) << run.log;
}

// What korvel.exe says where the build has no such part: the reader
// service and the simulated reader run on Linux only.
TEST(WineKorvel, LinuxOnlyPartsAreUsageErrors) {
  for (const wchar_t* arguments : {L"service readers", L"wedge --service lane1", L"--simulate info"}) {
    Korvel korvel(arguments);
    ASSERT_TRUE(korvel.started());
    EXPECT_EQ(korvel.Wait(kStartMs), 2) << korvel.Log();
    EXPECT_TRUE(korvel.LogHas("Linux") || korvel.LogHas("no simulated reader")) << korvel.Log();
  }
}

}  // namespace
