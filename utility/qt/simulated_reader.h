/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The in-process simulated reader of `dunmark --simulate`: a reader model on
// a pseudo-terminal, reached through a link whose path stays the same when
// the reader is hung up and plugged in again (each plug makes a new pty).
#pragma once

#include <QString>

#include <memory>

namespace korvel::sim {
class PtyReader;
}

class CSimulatedReader {
 public:
  // Starts the reader with its link at `linkPath`; null with `error` set
  // when it cannot start.
  static std::unique_ptr<CSimulatedReader> Start(const QString& linkPath, QString* error);
  // A link path of this process in the user's runtime directory.
  static QString DefaultLinkPath();
  ~CSimulatedReader();

  // The name to open: the link.
  QString PortName() const { return m_linkPath; }
  // The reader, or null while it is unplugged.
  korvel::sim::PtyReader* Reader() const;
  bool IsPlugged() const;
  // Closes the line: a host waiting on it sees the device go away.
  void HangUp();
  // After a hang-up: a new reader on a new pty, the link pointed at it.
  bool Plug(QString* error);

 private:
  explicit CSimulatedReader(const QString& linkPath);
  QString m_linkPath;
  std::unique_ptr<korvel::sim::PtyReader> m_reader;
};
