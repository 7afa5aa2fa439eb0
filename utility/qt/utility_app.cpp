// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "utility_app.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "dunmark_core.h"
#include "dunmark_resources.h"
#include "gbk_text_and_geometry.h"
#include "main_dialog.h"

#if defined(DUNMARK_WITH_SIMULATOR)
#include "simulated_reader.h"
#include "simulator_window.h"
#endif

CUtilityApp::CUtilityApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Dunmark"));
  setApplicationVersion(dunmark::res::kVersion);
  // The desktop entry's name, so that a Wayland shell matches the window to
  // the entry and shows its icon.
  setDesktopFileName(QStringLiteral(DUNMARK_APP_ID));
  setWindowIcon(dunmark::res::AppIcon());
}

CUtilityApp::~CUtilityApp() {
  // The windows go before the reader they show.
  m_mainDialog.reset();
#if defined(DUNMARK_WITH_SIMULATOR)
  m_simulatorWindow.reset();
  m_simulatedReader.reset();
#endif
}

namespace {

const char kUsage[] =
    "Usage: dunmark [--port PATH]... [--simulate]\n"
    "Setup and test dialog for the serial magnetic-stripe card reader.\n"
    "\n"
    "The port list holds com1 to com8 (comN is /dev/ttyS{N-1} on Linux) and the\n"
    "serial devices present (/dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*).\n"
    "\n"
    "Options:\n"
    "  --port PATH   add the device PATH to the port list and select it\n"
    "  --simulate    start a simulated reader on a pseudo-terminal, select its\n"
    "                port, and open a window to swipe sample cards and switch\n"
    "                faults\n"
    "  -h, --help    show this help and exit\n"
    "  -v, --version show the version and exit\n";

}  // namespace

bool CUtilityApp::ParseCommandLine(const QStringList& arguments, CommandLine* commandLine, int* exitCode) {
  *commandLine = CommandLine{};
  *exitCode = 0;
#if defined(DUNMARK_WITH_SIMULATOR)
  constexpr bool kSimulateAvailable = true;
#else
  constexpr bool kSimulateAvailable = false;
#endif
  dunmark::core::CommandLine parsed;
  std::string error;
  switch (dunmark::core::ParseCommandLine(dunmark::ToStdStrings(arguments), kSimulateAvailable, &parsed,
                                          &error)) {
    case dunmark::core::CommandLineAction::kHelp: std::fputs(kUsage, stdout); return false;
    case dunmark::core::CommandLineAction::kVersion:
      std::printf("dunmark %s\n", qPrintable(dunmark::res::kVersion));
      return false;
    case dunmark::core::CommandLineAction::kError:
      std::fprintf(stderr, "dunmark: %s\nTry 'dunmark --help'.\n", error.c_str());
      *exitCode = 2;
      return false;
    case dunmark::core::CommandLineAction::kRun: break;
  }
  commandLine->ports = dunmark::ToStringList(parsed.ports);
  commandLine->simulate = parsed.simulate;
  return true;
}

bool CUtilityApp::HasGraphicalSession() {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (!qEnvironmentVariableIsEmpty(name)) return true;
  }
  return false;
#else
  return true;
#endif
}

bool CUtilityApp::InitInstance(const CommandLine& commandLine, int* exitCode) {
  *exitCode = 0;
  setFont(dunmark::DialogFont());

  m_mainDialog = std::make_unique<CMainDialog>();
  CMainDialog& dialog = *m_mainDialog;
  for (const QString& device : dunmark::ToStringList(dunmark::core::DiscoverSerialDevices()))
    dialog.AddPortName(device, false);
  for (const QString& path : commandLine.ports) dialog.AddPortName(path);

#if defined(DUNMARK_WITH_SIMULATOR)
  if (commandLine.simulate) {
    QString error;
    m_simulatedReader = CSimulatedReader::Start(CSimulatedReader::DefaultLinkPath(), &error);
    if (!m_simulatedReader) {
      std::fprintf(stderr, "dunmark: the simulated reader did not start: %s\n", qPrintable(error));
      *exitCode = 1;
      return false;
    }
    dialog.AddPortName(m_simulatedReader->PortName());
    m_simulatorWindow = std::make_unique<CSimulatorWindow>(*m_simulatedReader);
  }
#endif

  // The program ends with the dialog, whichever way it ends.
  connect(&dialog, &QDialog::finished, this, [] { QCoreApplication::exit(0); });
  // Not modal: the "Simulated reader" window beside it takes the mouse too,
  // even while the dialog shows a message box (those are modal to the dialog
  // and its "Card" window alone), so that a reader can be plugged back in.
  dialog.show();
#if defined(DUNMARK_WITH_SIMULATOR)
  if (m_simulatorWindow) {
    m_simulatorWindow->adjustSize();
    dialog.PlaceHelperWindow(m_simulatorWindow.get());
    m_simulatorWindow->show();
  }
#endif
  return true;
}
