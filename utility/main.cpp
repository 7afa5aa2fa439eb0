// Dunmark: the setup and test dialog for the serial card reader.
#include "utility_app.h"

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  CommandLine commandLine;
  int exitCode = 0;
  if (!CUtilityApp::ParseCommandLine(arguments, &commandLine, &exitCode)) return exitCode;

  CUtilityApp app(argc, argv);
  if (!app.InitInstance(commandLine, &exitCode)) return exitCode;
  return app.exec();
}
