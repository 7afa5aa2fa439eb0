// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "simulator_window.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTimerEvent>

#include "gbk_text_and_geometry.h"
#include "korvel_sim.h"
#include "simulated_reader.h"

namespace {

using korvel::sim::Fault;

QString SentinelText(uint8_t byte) {
  if (byte == 0) return QStringLiteral("(none)");
  if (byte >= 0x20 && byte < 0x7f) return QString(QChar(byte));
  return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

}  // namespace

CSimulatorWindow::CSimulatorWindow(CSimulatedReader& reader, QWidget* parent)
    : QWidget(parent, Qt::Window), m_reader(reader) {
  setWindowTitle(QStringLiteral("Simulated reader"));
  setFont(dunmark::DialogFont());

  auto* form = new QFormLayout(this);
  m_port = new QLabel(reader.PortName(), this);
  m_port->setTextInteractionFlags(Qt::TextSelectableByMouse);
  form->addRow(QStringLiteral("Port:"), m_port);

  m_cardBox = new QComboBox(this);
  m_cardBox->setAccessibleName(QStringLiteral("Card"));
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) {
    m_cardBox->addItem(QString::fromStdString(card.name));
  }
  m_swipe = new QPushButton(QStringLiteral("Swipe"), this);
  auto* cardRow = new QHBoxLayout;
  cardRow->addWidget(m_cardBox, 1);
  cardRow->addWidget(m_swipe);
  form->addRow(QStringLiteral("Card:"), cardRow);

  m_faultBox = new QComboBox(this);
  m_faultBox->setAccessibleName(QStringLiteral("Fault"));
  // The simulator's fault table, in its order: the list's index is the entry.
  for (const korvel::sim::FaultInfo& info : korvel::sim::FaultTable())
    m_faultBox->addItem(QString::fromUtf8(info.label));
  form->addRow(QStringLiteral("Fault:"), m_faultBox);

  m_delay = new QSpinBox(this);
  m_delay->setAccessibleName(QStringLiteral("Delay"));
  m_delay->setRange(0, 10000);
  m_delay->setSingleStep(500);
  m_delay->setSuffix(QStringLiteral(" ms"));
  // Late but within the library's 3000 ms reply wait; raise it past that to
  // see a timeout.
  m_delay->setValue(1500);
  m_delay->setToolTip(QStringLiteral("The library waits 3000 ms for the start of a reply."));
  m_delay->setEnabled(false);
  form->addRow(QStringLiteral("Delay:"), m_delay);

  m_hangUp = new QPushButton(QStringLiteral("Hang up"), this);
  m_hangUp->setToolTip(QStringLiteral("Close the line, as if the reader were unplugged."));
  m_plug = new QPushButton(QStringLiteral("Plug in"), this);
  m_plug->setToolTip(QStringLiteral("Connect the reader again (on a new line, the same port name)."));
  auto* lineRow = new QHBoxLayout;
  lineRow->addWidget(m_hangUp);
  lineRow->addWidget(m_plug);
  form->addRow(QStringLiteral("Line:"), lineRow);

  m_state = new QLabel(this);
  m_state->setTextFormat(Qt::PlainText);
  form->addRow(QStringLiteral("Reader:"), m_state);

  connect(m_swipe, &QPushButton::clicked, this, &CSimulatorWindow::OnSwipe);
  connect(m_faultBox, &QComboBox::currentIndexChanged, this, &CSimulatorWindow::OnFaultChanged);
  connect(m_delay, &QSpinBox::valueChanged, this, &CSimulatorWindow::OnFaultChanged);
  connect(m_hangUp, &QPushButton::clicked, this, &CSimulatorWindow::OnHangUp);
  connect(m_plug, &QPushButton::clicked, this, &CSimulatorWindow::OnPlug);

  ShowState();
  m_refresh.start(250, this);
}

void CSimulatorWindow::OnSwipe() {
  const int index = m_cardBox->currentIndex();
  if (index >= 0 && m_reader.IsPlugged()) m_reader.Reader()->Swipe(size_t(index));
  ShowState();
}

void CSimulatorWindow::OnHangUp() {
  m_reader.HangUp();
  ShowState();
}

void CSimulatorWindow::OnPlug() {
  QString error;
  if (m_reader.Plug(&error)) OnFaultChanged();  // the new reader takes the chosen fault
  ShowState();
  if (!error.isEmpty()) m_state->setText(QStringLiteral("cannot plug in: %1").arg(error));
}

void CSimulatorWindow::OnFaultChanged() {
  const int index = m_faultBox->currentIndex();
  const auto faults = korvel::sim::FaultTable();
  if (index < 0 || size_t(index) >= faults.size()) return;
  korvel::sim::FaultSettings settings;
  settings.fault = faults[size_t(index)].fault;
  settings.delay_ms = m_delay->value();
  m_delay->setEnabled(settings.fault == Fault::kSlow);
  if (m_reader.IsPlugged()) m_reader.Reader()->SetFault(settings);
}

void CSimulatorWindow::ShowState() {
  const bool plugged = m_reader.IsPlugged();
  m_swipe->setEnabled(plugged);
  m_hangUp->setEnabled(plugged);
  m_plug->setEnabled(!plugged);
  if (!plugged) {
    m_state->setText(QStringLiteral("hung up: press \"Plug in\" to connect it again"));
    return;
  }
  const korvel::sim::ReaderState state = m_reader.Reader()->State();
  const auto& s = state.track_settings;
  m_state->setText(QStringLiteral("%1 mode, %2 baud\nsentinels %3 %4  %5 %6  %7 %8, Enter mark %9")
                       .arg(state.mode == '0' ? QStringLiteral("active") : QStringLiteral("command"))
                       .arg(state.baud)
                       .arg(SentinelText(s[0]), SentinelText(s[1]), SentinelText(s[2]), SentinelText(s[3]),
                            SentinelText(s[4]), SentinelText(s[5]))
                       .arg(s[7] == '1' ? QStringLiteral("on") : QStringLiteral("off")));
}

void CSimulatorWindow::timerEvent(QTimerEvent* event) {
  if (event->timerId() == m_refresh.timerId()) {
    ShowState();
    return;
  }
  QWidget::timerEvent(event);
}
