// Dunmark's logic that touches neither the port nor the screen: 8-bit text of
// code page 936, the track output settings record, rates, the port list and
// dialog-unit arithmetic.  Plain functions, tested on their own.
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>

class QFont;

namespace dunmark {

// ---- Text of code page 936 (GBK) ----------------------------------------

// The text as code page 936 bytes.  A character the code page lacks becomes '?'.
QByteArray ToGbk(const QString& text);

// Code page 936 bytes as text.
QString FromGbk(const QByteArray& bytes);

// How many bytes the text takes in code page 936 as the dialog holds it: a
// double-byte character counts two, a line break counts two (CR LF).
int GbkByteCount(const QString& text);

// The first byte of the text in code page 936: 0 for an empty text, the lead
// byte for a double-byte character.
uint8_t FirstGbkByte(const QString& text);

// The longest leading part of `text`, in whole characters, that fits into
// `budget` bytes as counted by GbkByteCount (empty when budget <= 0).
QString FitGbkBytes(const QString& text, int budget);

// The reader's bytes in a result area of `size` bytes: up to the first zero
// byte, never past `size`, decoded from code page 936, with CR LF (and a lone
// CR) turned into line breaks.
QString ReaderText(const unsigned char* area, size_t size);

// ---- Track output settings record ---------------------------------------

// The eight bytes sent by "Data Setting": the first byte of each of the six
// sentinel fields (track 1 start, track 1 end, track 2 start, ...), '7', and
// '1' or '0' for the Enter mark.
std::array<uint8_t, 8> BuildTrackRecord(const std::array<QString, 6>& sentinels, bool enterMark);

// ---- Rates and ports ------------------------------------------------------

// A rate written as decimal text, read like the C runtime's atoi: leading
// white space, an optional sign, the leading digits; no digits give 0.
uint32_t RateFromText(const QString& text);

// The names the port box starts with: "com1" to "com8".
QStringList FixedPortNames();

// Serial devices present under `devRoot` (normally "/dev"): the entries of
// serial/by-id, then ttyUSB* and ttyACM*, each group in natural order.
QStringList DiscoverSerialDevices(const QString& devRoot = QStringLiteral("/dev"));

// The port box's list: the fixed names, then `devices`, then `extra`, each
// name once.
QStringList BuildPortList(const QStringList& devices, const QStringList& extra = {});

// The device a port name stands for: "comN" (any case) is /dev/ttyS{N-1},
// any other name is a path used as given.
QString PortDevicePath(const QString& name);

// The port name as the bytes the library is given.
QByteArray PortNameBytes(const QString& name);

// When opening `portName` failed because the user may not use the device
// (it exists, and read/write access is refused with EACCES), a one-line
// hint: to join the group owning it (normally "dialout") when that group
// may read and write it and the user is not a member, else that permission
// is denied.  Empty otherwise.
QString PortAccessHint(const QString& portName);

// The hint's wording for `path`; `group` empty when joining one is no help.
QString FormatAccessHint(const QString& path, const QString& group);

// ---- Geometry -------------------------------------------------------------

// Dialog units of a dialog font: one horizontal unit is a quarter of the
// font's average character width, one vertical unit an eighth of its height.
struct DialogUnits {
  int baseX = 6;
  int baseY = 13;
  static DialogUnits FromFont(const QFont& font);
  int X(int dlu) const;
  int Y(int dlu) const;
  QRect Rect(int x, int y, int w, int h) const;
};

// Where an icon is drawn centred in a client area (integer halves,
// truncated toward zero).
QPoint IconOrigin(QSize client, QSize icon);

// The dialogs' font: a Simplified Chinese capable sans at 9 points ("宋体"
// where present, else WenQuanYi Micro Hei, else the default family).
QFont DialogFont();

}  // namespace dunmark
