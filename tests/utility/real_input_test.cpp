// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// `dunmark --simulate` as a person uses it, on a real X server (on_xvfb.sh
// starts one): every press is a mouse click that goes through the window
// system (xdotool's fake input), so a window that a modal window blocks
// ignores it, as it ignores a person's click; a press through QTest or an
// accessibility action would pass.  And the windows stand where the X
// platform puts them.
#include <QAbstractItemView>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScreen>
#include <QStyleOptionButton>
#include <QWindow>

#include <cstdio>
#include <functional>
#include <optional>
#include <vector>

#include "dialog_harness.h"
#include "dunmark_resources.h"
#include "utility_app.h"

#if defined(DUNMARK_WITH_SIMULATOR)
#include "korvel_sim.h"
#include "simulator_window.h"

namespace {

QString Text(const QRect& r) {
  return QStringLiteral("%1,%2 %3x%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// One step of a flow: it waits until `ready` holds, then acts.  `act`
// returns why it could not act, or nothing.
struct Step {
  QString waitsFor;
  std::function<bool()> ready;
  std::function<QString()> act;
};

// Runs the steps in order, each waiting up to `limitMs`.  They are polled from
// a timer, so they also run inside the event loops of the message boxes and
// menus the clicks open.  Returns what went wrong, or nothing.
QString Run(const std::vector<Step>& steps, int limitMs = 30000) {
  size_t next = 0;
  QString failure;
  QElapsedTimer waited;
  waited.start();
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!failure.isEmpty()) {
      // Close the boxes and menus the flow left open, so that the loops
      // under this one end.
      if (QWidget* popup = QApplication::activePopupWidget()) {
        popup->close();
      } else if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->close();
      } else {
        loop.quit();
      }
      return;
    }
    if (next == steps.size()) {
      loop.quit();
      return;
    }
    const Step& step = steps[next];
    if (!step.ready()) {
      if (waited.elapsed() > limitMs) {
        const auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        failure = QStringLiteral("still waiting for %1 (a box up: %2)")
                      .arg(step.waitsFor, box != nullptr ? box->text() : QStringLiteral("none"));
      }
      return;
    }
    if (step.act) failure = step.act();
    ++next;
    waited.restart();
  });
  poll.start(20);
  loop.exec();
  if (failure.isEmpty() && next < steps.size())
    failure = QStringLiteral("the event loop ended before %1").arg(steps[next].waitsFor);
  return failure;
}

// Runs xdotool with `arguments`; returns its output by "NAME=value" lines.
QHash<QString, QString> Xdotool(const QStringList& arguments, QString* error) {
  QProcess xdotool;
  xdotool.start(QStringLiteral("xdotool"), arguments);
  QHash<QString, QString> values;
  if (!xdotool.waitForFinished(30000) || xdotool.exitStatus() != QProcess::NormalExit ||
      xdotool.exitCode() != 0) {
    *error =
        QStringLiteral("xdotool %1 failed: %2")
            .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(xdotool.readAllStandardError()));
    return values;
  }
  for (const QString& line :
       QString::fromLocal8Bit(xdotool.readAllStandardOutput()).split(QLatin1Char('\n'))) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (equals > 0) values.insert(line.left(equals), line.mid(equals + 1));
  }
  return values;
}

// Clicks mouse `button` (1 the left, 3 the right) at `at` inside `widget`
// (its centre by default).  Fails when another window covers the place.
QString Click(QWidget* widget, std::optional<QPoint> at = {}, int button = 1) {
  const QPoint p = widget->mapToGlobal(at.value_or(widget->rect().center()));
  QString error;
  const QHash<QString, QString> under =
      Xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
               QStringLiteral("getmouselocation"), QStringLiteral("--shell"), QStringLiteral("click"),
               QString::number(button)},
              &error);
  if (!error.isEmpty()) return error;
  if (under.value(QStringLiteral("WINDOW")).toULongLong() != widget->window()->winId()) {
    return QStringLiteral("%1,%2 in \"%3\" is under another window")
        .arg(p.x())
        .arg(p.y())
        .arg(widget->window()->windowTitle());
  }
  return {};
}

