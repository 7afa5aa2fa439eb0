/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The main dialog "TV628" on Windows, from dialog template 102: the
// connection panel (open, probe, close, the reader's rate, exit) and the
// reader panel (modes, identification text, sentinel settings, card data and
// the active-mode poll timer).  Plain Win32: a dialog procedure over the
// toolkit-free core.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "dialog_controller.h"
#include "dunmark_core.h"

namespace dunmark::win {

// The Win32 face of the dialog: the dialog procedure, and every press, tick
// and end passed to the controller (core/dialog_controller.h), which decides.
class CMainDialog : private core::View {
 public:
  // `ports`: names the command line adds to the port box (the last one is
  // selected).
  explicit CMainDialog(std::vector<std::wstring> ports);
  CMainDialog(const CMainDialog&) = delete;
  CMainDialog& operator=(const CMainDialog&) = delete;

  // Runs the dialog modally; returns how it ended (IDOK or IDCANCEL).
  INT_PTR DoModal(HINSTANCE instance);

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

  BOOL OnInitDialog();
  void OnCommand(int id);
  void OnSysCommand(WPARAM commandId);
  bool OnPaint();
  void OnOK();
  void OnCancel();
  // Saves the text members from their fields; fails, with the message on
  // too many characters, when the data field holds more than its limit.
  bool DoDataExchange();

  void AddPortName(const std::wstring& name);
  // The text of the selected list item of a combo box; empty without one
  // (the user typed into its edit field).
  std::wstring SelectedItemText(int comboId) const;
  std::wstring ItemText(int id) const;

  // The dialog's face for its controller: widget work only.
  void ShowBox(core::Box box, const std::string& details) override;
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
  void ShowAbout() override;
  void DeliverEnd(core::End end) override;
  void ExitProgram() override;

  HWND m_hwnd = nullptr;
  HICON m_appIcon = nullptr;
  std::vector<std::wstring> m_ports;
  // The text members of the dialog's data exchange.
  std::wstring m_dataPackets;

  // The library's waits dispatch this thread's messages, so clicks, ticks,
  // the About command and the dialog's end reach the dialog while a call
  // waits: the controller holds them back.
  core::DialogController m_controller{*this};
};

}  // namespace dunmark::win
