// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The Qt face of the dialog against the simulated reader: what only Qt can
// get wrong.  Its boxes (title, text, icon, the reason in the details), the
// list items it takes, its event loop running while a library call waits,
// and how "Exit" ends the program.  What each press does after the reader's
// answer is the controller's table (controller_test.cpp).
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
  // Each box has the core's title, text and icon and one button; a failure
  // gives the library's reason in the details, a success none.
  void boxesShowTitleTextIconAndReason() {
    harness::ReaderDesk desk;
    desk.dialog->AddPortName(QStringLiteral("/nonexistent/ttyUSB9"));
    Box box = desk.Press(1002);
    QCOMPARE(box.text, kOpenFail);
    QCOMPARE(box.title, QStringLiteral("Error："));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, 1);
    QCOMPARE(box.details, QStringLiteral("/nonexistent/ttyUSB9: No such file or directory."));

    // A device the user may not open: the details say what to do.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyUSB0"));
    QFile device(path);
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    desk.dialog->AddPortName(path);
    box = desk.Press(1002);
    if (::geteuid() != 0)  // root may open every device
      QVERIFY2(box.details.startsWith(QStringLiteral("Permission denied for ") + path),
               qPrintable(box.details));

    desk.dialog->AddPortName(QString::fromStdString(desk.reader->path()));
    box = desk.Press(1002);
    QCOMPARE(box.text, QStringLiteral("Successful test to brush card slot !"));
    QCOMPARE(box.title, QStringLiteral("Tips："));
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(box.details, QString());

    korvel::sim::FaultSettings refuse;
    refuse.fault = Fault::kRefuse;
    refuse.error_byte = 0x2A;
    desk.reader->SetFault(refuse);
    box = desk.Press(1009);
    QCOMPARE(box.text, QStringLiteral("Set baud rate fail!"));
    QCOMPARE(box.title, QStringLiteral("Error："));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.details, QStringLiteral("The reader refused the command with error byte 0x2A (42)."));
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

  // The library's wait runs Qt's event loop: a click, a screen reader's
  // press and the close box that come meanwhile reach the controller, which
  // holds them back and delivers them in order afterwards (a press on a
  // button disabled meanwhile does nothing).
  void whatArrivesDuringAWaitIsDeliveredAfterwards() {
    harness::ReaderDesk desk;
    desk.SetFault(Fault::kSlow, 1000);  // each reply; a screen reader's press takes 100 ms
    QTimer::singleShot(100, [&] {
      QVERIFY(desk.dialog->IsWaiting());
      desk.button(1002)->click();  // a second "Open Com" during the probe
    });
    desk.Open();

    auto press = [](QWidget* button) {
      QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(button);
      QVERIFY(accessible != nullptr && accessible->actionInterface() != nullptr);
      accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    };
    bool visibleAfterClose = false;
    QTimer::singleShot(100, [&] {
      QVERIFY(desk.dialog->IsWaiting());
      press(desk.button(1005));  // "Get Version"
      press(desk.button(1003));  // "Close Com"
      desk.dialog->close();
      visibleAfterClose = desk.dialog->isVisible();
    });
    desk.button(1008)->click();  // "Serch Mode"
    QList<Box> seen;
    QTRY_VERIFY_WITH_TIMEOUT((seen += desk.boxes.Take(), !desk.dialog->isVisible()), 10000);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].text, QStringLiteral("\"Command Mode\"\r\n\r\n"));
    QCOMPARE(seen[1].text, QStringLiteral("MSR-3T V2.10"));
    QVERIFY(visibleAfterClose);
    QCOMPARE(desk.dialog->result(), int(QDialog::Rejected));
    QVERIFY(desk.dialog->PortHandle() == nullptr);  // "Close Com" came before the end
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
