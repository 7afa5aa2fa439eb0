#include "dunmark_logic.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <vector>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
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
  std::array<uint8_t, 8> record{};
  for (size_t i = 0; i < sentinels.size(); ++i) record[i] = FirstGbkByte(sentinels[i]);
  record[6] = '7';
  record[7] = enterMark ? '1' : '0';
  return record;
}

uint32_t RateFromText(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  qsizetype i = 0;
  while (i < bytes.size() && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < bytes.size() && (bytes[i] == '+' || bytes[i] == '-')) negative = bytes[i++] == '-';
  uint32_t value = 0;
  for (; i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
    value = value * 10u + uint32_t(bytes[i] - '0');
  }
  return negative ? 0u - value : value;
}

QStringList FixedPortNames() {
  QStringList names;
  for (int n = 1; n <= 8; ++n) names << QStringLiteral("com%1").arg(n);
  return names;
}

namespace {

// "ttyUSB10" after "ttyUSB9": compare the text before the trailing number,
// then the number.
bool NaturalLess(const QString& a, const QString& b) {
  static const QRegularExpression tail(QStringLiteral("^(.*?)(\\d+)$"));
  const auto ma = tail.match(a);
  const auto mb = tail.match(b);
  if (ma.hasMatch() && mb.hasMatch() && ma.captured(1) == mb.captured(1)) {
    return ma.captured(2).toULongLong() < mb.captured(2).toULongLong();
  }
  return a < b;
}

QStringList Entries(const QString& dir, const QStringList& patterns) {
  QDir directory(dir);
  QStringList names = directory.entryList(patterns, QDir::Files | QDir::System | QDir::NoDotAndDotDot);
  std::sort(names.begin(), names.end(), NaturalLess);
  QStringList paths;
  for (const QString& name : names) paths << directory.filePath(name);
  return paths;
}

}  // namespace

QStringList DiscoverSerialDevices(const QString& devRoot) {
#if defined(Q_OS_WIN)
  Q_UNUSED(devRoot);
  return {};
#else
  QStringList devices = Entries(devRoot + QStringLiteral("/serial/by-id"), {});
  devices << Entries(devRoot, {QStringLiteral("ttyUSB*")});
  devices << Entries(devRoot, {QStringLiteral("ttyACM*")});
  return devices;
#endif
}

QStringList BuildPortList(const QStringList& devices, const QStringList& extra) {
  QStringList list = FixedPortNames();
  for (const QString& name : devices + extra) {
    if (!name.isEmpty() && !list.contains(name)) list << name;
  }
  return list;
}

QString PortDevicePath(const QString& name) {
#if defined(Q_OS_WIN)
  return name;
#else
  static const QRegularExpression com(QStringLiteral("^com([0-9]+)$"),
                                      QRegularExpression::CaseInsensitiveOption);
  const auto match = com.match(name);
  if (match.hasMatch()) {
    bool ok = false;
    const int n = match.captured(1).toInt(&ok);
    if (ok && n >= 1) return QStringLiteral("/dev/ttyS%1").arg(n - 1);
  }
  return name;
#endif
}

QByteArray PortNameBytes(const QString& name) {
#if defined(Q_OS_WIN)
  return name.toLocal8Bit();
#else
  return QFile::encodeName(name);
#endif
}

QString FormatAccessHint(const QString& path, const QString& group) {
  if (group.isEmpty()) {
    return QStringLiteral("Permission denied for %1: this user may not read and write it.").arg(path);
  }
  return QStringLiteral(
             "Permission denied for %1: your user is not in the '%2' group. "
             "Run: sudo usermod -aG %2 $USER, then log out and back in.")
      .arg(path, group);
}

#if !defined(Q_OS_WIN)
namespace {

bool InGroup(gid_t group) {
  if (::getegid() == group) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  const int got = ::getgroups(count, groups.data());
  return got > 0 && std::find(groups.begin(), groups.begin() + got, group) != groups.begin() + got;
}

}  // namespace
#endif

QString PortAccessHint(const QString& portName) {
#if defined(Q_OS_WIN)
  Q_UNUSED(portName);
  return {};
#else
  const QString path = PortDevicePath(portName);
  if (path.isEmpty()) return {};
  const QByteArray native = QFile::encodeName(path);
  struct stat info {};
  if (::stat(native.constData(), &info) != 0) return {};
  if (::access(native.constData(), R_OK | W_OK) == 0 || errno != EACCES) return {};
  // Membership helps only when the device's group may read and write it.
  QString group;
  const bool groupMayUse = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (groupMayUse && !InGroup(info.st_gid)) {
    const struct group* entry = ::getgrgid(info.st_gid);
    group = entry != nullptr && entry->gr_name != nullptr ? QString::fromLocal8Bit(entry->gr_name)
                                                          : QStringLiteral("dialout");
  }
  return FormatAccessHint(path, group);
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
