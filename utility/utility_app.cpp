#include "utility_app.h"

#include <QCommandLineParser>
#include <QScreen>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "dunmark_logic.h"
#include "dunmark_resources.h"
#include "main_dialog.h"

#if defined(DUNMARK_WITH_SIMULATOR)
#include "korvel_sim.h"
#include "simulator_window.h"
#endif

namespace {

#if defined(DUNMARK_WITH_SIMULATOR)
// Program-wide so that the reader's thread is stopped cleanly also when
// "Exit" ends the process without returning here.
std::unique_ptr<korvel::sim::PtyReader> g_simulatedReader;
#endif

// Puts `second` beside `first`: to its right, else below, else to its left,
// moving `first` over when that makes the pair fit on the screen.
void PlaceBeside(QWidget& first, QWidget& second) {
  second.adjustSize();
  const QScreen* screen = first.screen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  const QRect frame = first.frameGeometry();
  const QSize size = second.frameGeometry().size();
  constexpr int kGap = 12;
  if (frame.width() + kGap + size.width() <= area.width()) {
    const int left = std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width() - kGap - size.width()));
    first.move(left, frame.top());
    second.move(left + frame.width() + kGap, frame.top());
  } else if (frame.height() + kGap + size.height() <= area.height()) {
    const int top = std::max(area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height() - kGap - size.height()));
    first.move(frame.left(), top);
    second.move(frame.left(), top + frame.height() + kGap);
  } else {
    second.move(std::max(area.left(), area.right() + 1 - size.width()), area.top());
  }
}

}  // namespace

CUtilityApp::CUtilityApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Dunmark"));
  setApplicationVersion(dunmark::res::kVersion);
  setWindowIcon(dunmark::res::AppIcon());
}

CUtilityApp::~CUtilityApp() = default;

bool CUtilityApp::InitInstance(int* exitCode) {
  *exitCode = 0;
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Setup and test dialog for the serial magnetic-stripe card reader.\n"
      "The port list holds com1 to com8 (comN is /dev/ttyS{N-1}) and the serial\n"
      "devices present (/dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*)."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption portOption(QStringList{QStringLiteral("port")},
                                      QStringLiteral("Add the device <path> to the port list and select it."),
                                      QStringLiteral("path"));
  const QCommandLineOption simulateOption(
      QStringList{QStringLiteral("simulate")},
      QStringLiteral("Start a simulated reader on a pseudo-terminal, select its port and open a window "
                     "to swipe sample cards and switch faults."));
  parser.addOption(portOption);
  parser.addOption(simulateOption);
  if (!parser.parse(arguments())) {
    std::fprintf(stderr, "dunmark: %s\n%s", qPrintable(parser.errorText()), qPrintable(parser.helpText()));
    *exitCode = 2;
    return false;
  }
  if (parser.isSet(QStringLiteral("help"))) parser.showHelp(0);
  if (parser.isSet(QStringLiteral("version"))) parser.showVersion();
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "dunmark: unexpected argument '%s'\n%s", qPrintable(parser.positionalArguments().first()),
                 qPrintable(parser.helpText()));
    *exitCode = 2;
    return false;
  }

  setFont(dunmark::DialogFont());

  CMainDialog dialog;
  for (const QString& device : dunmark::DiscoverSerialDevices()) dialog.AddPort(device, false);
  for (const QString& path : parser.values(portOption)) dialog.AddPort(path);

#if defined(DUNMARK_WITH_SIMULATOR)
  std::unique_ptr<CSimulatorWindow> simulatorWindow;
  if (parser.isSet(simulateOption)) {
    std::string error;
    g_simulatedReader = korvel::sim::PtyReader::Start({}, &error);
    if (!g_simulatedReader) {
      std::fprintf(stderr, "dunmark: the simulated reader did not start: %s\n", error.c_str());
      *exitCode = 1;
      return false;
    }
    dialog.AddPort(QString::fromStdString(g_simulatedReader->path()));
    simulatorWindow = std::make_unique<CSimulatorWindow>(*g_simulatedReader);
  }
#else
  if (parser.isSet(simulateOption)) {
    std::fprintf(stderr, "dunmark: this build has no simulated reader (--simulate)\n");
    *exitCode = 2;
    return false;
  }
#endif

  dialog.show();
#if defined(DUNMARK_WITH_SIMULATOR)
  if (simulatorWindow) {
    PlaceBeside(dialog, *simulatorWindow);
    simulatorWindow->show();
  }
#endif
  dialog.exec();
  return false;
}
