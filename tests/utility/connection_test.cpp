// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The connection panel against the simulated reader: Open Com and its probe,
// Close Com, Baud Choose and Exit, with their boxes and button states.
#include <QAccessible>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

#include "dialog_harness.h"

using harness::Box;
using harness::Control;
using korvel::sim::Fault;

namespace {

const QString kOpenFail = QStringLiteral("Open Com Fail!");

// Which of "Open Com" and "Close Com" are enabled, as "open/close".
QString Buttons(harness::ReaderDesk& desk) {
  return QStringLiteral("%1/%2").arg(desk.button(1002)->isEnabled()).arg(desk.button(1003)->isEnabled());
}
const QString kClosedState = QStringLiteral("1/0");
const QString kOpenState = QStringLiteral("0/1");

// Picks an item of a combo box's list, as the user does.
void Select(QWidget& dialog, int id, const QString& item) {
  auto* box = Control<QComboBox>(dialog, id);
  const int index = box->findText(item);
  QVERIFY(index >= 0);
  box->setCurrentIndex(index);
  emit box->activated(index);
}

// Types over the selection of a combo box's edit field.
void TypeInto(QWidget& dialog, int id, const QString& text) {
  auto* box = Control<QComboBox>(dialog, id);
  box->lineEdit()->selectAll();
  QTest::keyClicks(box->lineEdit(), text);
}

}  // namespace

class ConnectionTest : public QObject {
  Q_OBJECT

