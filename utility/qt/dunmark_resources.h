/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Dunmark's resources: the texts of its dialogs and menu item (from the
// core, shared with the Windows dialog), and its icon.
#pragma once

#include <QIcon>
#include <QString>

#include "dunmark_core.h"

namespace dunmark::res {

inline const QString kMainCaption = QString::fromUtf8(core::kMainCaption);
inline const QString kAboutCaption = QString::fromUtf8(core::kAboutCaption);
inline const QString kAboutText = QString::fromUtf8(core::kAboutText);
inline const QString kAboutOk = QString::fromUtf8(core::kAboutOk);
// String 101: the About item of the system menu (the dialog's context menu
// where the platform has no system menu to add it to).
inline const QString kAboutMenuItem = QString::fromUtf8(core::kAboutMenuItem);
// The release (project(VERSION) in CMakeLists.txt, passed in by the build).
inline const QString kVersion = QStringLiteral(DUNMARK_VERSION);

// Command identifier of the About item.
constexpr unsigned kIdmAboutBox = IDM_ABOUTBOX;
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
