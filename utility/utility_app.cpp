#include "utility_app.h"

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
    const int left =
        std::max(area.left(), std::min(frame.left(), area.right() + 1 - frame.width() - kGap - size.width()));
    first.move(left, frame.top());
    second.move(left + frame.width() + kGap, frame.top());
  } else if (frame.height() + kGap + size.height() <= area.height()) {
    const int top = std::max(
        area.top(), std::min(frame.top(), area.bottom() + 1 - frame.height() - kGap - size.height()));
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
  auto fail = [exitCode](const QString& message) {
    std::fprintf(stderr, "dunmark: %s\nTry 'dunmark --help'.\n", qPrintable(message));
    *exitCode = 2;
    return false;
  };
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
      std::fputs(kUsage, stdout);
      return false;
    }
    if (argument == QLatin1String("-v") || argument == QLatin1String("--version")) {
      std::printf("dunmark %s\n", qPrintable(dunmark::res::kVersion));
      return false;
    }
    if (argument == QLatin1String("--simulate")) {
      commandLine->simulate = true;
    } else if (argument == QLatin1String("--port")) {
      if (i + 1 >= arguments.size() || arguments[i + 1].isEmpty())
        return fail(QStringLiteral("--port needs a device path"));
      commandLine->ports << arguments[++i];
    } else if (argument.startsWith(QLatin1String("--port="))) {
      const QString path = argument.mid(7);
      if (path.isEmpty()) return fail(QStringLiteral("--port needs a device path"));
      commandLine->ports << path;
    } else {
      return fail(QStringLiteral("unknown argument '%1'").arg(argument));
    }
  }
#if !defined(DUNMARK_WITH_SIMULATOR)
  if (commandLine->simulate) {
    std::fprintf(stderr, "dunmark: this build has no simulated reader (--simulate)\n");
    *exitCode = 2;
    return false;
  }
#endif
  return true;
}

bool CUtilityApp::InitInstance(const CommandLine& commandLine, int* exitCode) {
  *exitCode = 0;
  setFont(dunmark::DialogFont());

  CMainDialog dialog;
  for (const QString& device : dunmark::DiscoverSerialDevices()) dialog.AddPortName(device, false);
  for (const QString& path : commandLine.ports) dialog.AddPortName(path);

#if defined(DUNMARK_WITH_SIMULATOR)
  std::unique_ptr<CSimulatorWindow> simulatorWindow;
  if (commandLine.simulate) {
    std::string error;
    g_simulatedReader = korvel::sim::PtyReader::Start({}, &error);
    if (!g_simulatedReader) {
      std::fprintf(stderr, "dunmark: the simulated reader did not start: %s\n", error.c_str());
      *exitCode = 1;
      return false;
    }
    dialog.AddPortName(QString::fromStdString(g_simulatedReader->path()));
    simulatorWindow = std::make_unique<CSimulatorWindow>(*g_simulatedReader);
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
