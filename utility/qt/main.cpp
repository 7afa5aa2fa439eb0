// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Dunmark: the setup and test dialog for the serial card reader.
#include <cstdio>

#include "utility_app.h"

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  CommandLine commandLine;
  int exitCode = 0;
  if (!CUtilityApp::ParseCommandLine(arguments, &commandLine, &exitCode)) return exitCode;
  // Without a display Qt would abort; say so in one line instead.
  if (!CUtilityApp::HasGraphicalSession()) {
    std::fputs(
        "dunmark: the dialog needs a graphical session (DISPLAY or WAYLAND_DISPLAY); "
        "without one, try the reader and the library with 'korvel --simulate probe'\n",
        stderr);
    return 1;
  }

  CUtilityApp app(argc, argv);
  if (!app.InitInstance(commandLine, &exitCode)) return exitCode;
  return app.exec();
}
