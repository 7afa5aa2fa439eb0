// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The reader panel's face in Qt against the simulated reader: the reader's
// code page 936 text in the version box and the data field, the fields
// "Data Setting" reads, the poll timer, and the "Card" window.  What each
// press does after the reader's answer is the controller's table
// (controller_test.cpp).
#include <QCheckBox>
#include <QLineEdit>
#include <QTreeWidget>

#include "dialog_harness.h"
#include "gbk_text_and_geometry.h"

using harness::Box;
using harness::Control;

namespace {

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
    const Box box = desk.Press(1005);
    QCOMPARE(box.text, QStringLiteral("中文 MSR V2"));
    QCOMPARE(box.title, QStringLiteral("Information："));
    QCOMPARE(box.icon, QMessageBox::Information);
  }

  // Each field gives its first byte in code page 936 (0 when empty), the
  // check box the last byte.
  void dataSettingReadsTheFields() {
    harness::ReaderDesk desk;
    desk.Open();
    Control<QLineEdit>(*desk.dialog, 1013)->setText(QStringLiteral("中"));  // lead byte D6
    Control<QLineEdit>(*desk.dialog, 1014)->clear();                        // 0
    Control<QLineEdit>(*desk.dialog, 1015)->setText(QStringLiteral("%B"));  // '%' only
    Control<QCheckBox>(*desk.dialog, 1019)->setChecked(false);
    QCOMPARE(desk.Press(1020).text, QStringLiteral("Setting success"));
    QCOMPARE(Settings(desk.reader->State()), QByteArray("\xD6\x00%?+?70", 8));
  }

  // Slow: runs on the one-second poll timer.  "Active Mode" starts it, each
  // tick's capture shows in the data field (all 300 bytes of a full area,
  // code page 936 text up to a zero byte), "Command Mode" stops it.
  void pollTimerShowsCapturesUntilCommandMode() {
    harness::ReaderDesk desk;
    desk.Open();
    desk.Press(1006);
    QVERIFY(desk.dialog->IsPollTimerRunning());
    desk.reader->Inject(std::vector<uint8_t>(300, 'A'));
    WAIT_FOR_FIELD(desk, QString(300, QLatin1Char('A')));
    desk.reader->Inject({0xD6, 0xD0, '1', '\r', '\n', '2', 0x00, 'X'});
    WAIT_FOR_FIELD(desk, QStringLiteral("中1\n2"));
    QCOMPARE(desk.Press(1007).text, QStringLiteral("Set Command Mode Success!"));
    QVERIFY(!desk.dialog->IsPollTimerRunning());
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
};

DUNMARK_TEST_MAIN(ReaderTest)
#include "reader_test.moc"
