// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The console on Windows: the standard handles and a console control
// handler.
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <algorithm>

#include "console.h"

namespace korvel::cli::console {

namespace {

std::atomic<bool>* g_stop = nullptr;

// How long the handler holds a closing console (or a logoff, a shutdown)
// open while the reader's mode is restored; Windows ends the program after
// 5 s whatever the handler does.
constexpr DWORD kCloseGraceMs = 4000;

BOOL WINAPI OnControl(DWORD event) {
  if (g_stop == nullptr || g_stop->exchange(true)) return FALSE;  // the second request ends it
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    Sleep(kCloseGraceMs);  // returning ends the program: main's return ends it sooner
  return TRUE;
}

HANDLE HandleOf(Stream stream) {
  return GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr || count != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv + std::min(argc, 1), argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 1; i < count; ++i) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, arg.data(), size, nullptr, nullptr);
    arg.resize(arg.size() - 1);  // the terminating zero
    args.push_back(std::move(arg));
  }
  LocalFree(wide);
  return args;
}

bool PrepareStandardStreams(bool* out_closed) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  *out_closed = out == nullptr || out == INVALID_HANDLE_VALUE;
  return true;
}

void CatchStopRequests(std::atomic<bool>& stop) {
  g_stop = &stop;
  SetConsoleCtrlHandler(OnControl, TRUE);
}

long WriteSome(Stream stream, const char* data, size_t size, int) {
  const HANDLE handle = HandleOf(stream);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return -1;
  DWORD written = 0;
  const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 65536));
  if (!WriteFile(handle, data, chunk, &written, nullptr)) return -1;
  return static_cast<long>(written);
}

bool Broken(Stream) {
  return false;
}

}  // namespace korvel::cli::console
