// Dunmark's resources: the texts of its dialogs and menu item, and its icon.
#pragma once

#include <QIcon>
#include <QString>

namespace dunmark::res {

inline const QString kMainCaption = QStringLiteral("TV628");
inline const QString kAboutCaption = QStringLiteral("关于 Dunmark");
inline const QString kAboutText = QStringLiteral("Dunmark 1.0 版");
inline const QString kAboutOk = QStringLiteral("确定");
// String 101: the About item of the system menu (the dialog's context menu
// where the platform has no system menu to add it to).
inline const QString kAboutMenuItem = QStringLiteral("关于 Dunmark(&A)...");
// The release (project(VERSION) in CMakeLists.txt, passed in by the build).
inline const QString kVersion = QStringLiteral(DUNMARK_VERSION);

// Command identifier of the About item.
constexpr unsigned kIdmAboutBox = 0x0010;
// The "Card" window's item of the system menu (the dialog's context menu
// where there is no system menu to add it to), and its command identifier.
inline const QString kCardMenuItem = QStringLiteral("Card...");
constexpr unsigned kIdmCard = 0x0020;

// Icon 128, with its 32 x 32 and 16 x 16 images.
inline QIcon AppIcon() {
  QIcon icon;
  icon.addFile(QStringLiteral(":/dunmark/icon128-32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/dunmark/icon128-16.png"), QSize(16, 16));
  return icon;
}

}  // namespace dunmark::res
