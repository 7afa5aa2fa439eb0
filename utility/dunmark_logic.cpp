#include "dunmark_logic.h"

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
  const auto* begin = reinterpret_cast<const char*>(area);
  const auto* end = std::find(begin, begin + size, '\0');
  QString text = FromGbk(QByteArray(begin, qsizetype(end - begin)));
  text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
  text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return text;
}

std::array<uint8_t, 8> BuildTrackRecord(const std::array<QString, 6>& sentinels, bool enterMark) {
  std::array<uint8_t, 6> first{};
  for (size_t i = 0; i < sentinels.size(); ++i) first[i] = FirstGbkByte(sentinels[i]);
  return core::BuildTrackRecord(first, enterMark);
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

namespace {

// MulDiv for the non-negative values of a dialog template: rounds half up.
int Scale(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return int(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

}  // namespace

DialogUnits DialogUnits::FromFont(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width =
      metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  DialogUnits units;
  units.baseX = std::max(1, (width / 26 + 1) / 2);
  units.baseY = std::max(1, metrics.height());
  return units;
}

int DialogUnits::X(int dlu) const {
  return Scale(dlu, baseX, 4);
}

int DialogUnits::Y(int dlu) const {
  return Scale(dlu, baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int w, int h) const {
  return QRect(X(x), Y(y), X(w), Y(h));
}

QPoint IconOrigin(QSize client, QSize icon) {
  return QPoint((client.width() - icon.width() + 1) / 2, (client.height() - icon.height() + 1) / 2);
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
       {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
        QStringLiteral("Noto Sans CJK SC")}) {
    if (families.contains(candidate, Qt::CaseInsensitive)) {
      family = candidate;
      break;
    }
  }
  QFont font = family.isEmpty() ? QFont() : QFont(family);
  font.setPointSize(9);
  return font;
}

}  // namespace dunmark
