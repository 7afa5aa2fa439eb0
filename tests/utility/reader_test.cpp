// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The reader panel against the simulated reader: the mode, query, version
// and settings buttons, reading card data, and the active-mode poll timer.
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <optional>

#include "dialog_harness.h"
#include "gbk_text_and_geometry.h"
#include "simulated_reader.h"

using harness::Box;
using harness::Control;
using korvel::sim::Fault;

namespace {

const QString kInformation = QStringLiteral("Information：");

// What the data field shows for one swipe of sample card `index` with the
// reader's start-up settings.
QString Swiped(size_t index) {
  const korvel::sim::ReaderModel model;
  const std::vector<uint8_t> bytes = model.TrackBytes(korvel::sim::SampleCards().at(index));
  return dunmark::ReaderText(bytes.data(), bytes.size());
}

QByteArray Settings(const korvel::sim::ReaderState& state) {
  return QByteArray(reinterpret_cast<const char*>(state.track_settings.data()), 8);
}

// Waits (spinning the event loop, so the poll timer runs) for the field.
#define WAIT_FOR_FIELD(desk, expected) QTRY_COMPARE_WITH_TIMEOUT((desk).DataField(), (expected), 4000)

}  // namespace

class ReaderTest : public QObject {
  Q_OBJECT

 private slots:
  void getVersionShowsTheIdentificationText() {
    korvel::sim::Options options;
    options.identification = "\xD6\xD0\xCE\xC4 MSR V2";  // code page 936
    harness::ReaderDesk desk(options);
    desk.Open();
    Box box = desk.Press(1005);
    QCOMPARE(box.text, QStringLiteral("中文 MSR V2"));
    QCOMPARE(box.title, kInformation);
    QCOMPARE(box.icon, QMessageBox::Information);

    desk.SetFault(Fault::kRefuse);
    box = desk.Press(1005);
    QCOMPARE(box.text, QStringLiteral("Get Version Fail"));
    QCOMPARE(box.title, kInformation);
    QCOMPARE(box.icon, QMessageBox::Critical);
  }

  void getVersionWithAnEmptyText() {
    korvel::sim::Options options;
    options.identification.clear();
    harness::ReaderDesk desk(options);
    desk.Open();
    const Box box = desk.Press(1005);
    QCOMPARE(box.text, QString());
    QCOMPARE(box.icon, QMessageBox::Information);
  }

  void dataSettingSendsTheSentinelRecord() {
    harness::ReaderDesk desk;
    desk.Open();
    // Start from settings the reader does not have yet.
    Control<QCheckBox>(*desk.dialog, 1019)->setChecked(false);
    Box box = desk.Press(1020);
    QCOMPARE(box.text, QStringLiteral("Setting success"));
    QCOMPARE(box.title, kInformation);
    QCOMPARE(box.icon, QMessageBox::Information);
    QCOMPARE(Settings(desk.reader->State()), QByteArray("\x25\x3F\x3B\x3F\x2B\x3F\x37\x30", 8));

    Control<QCheckBox>(*desk.dialog, 1019)->setChecked(true);
    desk.Press(1020);
    QCOMPARE(Settings(desk.reader->State()), QByteArray("\x25\x3F\x3B\x3F\x2B\x3F\x37\x31", 8));

    Control<QLineEdit>(*desk.dialog, 1013)->setText(QStringLiteral("中"));  // lead byte D6
    Control<QLineEdit>(*desk.dialog, 1014)->clear();                        // 0
    Control<QLineEdit>(*desk.dialog, 1015)->setText(QStringLiteral("%B"));  // '%' only
    desk.Press(1020);
    QCOMPARE(Settings(desk.reader->State()), QByteArray("\xD6\x00%?+?71", 8));

    desk.SetFault(Fault::kRefuse);
    box = desk.Press(1020);
    QCOMPARE(box.text, QStringLiteral("Setting Failure"));
    QCOMPARE(box.title, QStringLiteral("Error："));
    QCOMPARE(box.icon, QMessageBox::Critical);
  }

  void commandReadCardFillsOrEmptiesTheField() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.reader->Swipe(1);  // command mode: held for reading
    desk.button(1021)->click();
    QCOMPARE(desk.DataField(), Swiped(1));
    QVERIFY(desk.DataField().size() > 50);  // the typing limit is not the program's
    QVERIFY(desk.DataField().contains(QLatin1Char('\n')));

    desk.SetFault(Fault::kRefuse);
    desk.button(1021)->click();
    QCOMPARE(desk.DataField(), QString());
    QVERIFY(desk.boxes.Take().isEmpty());

