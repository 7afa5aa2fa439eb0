// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "card_window.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QTime>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dunmark_core.h"
#include "gbk_text_and_geometry.h"
#include "korvel_card.h"

namespace {

QString Printable(uint8_t byte) {
  if (byte == 0) return QStringLiteral("none");
  if (byte >= 0x20 && byte < 0x7F) return QString(QChar(byte));
  return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

}  // namespace

CCardWindow::CCardWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle(QStringLiteral("Card"));
  setFont(dunmark::DialogFont());
  auto* layout = new QVBoxLayout(this);
  m_source = new QLabel(QStringLiteral("No card has been read yet."), this);
  m_source->setTextFormat(Qt::PlainText);
  m_source->setWordWrap(true);
  layout->addWidget(m_source);
  m_reveal = new QCheckBox(QStringLiteral("Reveal the full card data"), this);
  m_reveal->setToolTip(QStringLiteral("Shows the account number and discretionary data in full."));
  layout->addWidget(m_reveal);
  m_tree = new QTreeWidget(this);
  m_tree->setColumnCount(3);
  m_tree->setHeaderLabels({QStringLiteral("Item"), QStringLiteral("Result"), QStringLiteral("Value")});
  m_tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  m_tree->setRootIsDecorated(false);
  m_tree->setAlternatingRowColors(true);
  layout->addWidget(m_tree, 1);
  resize(640, 520);
  connect(m_reveal, &QCheckBox::toggled, this, &CCardWindow::Show);
  Show();
}

bool CCardWindow::IsRevealed() const {
  return m_reveal->isChecked();
}

void CCardWindow::SetCard(const std::vector<uint8_t>& bytes, const std::array<uint8_t, 8>& record) {
  m_bytes = bytes;
  m_record = record;
  m_hasCard = true;
  m_source->setText(QStringLiteral("Read at %1, %2 byte(s), with the sentinels %3 %4  %5 %6  %7 %8.")
                        .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")))
                        .arg(bytes.size())
                        .arg(Printable(record[0]), Printable(record[1]), Printable(record[2]),
                             Printable(record[3]), Printable(record[4]), Printable(record[5])));
  Show();
}

void CCardWindow::Show() {
  m_tree->clear();
  if (!m_hasCard) return;
  Korvel_Card card;
  const uint32_t flags = m_reveal->isChecked() ? KORVEL_CARD_REVEAL : 0u;
  if (Korvel_DecodeCard(m_bytes.data(), m_bytes.size(), m_record.data(), dunmark::core::TodayYymm(), flags,
                        &card) != KORVEL_OK) {
    m_source->setText(QStringLiteral("The card data could not be decoded."));
    return;
  }
  using Kind = dunmark::core::CardLine::Kind;
  QTreeWidgetItem* sections[3] = {nullptr, nullptr, nullptr};
  const QString names[3] = {QStringLiteral("Tracks"), QStringLiteral("Fields"), QStringLiteral("Checks")};
  for (const dunmark::core::CardLine& line : dunmark::core::DescribeCard(card)) {
    const int section = static_cast<int>(line.kind);
    if (sections[section] == nullptr) {
      sections[section] = new QTreeWidgetItem(m_tree, {names[section]});
      QFont bold = sections[section]->font(0);
      bold.setBold(true);
      sections[section]->setFont(0, bold);
    }
    auto* item = new QTreeWidgetItem(
        m_tree, {QString::fromStdString(line.label), QString(), QString::fromStdString(line.value)});
    if (line.kind == Kind::kCheck) {
      item->setText(1, QString::fromLatin1(dunmark::core::CheckResultText(line.check)));
      if (line.check == KORVEL_CHECK_FAILED) item->setForeground(1, Qt::red);
      if (line.check == KORVEL_CHECK_PASSED) item->setForeground(1, Qt::darkGreen);
    }
  }
}
