/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The About box: the application icon, "Dunmark 1.0 版" and an OK button.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class CAboutDialog : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDialog(QWidget* parent = nullptr);

 private:
  QLabel* m_iconLabel = nullptr;
  QLabel* m_textLabel = nullptr;
  QPushButton* m_okButton = nullptr;
};