    Control<QPlainTextEdit>(*desk.dialog, 1026)->setPlainText(QStringLiteral("old"));
    desk.button(1022)->click();
    QCOMPARE(desk.DataField(), QString());
  }

  // Slow: runs on the one-second poll timer.
  void pollTimerCapturesSwipesUntilCommandMode() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.Press(1006);
    desk.reader->Swipe(size_t(0));
    WAIT_FOR_FIELD(desk, Swiped(0));

    // Two swipes between two ticks arrive as one text.
    desk.reader->Swipe(1);
    desk.reader->Swipe(2);
    WAIT_FOR_FIELD(desk, Swiped(1) + Swiped(2));

    // A failed "Command Mode" leaves the timer running.
    desk.SetFault(Fault::kRefuse);
    QCOMPARE(desk.Press(1007).text, QStringLiteral("Set Command Mode Failure !"));
    desk.SetFault(Fault::kNone);
    desk.reader->Swipe(3);
    WAIT_FOR_FIELD(desk, Swiped(3));

    QCOMPARE(desk.Press(1007).text, QStringLiteral("Set Command Mode Success!"));
    QVERIFY(!desk.dialog->IsPollTimerRunning());
  }

  // Slow: runs on the one-second poll timer.
  void captureShowsRawBytesWithinTheirArea() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.Press(1006);
    // Exactly 300 bytes fill the area with no terminator: shown bounded.
    desk.reader->Inject(std::vector<uint8_t>(300, 'A'));
    WAIT_FOR_FIELD(desk, QString(300, QLatin1Char('A')));
    // A zero byte ends the text; code page 936 text is decoded.
    desk.reader->Inject({0xD6, 0xD0, '1', '\r', '\n', '2', 0x00, 'X'});
    WAIT_FOR_FIELD(desk, QStringLiteral("中1\n2"));
  }

  // The "Card" window shows the last card read, decoded, masked until
  // "Reveal" is ticked; the data field is left as it was.
  void theCardWindowShowsTheLastCardMasked() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.reader->Swipe(size_t{0});  // the first sample card, read on command
    desk.button(1021)->click();
    QCOMPARE(desk.DataField(), Swiped(0));
    desk.dialog->OnShowCard();
    CCardWindow* window = desk.dialog->CardWindow();
    QVERIFY(window != nullptr && window->isVisible());
    QVERIFY(!window->IsRevealed());
    auto shown = [&] {
      QStringList texts;
      auto* tree = desk.dialog->CardWindow()->findChild<QTreeWidget*>();
      for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = tree->topLevelItem(i);
        texts << item->text(0) + " | " + item->text(1) + " | " + item->text(2);
      }
      return texts.join('\n');
    };
    const QString account = QString::fromStdString(korvel::sim::SampleCards()[0].track2.substr(0, 16));
    QString masked = shown();
    QVERIFY2(!masked.contains(account), qPrintable(masked));
    QVERIFY2(masked.contains(account.left(6) + "******" + account.right(4)), qPrintable(masked));
    QVERIFY2(masked.contains(QLatin1String("account_check_digit | pass")), qPrintable(masked));
    window->findChild<QCheckBox*>()->setChecked(true);
    QVERIFY(shown().contains(account));
    window->close();  // a window opened again starts masked
    QTRY_VERIFY(desk.dialog->CardWindow() == nullptr);
    desk.dialog->OnShowCard();
    QVERIFY(!desk.dialog->CardWindow()->IsRevealed());
    QVERIFY(!shown().contains(account));
  }

  // The simulated reader of `dunmark --simulate` can be hung up and plugged
  // in again under the same port name, and the dialog reaches it again.
  void theSimulatedReaderPlugsInAgainUnderItsName() {
    QTemporaryDir dir;
    QString error;
    auto simulated = CSimulatedReader::Start(dir.filePath(QStringLiteral("reader")), &error);
    QVERIFY2(simulated != nullptr, qPrintable(error));
    CMainDialog dialog;
    harness::BoxWatcher boxes;
    dialog.AddPortName(simulated->PortName());
    harness::Button(dialog, 1002)->click();
    QCOMPARE(boxes.TakeOne().text, QStringLiteral("Successful test to brush card slot !"));
    simulated->HangUp();
    QVERIFY(!simulated->IsPlugged());
    harness::Button(dialog, 1005)->click();
    QCOMPARE(boxes.TakeOne().text, QStringLiteral("Get Version Fail"));
    QVERIFY(simulated->Plug(&error));
    QVERIFY(simulated->IsPlugged());
    harness::Button(dialog, 1002)->click();
    QCOMPARE(boxes.TakeOne().text, QStringLiteral("Successful test to brush card slot !"));
    Korvel_CommClose(dialog.PortHandle());
    dialog.PortHandle() = nullptr;
  }

  // The poll timer finds the reader gone: no box (the timer never shows
  // one), but the port is closed and the timer stops.
  void aTickThatFindsTheReaderGoneStopsTheTimer() {
    harness::ReaderDesk desk;
    desk.Open();
    QCOMPARE(desk.Press(1006).text, QStringLiteral("Setting Active Mode Success !"));
    QVERIFY(desk.dialog->IsPollTimerRunning());
    desk.reader->HangUp();
    QTRY_VERIFY_WITH_TIMEOUT(desk.dialog->PortHandle() == nullptr, 4000);
    QVERIFY(!desk.dialog->IsPollTimerRunning());
    QVERIFY(desk.button(1002)->isEnabled());
    QVERIFY(!desk.button(1003)->isEnabled());
    QVERIFY(desk.boxes.Take().isEmpty());
  }

  // Slow: a command waits while poll ticks fall due.
  void ticksDuringACommandLeaveItsReplyAlone() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.Press(1006);
    Control<QPlainTextEdit>(*desk.dialog, 1026)->setPlainText(QStringLiteral("before"));

    // The reply comes late, with a tick due meanwhile: the command still succeeds.
    desk.SetFault(Fault::kSlow, 1500);
    QCOMPARE(desk.Press(1005).text, QStringLiteral("MSR-3T V2.10"));
    QCOMPARE(desk.DataField(), QStringLiteral("before"));

    // A reply cut short sits in the input queue for the library's whole
    // 3000 ms wait; no tick takes it into the data field meanwhile.  (Once
    // the call is over, a tick may collect the leftover: that is a capture.)
    desk.SetFault(Fault::kCutShort, 0, 2);
    QString fieldAtBox;
    desk.boxes.onBox = [&](const Box&) { fieldAtBox = desk.DataField(); };
    QCOMPARE(desk.Press(1005).text, QStringLiteral("Get Version Fail"));
    QCOMPARE(fieldAtBox, QStringLiteral("before"));
    QVERIFY(desk.dialog->IsPollTimerRunning());
  }
};

DUNMARK_TEST_MAIN(ReaderTest)
#include "reader_test.moc"
