// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// What the Windows programs' tests under Wine share: the environment that
// tests/win32/run.sh passes, waiting while this thread's messages are
// dispatched, the program under test found beside the test, and the
// simulated reader on its COM port (its control FIFO, its output, and its
// start-up state restored through the library):
//
//   KORVEL_SIM_PORT, KORVEL_SIM_CONTROL   the simulator's COM port and control FIFO
//   KORVEL_SIM_LOG                        the simulator's output, as a Windows path
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>

#include "korvel.h"

namespace korvel::wine_test {

// The reader's start-up track settings.
inline constexpr std::array<uint8_t, 8> kDefaultRecord{'%', '?', ';', '?', '+', '?', '7', '1'};

inline std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

inline std::wstring Widen(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), text.data(), size);
  return text;
}

inline int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Waits until `ready` holds, for at most `timeout_ms`, dispatching this
// thread's messages meanwhile (a window of the test lives on it).
inline bool WaitFor(const std::function<bool()>& ready, int timeout_ms = 10000) {
  const int64_t end = NowMs() + timeout_ms;
  for (;;) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    if (ready()) return true;
    if (NowMs() > end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
}

// The program under test: the environment variable `variable` when set, else
// `file_name` beside this test program.
inline std::wstring ProgramPath(const char* variable, const wchar_t* file_name) {
  if (const std::string path = Env(variable); !path.empty()) return Widen(path);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::wstring path = self;
  return path.substr(0, path.find_last_of(L"\\/") + 1) + file_name;
}

// The simulated reader.
class SimulatedReader {
 public:
  bool Configured() const { return !port_.empty() && !fifo_.empty(); }
  bool HasLog() const { return !log_.empty(); }
  const std::string& port() const { return port_; }

  // One command to the simulator ("swipe 1", "hangup", ...).
  void Send(const std::string& command) const {
    HANDLE f = CreateFileA(fifo_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot open the control FIFO " << fifo_;
    const std::string line = command + "\n";
    DWORD written = 0;
    const BOOL ok = WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(f);
    ASSERT_TRUE(ok && written == line.size()) << command;
  }

  // The simulator's output so far.
  std::string Log() const {
    std::ifstream in(log_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  size_t LogSize() const { return Log().size(); }

  // Waits until the output after `from` holds `text`; returns that line.
  std::string WaitForLine(size_t from, const std::string& text, int timeout_ms = 10000) const {
    std::string line;
    WaitFor(
        [&] {
          const std::string log = Log();
          if (log.size() <= from) return false;
          const size_t at = log.find(text, from);
          if (at == std::string::npos) return false;
          const size_t begin = log.rfind('\n', at) + 1;
          line = log.substr(begin, log.find('\n', at) - begin);
          return true;
        },
        timeout_ms);
    return line;
  }

  // Brings the reader to its start-up state through the library: plugged
  // in, no fault, 9600 baud, command mode, the default track settings.
  void Reset() const {
    ASSERT_NO_FATAL_FAILURE(Send("plug"));
    ASSERT_NO_FATAL_FAILURE(Send("fault none"));
    void* handle = nullptr;
    uint8_t mode[KORVEL_MODE_AREA];
    WaitFor(
        [&] {
          for (uint32_t baud : {9600u, 19200u, 4800u, 38400u}) {
            handle = Korvel_CommOpenWithBaud(port_.c_str(), baud);
            if (handle == nullptr) return false;
            if (Korvel_Search(handle, mode) == KORVEL_OK) {
              if (baud == 9600) return true;
              Korvel_SetCommBaud(handle, 9600);
            }
            Korvel_CommClose(handle);
            handle = nullptr;
          }
          return false;
        },
        30000);
    ASSERT_NE(handle, nullptr) << "the simulated reader on " << port_ << " does not answer";
    EXPECT_EQ(Korvel_ReadMode(handle, KORVEL_MODE_COMMAND), KORVEL_OK);
    EXPECT_EQ(Korvel_SetTrack(handle, kDefaultRecord.data()), KORVEL_OK);
    Korvel_CommClose(handle);
  }

 private:
  std::string port_ = Env("KORVEL_SIM_PORT");
  std::string fifo_ = Env("KORVEL_SIM_CONTROL");
  std::string log_ = Env("KORVEL_SIM_LOG");
};

}  // namespace korvel::wine_test
