/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// "Card": the last card the dialog read, decoded: the tracks found, the
// card's fields, every check with its result, the account number masked
// unless "Reveal" is ticked (off at every start).
#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <vector>

class QCheckBox;
class QLabel;
class QTreeWidget;

class CCardWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CCardWindow(QWidget* parent = nullptr);

  // The bytes of a capture or command-mode read, and the track output
  // settings record they are read with.
  void SetCard(const std::vector<uint8_t>& bytes, const std::array<uint8_t, 8>& record);
  bool IsRevealed() const;

 private:
  void Show();

  std::vector<uint8_t> m_bytes;
  std::array<uint8_t, 8> m_record{};
  bool m_hasCard = false;
  QLabel* m_source = nullptr;
  QCheckBox* m_reveal = nullptr;
  QTreeWidget* m_tree = nullptr;
};
