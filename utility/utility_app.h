// The application object: reads the command line, builds the port list,
// runs the main dialog modally and ends the program when the dialog ends.
#pragma once

#include <QApplication>

class CUtilityApp : public QApplication {
  Q_OBJECT

 public:
  CUtilityApp(int& argc, char** argv);
  ~CUtilityApp() override;

  // Runs the whole program.  Returns false, as the program ends with the
  // dialog; `exitCode` is 0, or 2 for a command-line error, 1 when the
  // simulated reader could not start.
  bool InitInstance(int* exitCode);
};