 private slots:
  void openFailsOnAPortThatIsNotThere() {
    harness::ReaderDesk desk;
    desk.dialog->AddPortName(QStringLiteral("/nonexistent/ttyUSB9"));
    const Box box = desk.Press(1002);
    QCOMPARE(box.text, kOpenFail);
    QCOMPARE(box.title, QStringLiteral("Error："));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, 1);
    QCOMPARE(box.details, QStringLiteral("/nonexistent/ttyUSB9: No such file or directory."));
    QVERIFY(desk.dialog->PortHandle() == nullptr);
    QCOMPARE(Buttons(desk), kClosedState);
  }

  void openUsesOnlyTheSelectedListItems() {
    harness::ReaderDesk desk;
    TypeInto(*desk.dialog, 1001, QStringLiteral("9600"));  // typed, not picked: rate 0
    QCOMPARE(desk.Press(1002).text, kOpenFail);

    Select(*desk.dialog, 1001, QStringLiteral("9600"));
    TypeInto(*desk.dialog, 1000, QString::fromStdString(desk.reader->path()));  // typed: no port name
    QCOMPARE(desk.Press(1002).text, kOpenFail);
    QVERIFY(desk.dialog->PortHandle() == nullptr);
  }

  void openExplainsAMissingGroupMembership() {
    if (::geteuid() == 0) QSKIP("root may open every device");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyUSB0"));
    QFile device(path);
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    harness::ReaderDesk desk;
    desk.dialog->AddPortName(path);
    const Box box = desk.Press(1002);
    QCOMPARE(box.text, kOpenFail);
    QVERIFY2(box.details.startsWith(QStringLiteral("Permission denied for ") + path),
             qPrintable(box.details));
  }

  void openWithAReaderSucceedsAfterItsBox() {
    harness::ReaderDesk desk;
    QString buttonsDuringBox;
    desk.boxes.onBox = [&](const Box&) { buttonsDuringBox = Buttons(desk); };
    const Box box = desk.Press(1002);
    QCOMPARE(box.text, QStringLiteral("Successful test to brush card slot !"));
    QCOMPARE(box.title, QStringLiteral("Tips："));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(buttonsDuringBox, kClosedState);
    QCOMPARE(Buttons(desk), kOpenState);
    QVERIFY(desk.dialog->PortHandle() != nullptr);
  }

  // Slow: waits for the library's 3000 ms reply timeout.
  void openWithoutAReaderClosesThePortAgain() {
    harness::ReaderDesk desk;
    desk.SetFault(Fault::kSilent);
    const Box box = desk.Press(1002);
    QCOMPARE(box.text, QStringLiteral("No detection to brush card slot !"));
    QCOMPARE(box.title, QStringLiteral("Tips："));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(Buttons(desk), kClosedState);
    QVERIFY(desk.dialog->PortHandle() == nullptr);
    // The port is free again: an exclusive open succeeds.
    void* again = Korvel_CommOpenWithBaud(desk.reader->path().c_str(), 9600);
    QVERIFY(again != nullptr);
    Korvel_CommClose(again);
  }

  void aSecondOpenCannotStartDuringTheProbe() {
    harness::ReaderDesk desk;
    desk.SetFault(Fault::kSlow, 600);
    bool secondClickDone = false;
    QTimer::singleShot(100, [&] {
      desk.button(1002)->click();
      secondClickDone = true;
    });
    const Box box = desk.Press(1002);
    QVERIFY(secondClickDone);
    QCOMPARE(box.text, QStringLiteral("Successful test to brush card slot !"));
    QCOMPARE(Buttons(desk), kOpenState);
    QVERIFY(desk.dialog->PortHandle() != nullptr);
    // The port still answers through the dialog's handle.
    desk.SetFault(Fault::kNone);
    unsigned char mode[10] = {};
    QCOMPARE(Korvel_Search(desk.dialog->PortHandle(), mode), KORVEL_OK);
  }

  void baudChooseChangesTheReaderAndClosesThePort() {
    harness::ReaderDesk desk;
    desk.Open();
    Select(*desk.dialog, 1010, QStringLiteral("19200"));
    QString stateDuringBox;
    desk.boxes.onBox = [&](const Box&) {
      stateDuringBox = Buttons(desk) + (desk.dialog->PortHandle() == nullptr ? " closed" : " open");
    };
    const Box box = desk.Press(1009);
    QCOMPARE(box.text, QStringLiteral("Set baud rate success!"));
    QCOMPARE(box.title, QStringLiteral("Success："));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(stateDuringBox, kClosedState + " closed");
    QCOMPARE(desk.reader->State().baud, 19200u);
    QCOMPARE(Control<QComboBox>(*desk.dialog, 1001)->currentText(), QStringLiteral("9600"));

    // The user picks the new rate and opens again.
    desk.boxes.onBox = nullptr;
    Select(*desk.dialog, 1001, QStringLiteral("19200"));
    desk.Open();
    QCOMPARE(Buttons(desk), kOpenState);
  }

  void baudChooseFailuresChangeNothing() {
    harness::ReaderDesk desk;
    Box box = desk.Press(1009);  // no port open
    QCOMPARE(box.text, QStringLiteral("Set baud rate fail!"));
    QCOMPARE(box.title, QStringLiteral("Error："));
    QCOMPARE(box.icon, QMessageBox::Critical);

    desk.Open();
    void* handle = desk.dialog->PortHandle();
    desk.SetFault(Fault::kRefuse);
    QCOMPARE(desk.Press(1009).text, QStringLiteral("Set baud rate fail!"));
    desk.SetFault(Fault::kNone);
    TypeInto(*desk.dialog, 1010, QStringLiteral("19200"));  // typed: rate 0, refused by the library
    QCOMPARE(desk.Press(1009).text, QStringLiteral("Set baud rate fail!"));
    QCOMPARE(Buttons(desk), kOpenState);
    QVERIFY(desk.dialog->PortHandle() == handle);
    QCOMPARE(desk.reader->State().baud, 9600u);
  }

  // The window's close button pressed while a call waits: the dialog stays
  // until the handler is over, then closes.
  void closeButtonDuringAWaitIsHonouredAfterwards() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.SetFault(Fault::kSlow, 500);
    bool visibleAfterClose = false;
    QTimer::singleShot(100, [&] {
      QVERIFY(desk.dialog->IsWaiting());
      desk.dialog->close();
      visibleAfterClose = desk.dialog->isVisible();
    });
    QCOMPARE(desk.Press(1008).text, QStringLiteral("\"Command Mode\"\r\n\r\n"));
    QVERIFY(visibleAfterClose);
    QTRY_VERIFY(!desk.dialog->isVisible());
    QCOMPARE(desk.dialog->result(), int(QDialog::Rejected));
  }

  // A screen reader's press during a wait is delivered once the handler is
  // over, like a held-back click, in the order the presses came.
  void accessiblePressesDuringAWaitAreDeliveredAfterwards() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.SetFault(Fault::kSlow, 500);
    auto press = [](QWidget* button) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
      QVERIFY(accessible != nullptr && accessible->actionInterface() != nullptr);
      accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    };
    QTimer::singleShot(100, [&] {
      QVERIFY(desk.dialog->IsWaiting());
      press(desk.button(1005));  // "Get Version"
      press(desk.button(1003));  // "Close Com"
      desk.SetFault(Fault::kNone);
    });
    desk.button(1008)->click();  // "Serch Mode"
    QList<Box> seen;
    QTRY_VERIFY_WITH_TIMEOUT(
        (seen += desk.boxes.Take(), seen.size() >= 2 && desk.dialog->PortHandle() == nullptr), 5000);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].text, QStringLiteral("\"Command Mode\"\r\n\r\n"));
    QCOMPARE(seen[1].text, QStringLiteral("MSR-3T V2.10"));
    QCOMPARE(Buttons(desk), kClosedState);
  }

  // A reader that went away: the failure box says so, then the port is
  // closed and "Open Com" works again once the reader is back.
  void aReaderThatWentAwayLeavesTheDialogClosed() {
    QTemporaryDir dir;
    korvel::sim::Options options;
    options.link_path = dir.filePath(QStringLiteral("reader")).toStdString();
    harness::ReaderDesk desk(options);
    desk.Open();
    desk.reader->HangUp();
    const Box box = desk.Press(1005);
    QCOMPARE(box.text, QStringLiteral("Get Version Fail"));
    QVERIFY2(box.details.contains(QLatin1String("disconnected")), qPrintable(box.details));
    QVERIFY(desk.dialog->PortHandle() == nullptr);
    QCOMPARE(Buttons(desk), kClosedState);

    desk.reader.reset();                                   // unplugged (its link goes with it) ...
    desk.reader = korvel::sim::PtyReader::Start(options);  // ... and plugged in again, on a new line
    QVERIFY(desk.reader != nullptr);
    desk.Open();
    QCOMPARE(Buttons(desk), kOpenState);
  }

  // Every failure box keeps its text, title and icon, and gives the reason
  // in its details.
  void failureBoxesSayWhy() {
    harness::ReaderDesk desk;
    desk.Open();
    korvel::sim::FaultSettings refuse;
    refuse.fault = Fault::kRefuse;
    refuse.error_byte = 0x2A;
    desk.reader->SetFault(refuse);
    Box box = desk.Press(1009);
    QCOMPARE(box.text, QStringLiteral("Set baud rate fail!"));
    QCOMPARE(box.details, QStringLiteral("The reader refused the command with error byte 0x2A (42)."));
    desk.SetFault(Fault::kNoise);
    box = desk.Press(1020);
    QCOMPARE(box.title, QStringLiteral("Error："));
    QVERIFY2(box.details.startsWith(QLatin1String("Malformed reply")), qPrintable(box.details));
    desk.SetFault(Fault::kNone);
    QVERIFY(desk.Press(1008).details.isEmpty());  // successes have none
  }

  void exitEndsTheProcessAtOnce() {
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(DUNMARK_EXIT_PROBE), QStringList());
    QVERIFY(probe.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(probe.readAllStandardOutput());
    QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
    QCOMPARE(probe.exitCode(), 0);
    QCOMPARE(output, QStringLiteral(
                         "box: Successful test to brush card slot !\n"
                         "ended with 0, dialog not finished, port open, 0 byte(s) sent after the probe\n"));
  }
};

DUNMARK_TEST_MAIN(ConnectionTest)
#include "connection_test.moc"
