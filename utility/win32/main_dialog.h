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

#include "dunmark_core.h"

// The program-wide port handle: null while no port is open.
extern void* g_hComm;

namespace dunmark::win {

class CMainDialog {
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

  // Connection panel.
  void OnOpenCom();
  void OnCloseCom();
  void OnExit();
  void OnBaudChoose();
  // Reader panel.
  void OnActiveMode();
  void OnCommandMode();
  void OnSearchMode();
  void OnGetVersion();
  void OnCommandReadCard();
  void OnClearInformation();
  void OnDataSetting();
  void OnTimer(UINT_PTR timerId);

  void AddPortName(const std::wstring& name);
  // The text of the selected list item of a combo box; empty without one
  // (the user typed into its edit field).
  std::wstring SelectedItemText(int comboId) const;
  std::wstring ItemText(int id) const;
  void SetDataField(const std::wstring& text);

  void ShowBox(core::Box box, const std::string& reason = {});
  // Applies an outcome to the two connection buttons and the poll timer.
  void Apply(core::Event event);
  // After a call that found the reader gone: the port is closed, `g_hComm`
  // is null, the buttons show the closed state and the timer is stopped.
  void ForgetDisconnectedReader(int status);

  // The library's waits dispatch this thread's messages, so clicks, ticks,
  // the About command and the dialog's end reach the dialog while a call
  // waits.  They are held back and delivered, in order, when the handler
  // under way has finished: none runs inside another call, none is lost.
  template <typename Call>
  int RunLibraryCall(Call call);
  bool IsWaiting() const { return m_callsWaiting > 0; }
  bool HoldBack(int id);
  class HandlerScope;
  void DeliverHeldBack();

  HWND m_hwnd = nullptr;
  HICON m_appIcon = nullptr;
  std::vector<std::wstring> m_ports;
  // The text members of the dialog's data exchange.
  std::wstring m_dataPackets;

  core::PanelState m_state;
  int m_callsWaiting = 0;
  int m_handlersRunning = 0;
  std::vector<int> m_heldBackCommands;  // button identifiers, in order
  bool m_heldBackAbout = false;
  bool m_heldBackTick = false;
  int m_heldBackEnd = 0;  // IDOK or IDCANCEL
};

}  // namespace dunmark::win
