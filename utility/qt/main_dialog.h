/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The main dialog "TV628": the connection panel (open, probe, close, the
// reader's rate, exit) and the reader panel (modes, identification text,
// sentinel settings, card data and the active-mode poll timer).
#pragma once

#include <QBasicTimer>
#include <QDialog>
#include <QIcon>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <array>
#include <cstdint>
#include <vector>

#include "card_window.h"
#include "dialog_controller.h"
#include "dunmark_core.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CDataField;

// The Qt face of the dialog: the widgets, and every press, tick and end
// passed to the controller (core/dialog_controller.h), which decides.
class CMainDialog : public QDialog, private dunmark::core::View {
  Q_OBJECT

 public:
  // Timer identifier of the active-mode poll timer.
  static constexpr int kPollTimer = dunmark::core::kPollTimerId;
  static constexpr int kPollPeriodMs = dunmark::core::kPollPeriodMs;
  // Most bytes the user may type into the data field.
  static constexpr int kDataPacketsLimit = dunmark::core::kDataFieldByteLimit;

  explicit CMainDialog(QWidget* parent = nullptr);
  ~CMainDialog() override;

  // Adds `name` to the port box (once) and, with `select`, selects it.
  void AddPortName(const QString& name, bool select = true);

  bool IsPollTimerRunning() const { return m_pollTimer.isActive(); }
  // True while a library call of the dialog waits for the reader.
  bool IsWaiting() const { return m_controller.IsWaiting(); }
  // The port handle, the controller's g_hComm: null while no port is open.
  void*& PortHandle() { return m_controller.g_hComm; }

  // The system command of the About item (0x0010 to 0x001F) opens the About
  // box, that of the Card item (0x0020 to 0x002F) the "Card" window.
  // Returns whether the command was handled.
  bool OnSysCommand(unsigned commandId);

  // Opens (or raises) the "Card" window with the last card read; a new one
  // is placed with PlaceHelperWindow.
  void OnShowCard();
  // Moves a top-level helper window (the "Card" window, the "Simulated
  // reader") beside the dialog, inside the available area of the dialog's
  // screen, shrunk to fit it; where there is no room beside the dialog, it
  // covers as little as it can of the dialog's controls and the program's
  // other windows.  Before the window is first shown its frame is taken to
  // be the dialog's.
  void PlaceHelperWindow(QWidget* window) const;
  CCardWindow* CardWindow() const { return m_cardWindow; }

 public slots:
  void accept() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void timerEvent(QTimerEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
#if !defined(Q_OS_WIN)
  void contextMenuEvent(QContextMenuEvent* event) override;
#else
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  void CreateControls();
  // The members that stand for controls, found by their identifiers.
  void BindControls();
  void OnInitDialog();
  // Saves the text members from their fields (save) or loads the fields from
  // them; saving fails, with the message on too many characters, when the
  // data field holds more than its limit.
  bool DoDataExchange(bool save);
  // A modal box owned by the dialog with a single OK button; `details` (the
  // reason of a failure) go into the box's details.
  void ShowMessage(QMessageBox::Icon icon, const QString& title, const QString& text,
                   const QString& details = {});

  // The dialog's face for its controller: widget work only.
  void ShowBox(dunmark::core::Box box, const std::string& details) override;
  void ShowReaderText(const std::string& text) override;
  void SetDataField(const std::string& text) override;
  void SetEnabled(int controlId, bool enabled) override;
  std::string SelectedItem(int comboId) const override;
  uint8_t FirstByte(int editId) const override;
  bool IsChecked(int checkBoxId) const override;
  bool CanPress(int buttonId) const override;
  void StartTimer() override;
  void StopTimer() override;
  void ScheduleDelivery() override;
  Korvel_Pump MessagePump() const override;
  void ShowAbout() override;
  void CardNoted(const std::vector<uint8_t>& card, const std::array<uint8_t, 8>& record) override;
  void DeliverEnd(dunmark::core::End end) override;
  void ExitProgram() override;

  // Bound controls and text members, as the dialog's data members.
  QCheckBox* m_enterMark = nullptr;
  QComboBox* m_baudChooseBox = nullptr;
  QComboBox* m_portBox = nullptr;
  QComboBox* m_baudBox = nullptr;
  QString m_dataPackets;
  QIcon m_appIcon;

  // The other controls the dialog reads.
  QLineEdit* m_track1Start = nullptr;
  QLineEdit* m_track1End = nullptr;
  QLineEdit* m_track2Start = nullptr;
  QLineEdit* m_track2End = nullptr;
  QLineEdit* m_track3Start = nullptr;
  QLineEdit* m_track3End = nullptr;
  CDataField* m_dataField = nullptr;

  QBasicTimer m_pollTimer;
  QPointer<CCardWindow> m_cardWindow;
  dunmark::core::DialogController m_controller{*this};
};
