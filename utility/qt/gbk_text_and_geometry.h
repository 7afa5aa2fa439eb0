/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The Qt dialog's plain functions, touching neither the port nor the screen:
// text of code page 936 (GBK), dialog-unit arithmetic and window placement,
// and the bridges to the toolkit-free core (core/dunmark_core.h).  Tested on
// their own.
#pragma once

#include <QByteArray>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

// ---- Bridges to the toolkit-free core ------------------------------------

QStringList ToStringList(const std::vector<std::string>& items);
std::vector<std::string> ToStdStrings(const QStringList& items);

// The port name as the bytes the library is given.
QByteArray PortNameBytes(const QString& name);

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

// Where a helper window of `size` goes beside a dialog whose frame is
// `dialog`, inside `screen`: right of it, else below, else left, else above;
// where none of these fits, the place on screen that covers the least of
// `keepClear` (the dialog's controls).  Returns the window's top left.
QPoint PlaceBeside(const QRect& screen, const QRect& dialog, const QSize& size,
                   const QList<QRect>& keepClear);

// The dialogs' font: a Simplified Chinese capable sans at 9 points ("宋体"
// where present, else WenQuanYi Micro Hei, else the default family).
QFont DialogFont();

}  // namespace dunmark
