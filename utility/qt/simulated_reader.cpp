// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "simulated_reader.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

#include "korvel_sim.h"

std::unique_ptr<CSimulatedReader> CSimulatedReader::Start(const QString& linkPath, QString* error) {
  std::unique_ptr<CSimulatedReader> reader(new CSimulatedReader(linkPath));
  if (!reader->Plug(error)) return nullptr;
  return reader;
}

QString CSimulatedReader::DefaultLinkPath() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (dir.isEmpty() || !QDir(dir).exists()) dir = QDir::tempPath();
  return QDir(dir).filePath(QStringLiteral("dunmark-reader-%1").arg(QCoreApplication::applicationPid()));
}

CSimulatedReader::CSimulatedReader(const QString& linkPath) : m_linkPath(linkPath) {}

CSimulatedReader::~CSimulatedReader() = default;

korvel::sim::PtyReader* CSimulatedReader::Reader() const {
  return m_reader.get();
}

bool CSimulatedReader::IsPlugged() const {
  return m_reader && !m_reader->HungUp();
}

void CSimulatedReader::HangUp() {
  if (m_reader) m_reader->HangUp();
}

bool CSimulatedReader::Plug(QString* error) {
  if (IsPlugged()) return true;
  korvel::sim::Options options;
  options.link_path = m_linkPath.toStdString();
  std::string why;
  m_reader.reset();  // the old pty and its link go first
  m_reader = korvel::sim::PtyReader::Start(options, &why);
  if (!m_reader && error != nullptr) *error = QString::fromStdString(why);
  return m_reader != nullptr;
}
