/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Shared pieces of the dialog tests: an offscreen application, a watcher
// that answers modal boxes, and a main dialog wired to a simulated reader.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <bit>
#include <memory>

#include "gbk_text_and_geometry.h"
#include "korvel.h"
#if defined(DUNMARK_WITH_SIMULATOR)
#include "korvel_sim.h"
#endif
#include "main_dialog.h"

namespace harness {

// What a modal box showed.
struct Box {
  QString title;
  QString text;
  QString details;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;  // standard buttons
};

// Answers every modal box: records it the moment it is shown, then presses
// OK from a polling timer, once the box runs its modal loop.
class BoxWatcher : public QObject {
 public:
  BoxWatcher() {
    qApp->installEventFilter(this);
    m_timer.setInterval(5);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Answer(); });
    m_timer.start();
  }
  ~BoxWatcher() override { qApp->removeEventFilter(this); }

  // Boxes shown since the last call, oldest first.
  QList<Box> Take() {
    QList<Box> boxes;
    boxes.swap(m_boxes);
    return boxes;
  }
  // The one box shown since the last call.
  Box TakeOne() {
    const QList<Box> boxes = Take();
    if (boxes.size() != 1) {
      qWarning("expected one box, saw %d", int(boxes.size()));
      return {};
    }
    return boxes.first();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      if (auto* box = qobject_cast<QMessageBox*>(watched);
          box != nullptr && !box->property("seen").toBool()) {
        box->setProperty("seen", true);
        // The buttons the box answers with (a "Show Details" toggle is none).
        m_boxes << Box{box->windowTitle(), box->text(), box->detailedText(), box->icon(),
                       std::popcount(unsigned(box->standardButtons().toInt()))};
      }
    }
    return false;
  }

 private:
  void Answer() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible() || box->property("answered").toBool()) return;
    box->setProperty("answered", true);
    box->button(QMessageBox::Ok)->click();
  }

  QTimer m_timer;
  QList<Box> m_boxes;
};

template <typename T>
T* Control(QWidget& dialog, int id) {
  T* control = dialog.findChild<T*>(QString::number(id));
  if (control == nullptr) qFatal("control %d not found", id);
  return control;
}

inline QPushButton* Button(QWidget& dialog, int id) {
  return Control<QPushButton>(dialog, id);
}

#if defined(DUNMARK_WITH_SIMULATOR)
// A main dialog with a simulated reader on a pseudo-terminal, its port
// selected in the port box.
class ReaderDesk {
 public:
  explicit ReaderDesk(const korvel::sim::Options& options = {}) {
    std::string error;
    reader = korvel::sim::PtyReader::Start(options, &error);
    if (!reader) qFatal("simulated reader: %s", error.c_str());
    dialog = std::make_unique<CMainDialog>();
    dialog->AddPortName(QString::fromStdString(reader->path()));
    dialog->show();
  }
  ~ReaderDesk() {
    // The program leaves its port to the process; the tests tidy up.
    if (dialog->PortHandle() != nullptr) Korvel_CommClose(dialog->PortHandle());
    dialog->PortHandle() = nullptr;
    dialog.reset();
  }

  QPushButton* button(int id) { return Button(*dialog, id); }
  // Clicks and returns the one box the click showed.
  Box Press(int id) {
    button(id)->click();
    return boxes.TakeOne();
  }
  // "Open Com" on the reader, expecting success.
  void Open() {
    const Box box = Press(1002);
    if (box.text != QLatin1String("Successful test to brush card slot !"))
      qFatal("open failed: %s (%s)", qPrintable(box.text), qPrintable(box.details));
  }
  void SetFault(korvel::sim::Fault fault, int delayMs = 0) {
    korvel::sim::FaultSettings settings;
    settings.fault = fault;
    settings.delay_ms = delayMs;
    reader->SetFault(settings);
  }
  QString DataField() { return Control<QWidget>(*dialog, 1026)->property("plainText").toString(); }

  std::unique_ptr<korvel::sim::PtyReader> reader;
  std::unique_ptr<CMainDialog> dialog;
  BoxWatcher boxes;
};

#endif  // DUNMARK_WITH_SIMULATOR

// Offscreen platform and a private runtime directory, set before the
// application object exists.
inline void PrepareEnvironment() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static QTemporaryDir runtime;
  QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
}

}  // namespace harness

#define DUNMARK_TEST_MAIN(TestClass)        \
  int main(int argc, char** argv) {         \
    harness::PrepareEnvironment();          \
    QApplication app(argc, argv);           \
    app.setFont(dunmark::DialogFont());     \
    TestClass test;                         \
    return QTest::qExec(&test, argc, argv); \
  }
