// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "data_field.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include <climits>
#include <memory>

#include "gbk_text_and_geometry.h"

CDataField::CDataField(QWidget* parent) : QPlainTextEdit(parent) {
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTabChangesFocus(true);
}

int CDataField::Budget() const {
  if (m_byteLimit < 0) return INT_MAX;
  const QTextCursor cursor = textCursor();
  const int kept = dunmark::GbkByteCount(toPlainText()) - dunmark::GbkByteCount(cursor.selectedText());
  return m_byteLimit - kept;
}

void CDataField::InsertLimited(const QString& text) {
  const QString fitted = dunmark::FitGbkBytes(text, Budget());
  if (fitted.size() < text.size()) QApplication::beep();
  if (!fitted.isEmpty()) insertPlainText(fitted);
}

void CDataField::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter) {
    if (event->modifiers() & Qt::ControlModifier) {
      // Ctrl+Enter starts a new line, as in a dialog's multi-line edit.
      if (!isReadOnly()) InsertLimited(QStringLiteral("\n"));
      event->accept();
    } else {
      // Enter belongs to the dialog (its OK command), not to the field.
      event->ignore();
    }
    return;
  }
  const QString text = event->text();
  const bool typing = !text.isEmpty() && text.at(0).isPrint() &&
                      !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
  if (typing && m_byteLimit >= 0 && !isReadOnly()) {
    if (dunmark::GbkByteCount(text) > Budget()) {
      QApplication::beep();
      event->accept();
      return;
    }
  }
  QPlainTextEdit::keyPressEvent(event);
}

void CDataField::inputMethodEvent(QInputMethodEvent* event) {
  if (m_byteLimit >= 0 && !event->commitString().isEmpty()) {
    const QString fitted = dunmark::FitGbkBytes(event->commitString(), Budget());
    if (fitted != event->commitString()) {
      QApplication::beep();
      QInputMethodEvent cut(event->preeditString(), event->attributes());
      cut.setCommitString(fitted, event->replacementStart(), event->replacementLength());
      QPlainTextEdit::inputMethodEvent(&cut);
      return;
    }
  }
  QPlainTextEdit::inputMethodEvent(event);
}

void CDataField::insertFromMimeData(const QMimeData* source) {
  if (m_byteLimit < 0 || source == nullptr || !source->hasText()) {
    QPlainTextEdit::insertFromMimeData(source);
    return;
  }
  InsertLimited(source->text());
}

void CDataField::contextMenuEvent(QContextMenuEvent* event) {
  std::unique_ptr<QMenu> menu(createStandardContextMenu(event->pos()));
  menu->addSeparator();
  QAction* card = menu->addAction(QStringLiteral("Card..."));
  if (menu->exec(event->globalPos()) == card) emit cardRequested();
}
