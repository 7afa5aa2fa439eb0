/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The multi-line data field (edit 1026): card data shown by the program, and
// text the user may type, limited in bytes of code page 936.
#pragma once

#include <QPlainTextEdit>

class CDataField : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit CDataField(QWidget* parent = nullptr);

  // Limits what the user types or pastes to `bytes` bytes (GbkByteCount);
  // a negative value removes the limit.  Text the program sets is never cut.
  void SetByteLimit(int bytes) { m_byteLimit = bytes; }

 signals:
  // "Card..." was chosen from the field's context menu.
  void cardRequested();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void insertFromMimeData(const QMimeData* source) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  // Bytes the user may still add in place of the current selection.
  int Budget() const;
  // Inserts what fits of `text` in place of the selection; beeps when cut.
  void InsertLimited(const QString& text);

  int m_byteLimit = -1;
};
