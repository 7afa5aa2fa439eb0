// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "about_dialog.h"

#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include "dunmark_resources.h"
#include "gbk_text_and_geometry.h"

CAboutDialog::CAboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFont(dunmark::DialogFont());
  setWindowTitle(dunmark::res::kAboutCaption);
  const dunmark::core::DialogTemplate& layout = dunmark::core::AboutBox();
  const dunmark::DialogUnits du = dunmark::DialogUnits::FromFont(font());
  setFixedSize(du.X(layout.w), du.Y(layout.h));

  for (const dunmark::core::ControlTemplate& c : layout.controls) {
    switch (c.kind) {
      case dunmark::core::ControlKind::kIcon:
        m_iconLabel = new QLabel(this);
        m_iconLabel->setPixmap(dunmark::res::AppIcon().pixmap(32, 32));
        m_iconLabel->setGeometry(du.X(c.x), du.Y(c.y), 32, 32);
        break;
      case dunmark::core::ControlKind::kLabel:
        m_textLabel = new QLabel(this);
        m_textLabel->setTextFormat(Qt::PlainText);
        m_textLabel->setText(QString::fromUtf8(c.caption));
        m_textLabel->setGeometry(du.Rect(c.x, c.y, c.w, c.h));
        break;
      case dunmark::core::ControlKind::kDefaultButton:
        m_okButton = new QPushButton(QString::fromUtf8(c.caption), this);
        m_okButton->setObjectName(QString::number(c.id));
        m_okButton->setGeometry(du.Rect(c.x, c.y, c.w, c.h));
        m_okButton->setDefault(true);
        m_okButton->setFocus();
        connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);
        break;
      default: break;
    }
  }
}
