// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The Qt dialog's plain functions (qt/gbk_text_and_geometry.h): code page
// 936 text and window placement (the arithmetic they share with the Win32
// dialog is core_test's).
#include <QtTest>

#include "gbk_text_and_geometry.h"

using namespace dunmark;

namespace {

QByteArray Bytes(std::initializer_list<uint8_t> list) {
  QByteArray bytes;
  for (uint8_t b : list) bytes.append(char(b));
  return bytes;
}

}  // namespace

class TextAndGeometryTest : public QObject {
  Q_OBJECT

 private slots:
  void gbkTextKeepsChineseAndSpecialBytes() {
    QCOMPARE(ToGbk(QStringLiteral("中")), Bytes({0xD6, 0xD0}));
    QCOMPARE(ToGbk(QStringLiteral("é")), Bytes({0xA8, 0xA6}));
    QCOMPARE(FromGbk(Bytes({0xD6, 0xD0, 'a'})), QStringLiteral("中a"));
    QCOMPARE(FromGbk(Bytes({0xFF})), QString(QChar(0xF8F5)));
  }

  void byteCountTreatsDoubleByteCharactersAndLineBreaksAsTwo() {
    QCOMPARE(GbkByteCount(QString()), 0);
    QCOMPARE(GbkByteCount(QStringLiteral("abc")), 3);
    QCOMPARE(GbkByteCount(QStringLiteral("中文")), 4);
    QCOMPARE(GbkByteCount(QStringLiteral("a\nb")), 4);
    QCOMPARE(GbkByteCount(QStringLiteral("a") + QChar(QChar::ParagraphSeparator)), 3);
  }

  void fittingStopsBeforeACharacterThatDoesNotFit() {
    QCOMPARE(FitGbkBytes(QStringLiteral("ab中c"), 3), QStringLiteral("ab"));
    QCOMPARE(FitGbkBytes(QStringLiteral("ab中c"), 4), QStringLiteral("ab中"));
    QCOMPARE(FitGbkBytes(QStringLiteral("a\nb"), 2), QStringLiteral("a"));
    QCOMPARE(FitGbkBytes(QStringLiteral("abc"), 0), QString());
    QCOMPARE(FitGbkBytes(QStringLiteral("abc"), -4), QString());
  }

  // The simulated reader's window goes beside the dialog, on screen; where
  // there is no room beside it, it covers as little of the controls as it can.
  void helperWindowGoesBesideTheDialog() {
    const QRect screen(0, 0, 1920, 1080);
    const QSize window(300, 250);
    QCOMPARE(PlaceBeside(screen, QRect(100, 100, 760, 504), window, {}), QPoint(872, 100));   // right
    QCOMPARE(PlaceBeside(screen, QRect(1000, 500, 760, 504), window, {}), QPoint(688, 500));  // left
    QCOMPARE(PlaceBeside(screen, QRect(0, 0, 1800, 500), window, {}), QPoint(0, 512));        // below
    // Wider than the screen (144 DPI on a small screen): nothing fits beside
    // it, and the controls along the top must stay clear.
    const QRect dialog(0, 0, 1140, 756);
    const QRect small(0, 0, 1024, 768);
    const QList<QRect> controls = {QRect(50, 30, 900, 40), QRect(20, 110, 700, 40), QRect(20, 330, 700, 150)};
    const QPoint p = PlaceBeside(small, dialog, window, controls);
    QVERIFY(small.contains(QRect(p, window)));
    for (const QRect& control : controls) QVERIFY(!QRect(p, window).intersects(control));
  }
};

QTEST_GUILESS_MAIN(TextAndGeometryTest)
#include "text_and_geometry_test.moc"
