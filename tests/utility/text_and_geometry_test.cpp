// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The Qt dialog's plain functions (qt/gbk_text_and_geometry.h): code page
// 936 text, the track settings record from the fields, dialog units and
// window placement.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "gbk_text_and_geometry.h"

using namespace dunmark;

namespace {

QByteArray Bytes(std::initializer_list<uint8_t> list) {
  QByteArray bytes;
  for (uint8_t b : list) bytes.append(char(b));
  return bytes;
}

QByteArray Record(const std::array<uint8_t, 8>& record) {
  return QByteArray(reinterpret_cast<const char*>(record.data()), int(record.size()));
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

  void firstByteOfAField() {
    QCOMPARE(FirstGbkByte(QString()), uint8_t(0));
    QCOMPARE(FirstGbkByte(QStringLiteral("%B")), uint8_t('%'));
    QCOMPARE(FirstGbkByte(QStringLiteral("中")), uint8_t(0xD6));
    QCOMPARE(FirstGbkByte(QStringLiteral("é?")), uint8_t(0xA8));
  }

  void trackRecord() {
    const std::array<QString, 6> defaults = {QStringLiteral("%"), QStringLiteral("?"), QStringLiteral(";"),
                                             QStringLiteral("?"), QStringLiteral("+"), QStringLiteral("?")};
    QCOMPARE(Record(BuildTrackRecord(defaults, true)),
             Bytes({0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31}));
    QCOMPARE(Record(BuildTrackRecord(defaults, false)).back(), char(0x30));

    const std::array<QString, 6> mixed = {QStringLiteral("%A"), QString(),           QStringLiteral("中"),
                                          QStringLiteral("?"),  QStringLiteral("+"), QStringLiteral("?")};
    QCOMPARE(Record(BuildTrackRecord(mixed, true)), Bytes({'%', 0x00, 0xD6, '?', '+', '?', '7', '1'}));
  }

  void readerTextStopsAtZeroAndAtTheAreaEnd() {
    const unsigned char version[32] = {'M', 'S', 'R', 0, 'X', 'Y'};
    QCOMPARE(ReaderText(version, sizeof version), QStringLiteral("MSR"));

    // A full 300-byte capture has no terminator; the bytes after it are not read.
    unsigned char area[310];
    std::fill(std::begin(area), std::end(area), 'B');
    std::fill(area, area + 300, 'A');
    QCOMPARE(ReaderText(area, 300), QString(300, QLatin1Char('A')));

    const unsigned char lines[] = {'%', '1', '?', '\r', '\n', ';', '2', '?', '\r', '\n', 0};
    QCOMPARE(ReaderText(lines, sizeof lines), QStringLiteral("%1?\n;2?\n"));

    const unsigned char chinese[] = {0xD6, 0xD0, 0xCE, 0xC4, 0};
    QCOMPARE(ReaderText(chinese, sizeof chinese), QStringLiteral("中文"));
  }

  void iconIsCentredWithTruncatingHalves() {
    QCOMPARE(IconOrigin(QSize(36, 36), QSize(32, 32)), QPoint(2, 2));
    QCOMPARE(IconOrigin(QSize(30, 40), QSize(32, 32)), QPoint(0, 4));
    QCOMPARE(IconOrigin(QSize(20, 20), QSize(32, 32)), QPoint(-5, -5));
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

  void dialogUnitsScaleWithTheFont() {
    DialogUnits windows;  // the classic 6 x 13 dialog font
    QCOMPARE(windows.Rect(180, 21, 50, 14), QRect(270, 34, 75, 23));
    DialogUnits qtDefault{7, 14};
    QCOMPARE(QSize(qtDefault.X(434), qtDefault.Y(288)), QSize(760, 504));
  }
};

QTEST_GUILESS_MAIN(TextAndGeometryTest)
#include "text_and_geometry_test.moc"
