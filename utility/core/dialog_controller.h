/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// What the main dialog "TV628" does, whatever draws it: the port handle and
// the open/closed state, the eleven handlers (which library call, which box
// with which details, which controls change), the poll timer's capture, the
// presses and ticks held back while a library call waits, and the last card.
// A face of the dialog (Qt, Win32) implements View with widget code only and
// passes every press, tick and end to the controller.  Plain C++: it calls
// the library through ReaderCalls, so that a test can script the reader.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "dunmark_core.h"
#include "korvel.h"

namespace dunmark::core {

// The library's calls the dialog makes, one to one (see korvel.h).
class ReaderCalls {
 public:
  virtual ~ReaderCalls() = default;
  virtual void* Open(const char* port, uint32_t baud) = 0;
  virtual std::string OpenFailureReason() = 0;  // ReasonOf(Korvel_GetOpenError)
  virtual int Close(void* handle) = 0;
  virtual void SetPump(void* handle, Korvel_Pump pump) = 0;
  virtual int Search(void* handle, unsigned char* mode) = 0;
  virtual int Reset(void* handle, unsigned char* text) = 0;
  virtual int ReadMode(void* handle, uint32_t mode) = 0;
  virtual int ReadData(void* handle, unsigned char* data) = 0;
  virtual int SetCommBaud(void* handle, uint32_t baud) = 0;
  virtual int SetTrack(void* handle, const unsigned char* record) = 0;
  virtual int GetTrack(void* handle, unsigned char* data) = 0;
};

// The library itself.
ReaderCalls& Library();

// The dialog's end: Enter outside a push button (OK), or Esc and the close
// box (Cancel).
enum class End { kNone, kOk, kCancel };

// The About command, among the buttons' identifiers.
inline constexpr int kAboutCommand = IDM_ABOUTBOX;

// A face of the dialog.  Texts are UTF-8 unless they say otherwise.
class View {
 public:
  virtual ~View() = default;
  // A modal box; returns once it is closed.  `details` may be empty.
  virtual void ShowBox(Box box, const std::string& details) = 0;
  // The "Get Version" box (kVersionTitle, information icon) with the
  // reader's text: code page 936 bytes, line breaks "\r\n".
  virtual void ShowReaderText(const std::string& text) = 0;
  // The data field's text: code page 936 bytes, line breaks "\r\n".
  virtual void SetDataField(const std::string& text) = 0;
  virtual void SetEnabled(int controlId, bool enabled) = 0;
  // A combo box's selected list item as the library takes a port name;
  // empty without a selection (the user typed into its edit field).
  virtual std::string SelectedItem(int comboId) const = 0;
  // The first byte (code page 936) of an edit field's text; 0 when empty.
  virtual uint8_t FirstByte(int editId) const = 0;
  virtual bool IsChecked(int checkBoxId) const = 0;
  // Whether a press held back may still reach its button (enabled, shown).
  virtual bool CanPress(int buttonId) const = 0;
  // (Re)starts the poll timer (kPollTimerId every kPollPeriodMs); stops it.
  virtual void StartTimer() = 0;
  virtual void StopTimer() = 0;
  // Calls DialogController::DeliverHeldBack() soon, once the handler under
  // way has returned to the event loop.
  virtual void ScheduleDelivery() = 0;
  // The pump the library runs while a call waits; none by default.
  virtual Korvel_Pump MessagePump() const { return nullptr; }
  virtual void ShowAbout() = 0;
  // A capture or command-mode read brought a card (the bytes up to the
  // first zero), decoded with `record`.
  virtual void CardNoted(const std::vector<uint8_t>& /*card*/, const std::array<uint8_t, 8>& /*record*/) {}
  // Ends the dialog as `end` would; delivered when an end was held back.
  virtual void DeliverEnd(End end) = 0;
  // Ends the program through its event loop, at once: the dialog is not
  // ended first, the port is not closed and the reader is told nothing.
  virtual void ExitProgram() = 0;
};

class DialogController {
 public:
  explicit DialogController(View& view, ReaderCalls& reader = Library());
  DialogController(const DialogController&) = delete;
  DialogController& operator=(const DialogController&) = delete;

  // A press of a button (IDC_*) or the About command.  While a library call
  // waits it is held back and delivered, in order, when the handler under
  // way has finished: no second command starts on the port in the middle of
  // one, none is lost.
  void Press(int commandId);
  // A tick of the poll timer (held back alike, once).
  void Tick();
  // Whether the dialog may end now; while a call waits the end is held back
  // and delivered with View::DeliverEnd.
  bool MayEnd(End end);
  void DeliverHeldBack();

  bool IsWaiting() const { return m_callsWaiting > 0; }
  bool IsPollTimerRunning() const { return m_state.timerRunning; }
  // The last card read (bytes up to the first zero) and the record of
  // "Data Setting" (the reader's defaults before) to decode it with.
  const std::vector<uint8_t>& LastCard() const { return m_lastCard; }
  const std::array<uint8_t, 8>& TrackRecord() const { return m_trackRecord; }

  // The port handle: null while no port is open.  The dialog leaves an open
  // port to the process when it ends.
  void* g_hComm = nullptr;

 private:
  class HandlerScope;
  template <typename Call>
  int RunLibraryCall(Call call);

  void OnOpenCom();
  void OnCloseCom();
  void OnBaudChoose();
  void OnActiveMode();
  void OnCommandMode();
  void OnSearchMode();
  void OnGetVersion();
  void OnCommandReadCard();
  void OnDataSetting();
  void OnAbout();
  void OnTimer();

  // A failed call's box, and the port forgotten when the reader was gone.
  void Failed(Box box, int status);
  // After a call that found the reader gone: the port is closed, the handle
  // null, the buttons show the closed state and the timer is stopped.
  void ForgetDisconnectedReader(int status);
  // Applies an outcome to the two connection buttons and the poll timer.
  void Apply(Event event);
  void NoteCard(const unsigned char* data, size_t size);

  View& m_view;
  ReaderCalls& m_reader;
  PanelState m_state;
  std::array<uint8_t, 8> m_trackRecord{'%', '?', ';', '?', '+', '?', '7', '1'};
  std::vector<uint8_t> m_lastCard;
  int m_callsWaiting = 0;
  int m_handlersRunning = 0;
  std::vector<int> m_heldBackPresses;  // in order
  bool m_heldBackTick = false;
  End m_heldBackEnd = End::kNone;
};

}  // namespace dunmark::core
