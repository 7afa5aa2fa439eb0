/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// "Simulated reader": a small window over the in-process simulated reader,
// to swipe a sample card, switch faults, hang the line up and plug it in
// again.
#pragma once

#include <QBasicTimer>
#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;
class CSimulatedReader;

class CSimulatorWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CSimulatorWindow(CSimulatedReader& reader, QWidget* parent = nullptr);

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  void OnSwipe();
  void OnFaultChanged();
  void OnHangUp();
  void OnPlug();
  void ShowState();

  CSimulatedReader& m_reader;
  QLabel* m_port = nullptr;
  QComboBox* m_cardBox = nullptr;
  QPushButton* m_swipe = nullptr;
  QComboBox* m_faultBox = nullptr;
  QSpinBox* m_delay = nullptr;
  QPushButton* m_hangUp = nullptr;
  QPushButton* m_plug = nullptr;
  QLabel* m_state = nullptr;
  QBasicTimer m_refresh;
};
