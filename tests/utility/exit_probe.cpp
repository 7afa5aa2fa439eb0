// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Starts the program as main() does, with the simulated reader's port,
// presses "Open Com", then "Exit".  The event loop must end at once with
// status 0: the dialog not ended first, the port not closed, nothing more
// sent to the reader than the probe.
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "korvel_sim.h"
#include "main_dialog.h"
#include "utility_app.h"

int main(int argc, char** argv) {
  auto reader = korvel::sim::PtyReader::Start();
  if (!reader) return 3;
  CommandLine commandLine;
  commandLine.ports << QString::fromStdString(reader->path());
  CUtilityApp app(argc, argv);
  int exitCode = 0;
  if (!app.InitInstance(commandLine, &exitCode)) return 3;
  CMainDialog& dialog = *app.MainDialog();
  bool finished = false;
  QObject::connect(&dialog, &QDialog::finished, [&] { finished = true; });
  // Answer the probe's success box.
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      std::printf("box: %s\n", qPrintable(box->text()));
      box->button(QMessageBox::Ok)->click();
    }
  });
  answer.start(5);
  QTimer::singleShot(0, &dialog, [&] {
    dialog.findChild<QPushButton*>(QStringLiteral("1002"))->click();
    if (dialog.PortHandle() == nullptr) std::exit(4);
    reader->ClearReceived();
    dialog.findChild<QPushButton*>(QStringLiteral("1004"))->click();
    // Anything the loop would still run after "Exit" shows here.
    QTimer::singleShot(0, [] { std::printf("the loop ran on\n"); });
  });
  const int status = app.exec();
  std::printf("ended with %d, dialog %s, port %s, %zu byte(s) sent after the probe\n", status,
              finished ? "finished" : "not finished", dialog.PortHandle() != nullptr ? "open" : "closed",
              reader->Received().size());
  return status;
}
