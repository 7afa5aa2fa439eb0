// Dunmark: the setup and test dialog for the serial card reader.
#include "utility_app.h"

int main(int argc, char** argv) {
  CUtilityApp app(argc, argv);
  int exitCode = 0;
  app.InitInstance(&exitCode);
  return exitCode;
}
