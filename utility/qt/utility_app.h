/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The application object: reads the command line, builds the port list,
// shows the main dialog and ends the program when the dialog ends (or at
// "Exit").  It owns the dialog and, with --simulate, the simulated reader and
// its window.
#pragma once

#include <QApplication>
#include <QStringList>

#include <memory>

class CMainDialog;
class CSimulatedReader;
class CSimulatorWindow;

// What the command line asks for.
struct CommandLine {
  QStringList ports;      // --port PATH, in order
  bool simulate = false;  // --simulate
};

class CUtilityApp : public QApplication {
  Q_OBJECT

 public:
  // Reads the arguments (without the program name).  Prints the usage or
  // the version and returns false with `exitCode` 0 for --help/--version,
  // prints an error and returns false with 2 for a wrong argument.  Needs no
  // application object, so it works without a display.
  static bool ParseCommandLine(const QStringList& arguments, CommandLine* commandLine, int* exitCode);

  // Whether there is a graphical session to show the dialog in.  On the
  // systems where Qt draws through X11 or Wayland that is DISPLAY,
  // WAYLAND_DISPLAY or QT_QPA_PLATFORM (offscreen, vnc, ...) set and not
  // empty; elsewhere there always is one.  Needs no application object.
  static bool HasGraphicalSession();

  CUtilityApp(int& argc, char** argv);
  ~CUtilityApp() override;

  // Sets the program up: the main dialog with its port list, and the
  // simulated reader with its window beside the dialog when asked for.  The
  // dialog is not modal: both windows take input.  Returns true when the event
  // loop should run (the program then ends when the dialog ends, or at
  // "Exit"); false when the program cannot start, with `exitCode` set (1:
  // the simulated reader did not start).
  bool InitInstance(const CommandLine& commandLine, int* exitCode);

  CMainDialog* MainDialog() const { return m_mainDialog.get(); }

 private:
#if defined(DUNMARK_WITH_SIMULATOR)
  std::unique_ptr<CSimulatedReader> m_simulatedReader;
  std::unique_ptr<CSimulatorWindow> m_simulatorWindow;
#endif
  std::unique_ptr<CMainDialog> m_mainDialog;
};
