// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Dunmark on Windows: the setup and test dialog for the serial card reader,
// a modal dialog from the program's resources over Korvel_dll.
#include <windows.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "dunmark_core.h"
#include "main_dialog.h"
#include "text_cp936.h"

namespace {

const wchar_t kUsage[] =
    L"Usage: dunmark [--port NAME]...\n"
    L"Setup and test dialog for the serial magnetic-stripe card reader.\n"
    L"\n"
    L"The port list holds com1 to com8.\n"
    L"\n"
    L"  --port NAME    add the port NAME (COM12, \\\\.\\COM12) to the list and select it\n"
    L"  -h, --help     show this text\n"
    L"  -v, --version  show the version";

// The arguments after the program's name, as the runtime split them.
std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i < __argc && __wargv != nullptr; ++i)
    arguments.push_back(dunmark::win::Narrow(__wargv[i]));
  return arguments;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
  using dunmark::win::Widen;
  dunmark::core::CommandLine commandLine;
  std::string error;
  // A program without a console answers in a box.
  switch (dunmark::core::ParseCommandLine(Arguments(), false, &commandLine, &error)) {
    case dunmark::core::CommandLineAction::kHelp:
      MessageBoxW(nullptr, kUsage, L"Dunmark", MB_OK | MB_ICONINFORMATION);
      return 0;
    case dunmark::core::CommandLineAction::kVersion:
      MessageBoxW(nullptr, (L"Dunmark " + Widen(DUNMARK_VERSION)).c_str(), L"Dunmark",
                  MB_OK | MB_ICONINFORMATION);
      return 0;
    case dunmark::core::CommandLineAction::kError:
      MessageBoxW(nullptr, (Widen(error) + L"\n\n" + kUsage).c_str(), L"Dunmark", MB_OK | MB_ICONHAND);
      return 2;
    case dunmark::core::CommandLineAction::kRun: break;
  }
  std::vector<std::wstring> ports;
  for (const std::string& port : commandLine.ports) ports.push_back(Widen(port));

  // The program ends when the dialog ends, whichever way; "Exit" ends it
  // from inside the dialog.
  dunmark::win::CMainDialog dialog(std::move(ports));
  dialog.DoModal(instance);
  return 0;
}
