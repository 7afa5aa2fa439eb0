// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The main dialog's shell: its controls and start-up state, the About box,
// how Enter, Esc and the close box end it, and the data field's byte limit.
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>

#include "about_dialog.h"
#include "dialog_harness.h"
#include "gbk_text_and_geometry.h"

using harness::Button;
using harness::Control;

class ShellTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<CMainDialog> m_dialog;
  std::unique_ptr<harness::BoxWatcher> m_boxes;

  CMainDialog& dialog() { return *m_dialog; }
  QPlainTextEdit* dataField() { return Control<QPlainTextEdit>(dialog(), 1026); }

  // The identified controls in the order Tab visits them.
  QList<int> TabOrder() {
    QList<int> ids;
    QWidget* w = &dialog();
    while ((w = w->nextInFocusChain()) != &dialog()) {
      if (!(w->focusPolicy() & Qt::TabFocus) || w->focusProxy() != nullptr) continue;
      QWidget* control = w;
      while (control != nullptr && control->objectName().toInt() == 0) control = control->parentWidget();
      if (control != nullptr && (ids.isEmpty() || ids.last() != control->objectName().toInt())) {
        ids << control->objectName().toInt();
      }
    }
    return ids;
  }

  // Types `text` one character at a time, as a keyboard with an input method would.
  static void Type(QWidget* target, const QString& text) {
    for (QChar c : text) {
      QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(target, &press);
      QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
      QApplication::sendEvent(target, &release);
    }
  }

  // Presses a key in `target` and reports whether the dialog then ended.
  bool EndsDialog(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key), modifiers);
    return !dialog().isVisible();
  }

 private slots:
  void init() {
    m_dialog = std::make_unique<CMainDialog>();
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog.get()));
    m_boxes = std::make_unique<harness::BoxWatcher>();
  }
  void cleanup() {
    m_boxes.reset();
    m_dialog.reset();
  }

  void startsWithTheTemplatesDefaults() {
    QCOMPARE(dialog().windowTitle(), QStringLiteral("TV628"));
    QVERIFY(!(dialog().windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(dialog().windowFlags() & Qt::WindowCloseButtonHint);

    auto* port = Control<QComboBox>(dialog(), 1000);
    QCOMPARE(port->currentText(), QStringLiteral("com1"));
    for (int i = 0; i < 8; ++i) QCOMPARE(port->itemText(i), QStringLiteral("com%1").arg(i + 1));
    const QStringList rates = {"4800", "9600", "19200", "38400"};
    for (int id : {1001, 1010}) {
      auto* box = Control<QComboBox>(dialog(), id);
      QCOMPARE(box->count(), 4);
      for (int i = 0; i < 4; ++i) QCOMPARE(box->itemText(i), rates[i]);
      QCOMPARE(box->currentText(), QStringLiteral("9600"));
      QVERIFY(box->isEditable());
    }
    const QStringList sentinels = {"%", "?", ";", "?", "+", "?"};
    for (int i = 0; i < 6; ++i) QCOMPARE(Control<QLineEdit>(dialog(), 1013 + i)->text(), sentinels[i]);
    QVERIFY(Control<QCheckBox>(dialog(), 1019)->isChecked());
    QVERIFY(dataField()->toPlainText().isEmpty());
    QVERIFY(!dialog().IsPollTimerRunning());

    for (int id : {1002, 1004, 1005, 1006, 1007, 1008, 1009, 1020, 1021, 1022}) {
      QVERIFY2(Button(dialog(), id)->isEnabled(), qPrintable(QString::number(id)));
    }
    QVERIFY(!Button(dialog(), 1003)->isEnabled());
    QWidget* focus = dialog().focusWidget();
    QVERIFY(focus == port || port->isAncestorOf(focus));
  }

  void controlsKeepTheirCaptionsPlacesAndTabOrder() {
    const auto du = dunmark::DialogUnits::FromFont(dialog().font());
    QCOMPARE(dialog().size(), QSize(du.X(434), du.Y(288)));

    struct Expected {
      int id;
      const char* caption;
      QRect dlu;
    };
    // Every addressable control, in tab order.
    const Expected controls[] = {
        {1000, "", {35, 23, 48, 0}},
        {1001, "", {119, 24, 48, 0}},
        {1002, "Open Com", {180, 21, 50, 14}},
        {1003, "Close Com", {241, 21, 50, 14}},
        {1004, "Exit", {300, 21, 50, 14}},
        {1005, "Get Version", {13, 74, 50, 14}},
        {1006, "Active Mode", {75, 77, 52, 14}},
        {1007, "Command Mode", {131, 77, 55, 14}},
        {1008, "Serch Mode", {192, 77, 55, 14}},
        {1009, "Baud Choose", {287, 79, 52, 14}},
        {1010, "", {359, 79, 48, 0}},
        {1013, "", {47, 137, 20, 14}},
        {1014, "", {48, 161, 19, 12}},
        {1015, "", {116, 137, 23, 14}},
        {1016, "", {114, 160, 23, 14}},
        {1017, "", {181, 137, 24, 14}},
        {1018, "", {181, 157, 24, 14}},
        {1019, "Enter Mark", {229, 147, 54, 14}},
        {1020, "Data Setting", {305, 145, 54, 23}},
        {1021, "Command Read Card", {19, 224, 74, 14}},
        {1022, "Clear Information", {19, 242, 73, 15}},
        {1026, "", {129, 221, 280, 40}},
    };
    QList<int> ids;
    for (const Expected& e : controls) {
      ids << e.id;
      QWidget* w = Control<QWidget>(dialog(), e.id);
      const QString id = QString::number(e.id);
      QCOMPARE(w->geometry().topLeft(), QPoint(du.X(e.dlu.x()), du.Y(e.dlu.y())));
      QCOMPARE(w->width(), du.X(e.dlu.width()));
      if (e.dlu.height() != 0) QCOMPARE(w->height(), du.Y(e.dlu.height()));  // combos keep their own
      if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        QCOMPARE(button->text(), QString::fromUtf8(e.caption));
        if (auto* push = qobject_cast<QPushButton*>(w)) {
          QVERIFY2(!push->isDefault() && !push->autoDefault(), qPrintable(id));
        }
      } else {
        QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(id));  // inputs are named after their labels
      }
    }
    QCOMPARE(TabOrder(), ids);
    QCOMPARE(Control<QComboBox>(dialog(), 1000)->accessibleName(), QStringLiteral("Port"));
    QCOMPARE(Control<QComboBox>(dialog(), 1001)->accessibleName(), QStringLiteral("Baud"));
    QCOMPARE(Control<QLineEdit>(dialog(), 1016)->accessibleName(), QStringLiteral("Second Track End"));
    QCOMPARE(dataField()->accessibleName(), QStringLiteral("Data Packets"));

    // Labels and frames are there and take no focus.
    const QStringList groups = {"COM Setting",    "Version",        "Mode Choose",  "Baud Setting",
                                "Output Setting", "First Track",    "Second Track", "Third Track",
                                "End Mark",       "ReadCardSetting"};
    QStringList titles;
    for (auto* box : dialog().findChildren<QGroupBox*>()) {
      titles << box->title();
      QCOMPARE(box->focusPolicy(), Qt::NoFocus);
    }
    titles.sort();
    QStringList sortedGroups = groups;
    sortedGroups.sort();
    QCOMPARE(titles, sortedGroups);
    QStringList labels;
    for (auto* label : dialog().findChildren<QLabel*>()) labels << label->text();
    QCOMPARE(labels,
             QStringList({"Port", "Baud", "Start ", "End", "Start", "End", "Start", "End", "Data Packets"}));
  }

  void aboutItemOpensTheAboutBox() {
    QList<QString> seen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      auto* about = qobject_cast<CAboutDialog*>(QApplication::activeModalWidget());
      if (about == nullptr || !about->isVisible()) return;
      auto* ok = about->findChild<QPushButton*>(QStringLiteral("1"));
      auto* icon = about->findChildren<QLabel*>().value(0);
      seen << about->windowTitle() + "|" + about->findChildren<QLabel*>().value(1)->text() + "|" +
                  ok->text() + "|" + QString::number(ok->isDefault()) + "|" +
                  QString::number(!icon->pixmap().isNull());
      QTest::keyClick(about, Qt::Key_Return);  // the default button
    });
    poll.start(5);
    for (unsigned id : {0x0010u, 0x001Fu, 0x10012u}) QVERIFY(dialog().OnSysCommand(id));
    QVERIFY(!dialog().OnSysCommand(0xF060u));  // the system's own commands pass on
    QVERIFY(!dialog().OnSysCommand(0x0030u));
    QCOMPARE(seen.size(), 3);
    // The Card item's commands open the "Card" window.
    QVERIFY(dialog().OnSysCommand(0x0020u));
    QVERIFY(dialog().CardWindow() != nullptr && dialog().CardWindow()->isVisible());
    dialog().CardWindow()->close();
    QCOMPARE(seen.first(), QStringLiteral("关于 Dunmark|Dunmark 1.0 版|确定|1|1"));
    QVERIFY(dialog().isVisible());

    // Where there is no system menu, the dialog's context menu carries the item.
    QString item;
    QTimer menuPoll;
    connect(&menuPoll, &QTimer::timeout, [&] {
      auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
      if (menu == nullptr) return;
      item = menu->actions().value(0)->text();
      menu->close();
    });
    menuPoll.start(5);
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(700, 30), dialog().mapToGlobal(QPoint(700, 30)));
    QApplication::sendEvent(&dialog(), &event);
    QCOMPARE(item, QStringLiteral("关于 Dunmark(&A)..."));
  }

  void enterEndsTheDialogUnlessAButtonHasFocus() {
    QVERIFY(EndsDialog(Control<QLineEdit>(dialog(), 1015), Qt::Key_Return));
    QCOMPARE(dialog().result(), int(QDialog::Accepted));

    for (int id : {1000, 1019, 1026}) {
      init();
      QVERIFY2(EndsDialog(Control<QWidget>(dialog(), id), Qt::Key_Enter, Qt::KeypadModifier),
               qPrintable(QString::number(id)));
    }
    // Enter in the data field does not start a new line on its way out.
    init();
    dataField()->setPlainText(QStringLiteral("abc"));
    QVERIFY(EndsDialog(dataField(), Qt::Key_Return));
    QCOMPARE(dataField()->toPlainText(), QStringLiteral("abc"));

    // On a push button, Enter presses it.
    init();
    dataField()->setPlainText(QStringLiteral("abc"));
    QVERIFY(!EndsDialog(Button(dialog(), 1022), Qt::Key_Return));
    QVERIFY(dataField()->toPlainText().isEmpty());
    QVERIFY(m_boxes->Take().isEmpty());
  }

  void escapeAndTheCloseBoxCancel() {
    QVERIFY(EndsDialog(Control<QLineEdit>(dialog(), 1013), Qt::Key_Escape));
    QCOMPARE(dialog().result(), int(QDialog::Rejected));

    init();
    dataField()->setPlainText(QString(80, QLatin1Char('x')));  // no check on the way out
    QVERIFY(dialog().close());
    QCOMPARE(dialog().result(), int(QDialog::Rejected));
    QVERIFY(m_boxes->Take().isEmpty());
  }

  void typingStopsAtFiftyBytes() {
    QPlainTextEdit* field = dataField();
    field->setFocus();
    Type(field, QString(60, QLatin1Char('a')));
    QCOMPARE(field->toPlainText(), QString(50, QLatin1Char('a')));

    field->clear();
    Type(field, QString(24, QChar(0x4E2D)) + QStringLiteral("ab中"));  // 48 + 2, then 2 more
    QCOMPARE(dunmark::GbkByteCount(field->toPlainText()), 50);
    QVERIFY(field->toPlainText().endsWith(QLatin1String("ab")));

    // Replacing a selection frees its bytes; Ctrl+Enter adds a line (CR LF).
    field->setPlainText(QString(49, QLatin1Char('a')));
    field->moveCursor(QTextCursor::End);
    QTest::keyClick(field, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(field->toPlainText(), QString(49, QLatin1Char('a')));
    field->selectAll();
    Type(field, QStringLiteral("中"));
    QCOMPARE(field->toPlainText(), QStringLiteral("中"));
    QTest::keyClick(field, Qt::Key_Return, Qt::ControlModifier);
    QCOMPARE(field->toPlainText(), QStringLiteral("中\n"));

    // Pasting is cut to what fits.
    field->setPlainText(QString(45, QLatin1Char('a')));
    field->moveCursor(QTextCursor::End);
    QApplication::clipboard()->setText(QStringLiteral("0123456789"));
    field->paste();
    QCOMPARE(field->toPlainText(), QString(45, QLatin1Char('a')) + QStringLiteral("01234"));

    // Card data the program puts there is not cut.
    field->setPlainText(QString(300, QLatin1Char('c')));
    QCOMPARE(field->toPlainText().size(), 300);
  }

  void okWithMoreThanFiftyBytesKeepsTheDialogOpen() {
    QPlainTextEdit* field = dataField();
    field->setPlainText(QString(25, QChar(0x4E2D)) + QStringLiteral("x"));  // 51 bytes
    QVERIFY(!EndsDialog(field, Qt::Key_Return));
    const harness::Box box = m_boxes->TakeOne();
    QVERIFY2(box.text.contains(QLatin1String("50")), qPrintable(box.text));
    QCOMPARE(box.buttons, 1);
    QCOMPARE(dialog().focusWidget(), field);
    QCOMPARE(field->textCursor().selectedText(), field->toPlainText());

    // From the port box too, and exactly 50 bytes pass.
    QVERIFY(!EndsDialog(Control<QComboBox>(dialog(), 1000), Qt::Key_Return));
    QCOMPARE(m_boxes->Take().size(), 1);
    field->setPlainText(QString(25, QChar(0x4E2D)));
    QVERIFY(EndsDialog(Control<QComboBox>(dialog(), 1000), Qt::Key_Return));
    QCOMPARE(dialog().result(), int(QDialog::Accepted));
  }
};

DUNMARK_TEST_MAIN(ShellTest)
#include "shell_test.moc"
