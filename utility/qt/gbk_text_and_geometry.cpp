// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "gbk_text_and_geometry.h"

#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <vector>

#include "dunmark_core.h"

#if defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace dunmark {

namespace {

constexpr char kCodePage[] = "GBK";

bool IsLineBreak(QChar c) {
  return c == QLatin1Char('\n') || c == QChar::ParagraphSeparator || c == QChar::LineSeparator;
}

}  // namespace

QByteArray ToGbk(const QString& text) {
  QStringEncoder encoder(kCodePage);
  if (encoder.isValid()) {
    QByteArray bytes = encoder.encode(text);
    return bytes;
  }
#if defined(Q_OS_WIN)
  const std::wstring wide = text.toStdWString();
  const int size = WideCharToMultiByte(936, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  QByteArray bytes(size, Qt::Uninitialized);
  WideCharToMultiByte(936, 0, wide.data(), int(wide.size()), bytes.data(), size, nullptr, nullptr);
  return bytes;
#else
  return text.toLocal8Bit();
#endif
}

QString FromGbk(const QByteArray& bytes) {
  QStringDecoder decoder(kCodePage);
  if (decoder.isValid()) {
    QString text = decoder.decode(bytes);
    return text;
  }
#if defined(Q_OS_WIN)
  const int size = MultiByteToWideChar(936, 0, bytes.constData(), int(bytes.size()), nullptr, 0);
  std::wstring wide(size_t(size), L'\0');
  MultiByteToWideChar(936, 0, bytes.constData(), int(bytes.size()), wide.data(), size);
  return QString::fromStdWString(wide);
#else
  return QString::fromLocal8Bit(bytes);
#endif
}

int GbkByteCount(const QString& text) {
  int breaks = 0;
  QString flat;
  flat.reserve(text.size());
  for (QChar c : text) {
    if (IsLineBreak(c)) {
      ++breaks;
    } else {
      flat.append(c);
    }
  }
  return int(ToGbk(flat).size()) + 2 * breaks;
}

uint8_t FirstGbkByte(const QString& text) {
  if (text.isEmpty()) return 0;
  // The first character, kept whole when it is a surrogate pair.
  const int length = text.at(0).isHighSurrogate() && text.size() > 1 ? 2 : 1;
  const QByteArray bytes = ToGbk(text.left(length));
  return bytes.isEmpty() ? 0 : uint8_t(bytes.at(0));
}

QString FitGbkBytes(const QString& text, int budget) {
  QString fitted;
  int used = 0;
  for (int i = 0; i < text.size();) {
    const int length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
    const QString piece = text.mid(i, length);
    const int cost = GbkByteCount(piece);
    if (used + cost > budget) break;
    fitted += piece;
    used += cost;
    i += length;
  }
  return fitted;
}

QString ReaderText(const unsigned char* area, size_t size) {
  const std::string bytes = core::ReaderBytes(area, size, "\n");
  return FromGbk(QByteArray(bytes.data(), qsizetype(bytes.size())));
}

QStringList ToStringList(const std::vector<std::string>& items) {
  QStringList list;
  for (const std::string& item : items) list << QString::fromStdString(item);
  return list;
}

std::vector<std::string> ToStdStrings(const QStringList& items) {
  std::vector<std::string> list;
  for (const QString& item : items) list.push_back(item.toStdString());
  return list;
}

QByteArray PortNameBytes(const QString& name) {
#if defined(Q_OS_WIN)
  return name.toLocal8Bit();
#else
  return QFile::encodeName(name);
#endif
}

DialogUnits DialogUnits::FromFont(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const core::BaseUnits units = core::BaseUnitsOf(width, metrics.height());
  return DialogUnits{units.x, units.y};
}

int DialogUnits::X(int dlu) const {
  return core::PixelsX({baseX, baseY}, dlu);
}

int DialogUnits::Y(int dlu) const {
  return core::PixelsY({baseX, baseY}, dlu);
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
  return QRect(X(x), Y(y), X(w), Y(h));
}

QPoint IconOrigin(QSize client, QSize icon) {
  const core::Point origin = core::IconOrigin(client.width(), client.height(), icon.width(), icon.height());
  return QPoint(origin.x, origin.y);
}

QPoint PlaceBeside(const QRect& screen, const QRect& dialog, const QSize& size,
                   const QList<QRect>& keepClear) {
  constexpr int kGap = 12;
  // Beside the dialog, sliding along its edge to stay on screen.
  auto clampX = [&](int x) {
    return std::max(screen.left(), std::min(x, screen.right() + 1 - size.width()));
  };
  auto clampY = [&](int y) {
    return std::max(screen.top(), std::min(y, screen.bottom() + 1 - size.height()));
  };
  const QPoint sides[] = {
      {dialog.right() + 1 + kGap, clampY(dialog.top())},
      {clampX(dialog.left()), dialog.bottom() + 1 + kGap},
      {dialog.left() - kGap - size.width(), clampY(dialog.top())},
      {clampX(dialog.left()), dialog.top() - kGap - size.height()},
  };
  for (const QPoint& p : sides) {
    if (screen.contains(QRect(p, size))) return p;
  }
  // No room beside it: the place on screen that hides the fewest pixels of
  // the controls, trying the screen's corners and edges.
  const int xs[] = {screen.left(), clampX(screen.center().x() - size.width() / 2),
                    screen.right() + 1 - size.width()};
  const int ys[] = {screen.top(), clampY(screen.center().y() - size.height() / 2),
                    screen.bottom() + 1 - size.height()};
  QPoint best(clampX(xs[2]), clampY(ys[2]));
  long long bestCover = -1;
  for (int y : ys) {
    for (int x : xs) {
      const QRect place(QPoint(clampX(x), clampY(y)), size);
      long long cover = 0;
      for (const QRect& control : keepClear) {
        const QRect hidden = place.intersected(control);
        if (!hidden.isEmpty()) cover += static_cast<long long>(hidden.width()) * hidden.height();
      }
      if (bestCover < 0 || cover < bestCover) {
        bestCover = cover;
        best = place.topLeft();
      }
    }
  }
  return best;
}

QFont DialogFont() {
  const QStringList families = QFontDatabase::families();
  QString family;
  for (const QString& candidate :
       {QString::fromUtf8(core::kDialogFontFace), QStringLiteral("SimSun"),
        QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC")}) {
    if (families.contains(candidate, Qt::CaseInsensitive)) {
      family = candidate;
      break;
    }
  }
  QFont font = family.isEmpty() ? QFont() : QFont(family);
  font.setPointSize(core::kDialogFontPoints);
  return font;
}

}  // namespace dunmark