// The window's place as the X server has it.
QRect ServerGeometry(QWidget* window) {
  QString error;
  const QHash<QString, QString> g = Xdotool(
      {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), QString::number(window->winId())},
      &error);
  if (!error.isEmpty()) qWarning("%s", qPrintable(error));
  return QRect(g.value(QStringLiteral("X")).toInt(), g.value(QStringLiteral("Y")).toInt(),
               g.value(QStringLiteral("WIDTH")).toInt(), g.value(QStringLiteral("HEIGHT")).toInt());
}

// Shown on the screen and taking clicks.
bool Clickable(const QWidget* widget) {
  const QWindow* window = widget != nullptr ? widget->window()->windowHandle() : nullptr;
  return window != nullptr && window->isExposed() && widget->isVisible() && widget->isEnabled();
}

// The message box the dialog shows, once it is on the screen.
QMessageBox* ShownBox() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  return Clickable(box) ? box : nullptr;
}

bool BoxSays(const char* text) {
  const QMessageBox* box = ShownBox();
  return box != nullptr && box->text() == QLatin1String(text);
}

QString ClickOk() {
  return Click(ShownBox()->button(QMessageBox::Ok));
}

}  // namespace

class RealInputTest : public QObject {
  Q_OBJECT

 public:
  explicit RealInputTest(CUtilityApp& app) : m_dialog(*app.MainDialog()) {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* simulator = qobject_cast<CSimulatorWindow*>(window)) m_simulator = simulator;
    }
    if (m_simulator == nullptr) qFatal("no \"Simulated reader\" window");
  }

 private:
  static constexpr char kProbed[] = "Successful test to brush card slot !";
  static constexpr char kActive[] = "Setting Active Mode Success !";
  static constexpr char kOpenFailed[] = "Open Com Fail!";

  QPushButton* DialogButton(int id) { return harness::Button(m_dialog, id); }
  QPushButton* SimulatorButton(const char* text) {
    for (QPushButton* button : m_simulator->findChildren<QPushButton*>()) {
      if (button->text() == QLatin1String(text)) return button;
    }
    qFatal("no \"%s\" button", text);
  }
  QComboBox* CardList() {
    for (QComboBox* box : m_simulator->findChildren<QComboBox*>()) {
      if (box->accessibleName() == QLatin1String("Card")) return box;
    }
    qFatal("no card list");
  }
  QString DataField() { return harness::Control<QPlainTextEdit>(m_dialog, 1026)->toPlainText(); }
  bool PortOpen() { return !DialogButton(1002)->isEnabled() && DialogButton(1003)->isEnabled(); }

  CMainDialog& m_dialog;
  CSimulatorWindow* m_simulator = nullptr;

 private slots:
  // Open the port, active mode, pick a card in the simulator window and
  // swipe it into the data field; hang the line up there, try to open the
  // port while it is down and plug the reader back in while that message box
  // is up; open the port again.
  void swipeHangUpAndPlugInWithTheMouse() {
    constexpr int kCard = 1;
    const korvel::sim::ReaderModel model;
    const std::vector<uint8_t> bytes = model.TrackBytes(korvel::sim::SampleCards().at(kCard));
    const QString swiped = dunmark::ReaderText(bytes.data(), bytes.size());
    QPushButton* openCom = DialogButton(1002);
    QPushButton* swipe = SimulatorButton("Swipe");
    QPushButton* plugIn = SimulatorButton("Plug in");
    QComboBox* cards = CardList();
    QAbstractItemView* list = cards->view();

    const QString failure = Run({
        {"both windows on the screen", [&] { return Clickable(openCom) && Clickable(swipe); },
         [&] { return Click(openCom); }},
        {"the probe's box", [&] { return BoxSays(kProbed); }, ClickOk},
        {"the port open", [&] { return !ShownBox() && PortOpen(); },
         [&] { return Click(DialogButton(1006)); }},
        {"the active mode box", [&] { return BoxSays(kActive); }, ClickOk},
        {"the poll timer", [&] { return !ShownBox() && m_dialog.IsPollTimerRunning(); },
         [&] { return Click(cards); }},
        {"the card list dropped down", [&] { return Clickable(list); },
         [&] { return Click(list->viewport(), list->visualRect(cards->model()->index(kCard, 0)).center()); }},
        {"the card picked", [&] { return cards->currentIndex() == kCard && !list->isVisible(); },
         [&] { return Click(swipe); }},
        {"the swipe in the data field", [&] { return DataField() == swiped; },
         [&] { return Click(SimulatorButton("Hang up")); }},
        {"the dialog seeing the reader gone",
         [&] { return Clickable(openCom) && !m_dialog.IsPollTimerRunning() && Clickable(plugIn); },
         [&] { return Click(openCom); }},
        {"the box saying the port did not open", [&] { return BoxSays(kOpenFailed); },
         [&] { return Click(plugIn); }},
        {"the reader plugged in while the box is up",
         [&] { return ShownBox() != nullptr && !plugIn->isEnabled() && swipe->isEnabled(); }, ClickOk},
        {"the box closed", [&] { return !ShownBox() && Clickable(openCom); }, [&] { return Click(openCom); }},
        {"the probe's box again", [&] { return BoxSays(kProbed); }, ClickOk},
        {"the port open again", [&] { return !ShownBox() && PortOpen(); }, nullptr},
    });
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
  }

  // The "Card" window, opened from the dialog's menu with the dialog at the
  // bottom left of the screen (where a window centred on the dialog, as
  // window managers place one, runs off the bottom), opens inside the
  // screen's available area, beside the dialog, and takes clicks.
  void cardWindowOpensBesideTheDialog() {
    const QRect area = m_dialog.screen()->availableGeometry();
    const QPoint bottomLeft(area.left(), area.bottom() + 1 - m_dialog.frameGeometry().height());
    m_dialog.move(bottomLeft);
    QMenu* menu = nullptr;
    QCheckBox* reveal = nullptr;
    QRect placed;
    const QString failure = Run({
        {"the dialog at the bottom", [&] { return ServerGeometry(&m_dialog).topLeft() == bottomLeft; },
         // An empty place of the dialog, at its bottom right.
         [&] { return Click(&m_dialog, QPoint(m_dialog.width() - 6, m_dialog.height() - 6), 3); }},
        {"the dialog's menu",
         [&] {
           menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
           return Clickable(menu);
         },
         [&] {
           for (QAction* action : menu->actions()) {
             if (action->text() == dunmark::res::kCardMenuItem)
               return Click(menu, menu->actionGeometry(action).center());
           }
           return QStringLiteral("no \"Card\" item in the menu");
         }},
        {"the \"Card\" window",
         [&] {
           CCardWindow* card = m_dialog.CardWindow();
           if (card == nullptr || !Clickable(card)) return false;
           reveal = card->findChild<QCheckBox*>();
           placed = ServerGeometry(card);
           return true;
         },
         [&] {
           QStyleOptionButton option;
           option.initFrom(reveal);
           return Click(
               reveal,
               reveal->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, reveal).center());
         }},
        {"\"Reveal\" ticked", [&] { return m_dialog.CardWindow()->IsRevealed(); }, nullptr},
    });
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const QRect dialog = ServerGeometry(&m_dialog);
    QVERIFY2(area.contains(placed) && !placed.intersects(dialog),
             qPrintable(QStringLiteral("the window at %1, the dialog at %2, the screen's area %3")
                            .arg(Text(placed), Text(dialog), Text(area))));
    m_dialog.CardWindow()->close();
  }
};

int main(int argc, char** argv) {
  if (qgetenv("QT_QPA_PLATFORM") != "xcb" || qEnvironmentVariableIsEmpty("DISPLAY")) {
    std::fputs("real_input_test: run it on an X server: on_xvfb.sh WIDTHxHEIGHT real_input_test\n", stderr);
    return 2;
  }
  harness::PrepareEnvironment();
  CUtilityApp app(argc, argv);
  CommandLine commandLine;
  commandLine.simulate = true;
  int exitCode = 0;
  if (!app.InitInstance(commandLine, &exitCode)) return exitCode;
  RealInputTest test(app);
  const int failed = QTest::qExec(&test, argc, argv);
  // The program leaves its port to the process; the test tidies up.
  if (app.MainDialog()->PortHandle() != nullptr) Korvel_CommClose(app.MainDialog()->PortHandle());
  app.MainDialog()->PortHandle() = nullptr;
  return failed;
}

#include "real_input_test.moc"

#else

int main() {
  std::puts("SKIPPED: this build has no simulated reader (dunmark --simulate)");
  return 77;
}

#endif  // DUNMARK_WITH_SIMULATOR
