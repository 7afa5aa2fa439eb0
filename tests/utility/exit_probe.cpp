// Opens the simulated reader in the main dialog, then presses "Exit".  The
// process must end at once with status 0, with no box shown: "after exit"
// on standard output would mean that Exit returned.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

#include "korvel_sim.h"
#include "main_dialog.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  auto reader = korvel::sim::PtyReader::Start();
  if (!reader) return 3;
  CMainDialog dialog;
  dialog.AddPortName(QString::fromStdString(reader->path()));
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
    if (g_hComm == nullptr) std::exit(4);
    std::fflush(stdout);
    dialog.findChild<QPushButton*>(QStringLiteral("1004"))->click();
    std::printf("after exit\n");
  });
  dialog.exec();
  std::printf("dialog ended\n");
  return 5;
}
