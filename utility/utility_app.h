// The application object: reads the command line, builds the port list,
// runs the main dialog modally and ends the program when the dialog ends.
#pragma once

#include <QApplication>
#include <QStringList>

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

  CUtilityApp(int& argc, char** argv);
  ~CUtilityApp() override;

  // Runs the whole program.  Returns false, as the program ends with the
  // dialog; `exitCode` is 0, or 1 when the simulated reader could not start.
  bool InitInstance(const CommandLine& commandLine, int* exitCode);
};
