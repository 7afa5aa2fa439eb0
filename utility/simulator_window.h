// "Simulated reader": a small window over the in-process simulated reader,
// to swipe a sample card and switch faults.
#pragma once

#include <QBasicTimer>
#include <QWidget>

class QComboBox;
class QLabel;
class QPushButton;
class QSpinBox;

namespace korvel::sim {
class PtyReader;
}

class CSimulatorWindow : public QWidget {
  Q_OBJECT

 public:
  explicit CSimulatorWindow(korvel::sim::PtyReader& reader, QWidget* parent = nullptr);

 protected:
  void timerEvent(QTimerEvent* event) override;

 private:
  void OnSwipe();
  void OnFaultChanged();
  void ShowState();

  korvel::sim::PtyReader& m_reader;
  QComboBox* m_cardBox = nullptr;
  QPushButton* m_swipe = nullptr;
  QComboBox* m_faultBox = nullptr;
  QSpinBox* m_delay = nullptr;
  QLabel* m_state = nullptr;
  QBasicTimer m_refresh;
};
