// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "dialog_controller.h"

#include <algorithm>
#include <utility>

namespace dunmark::core {

namespace {

class KorvelLibrary final : public ReaderCalls {
 public:
  void* Open(const char* port, uint32_t baud) override { return Korvel_CommOpenWithBaud(port, baud); }
  std::string OpenFailureReason() override {
    Korvel_OpenError error;
    Korvel_GetOpenError(&error);
    return ReasonOf(error);
  }
  int Close(void* handle) override { return Korvel_CommClose(handle); }
  void SetPump(void* handle, Korvel_Pump pump) override { Korvel_SetMessagePump(handle, pump, nullptr); }
  int Search(void* handle, unsigned char* mode) override { return Korvel_Search(handle, mode); }
  int Reset(void* handle, unsigned char* text) override { return Korvel_Reset(handle, text); }
  int ReadMode(void* handle, uint32_t mode) override { return Korvel_ReadMode(handle, mode); }
  int ReadData(void* handle, unsigned char* data) override { return Korvel_ReadData(handle, data); }
  int SetCommBaud(void* handle, uint32_t baud) override { return Korvel_SetCommBaud(handle, baud); }
  int SetTrack(void* handle, const unsigned char* record) override { return Korvel_SetTrack(handle, record); }
  int GetTrack(void* handle, unsigned char* data) override { return Korvel_GetTrack(handle, data); }
};

// The reader's text of a result area as the dialog shows it.
std::string ShownText(const unsigned char* area, size_t size) {
  return ReaderBytes(area, size, "\r\n");
}

}  // namespace

ReaderCalls& Library() {
  static KorvelLibrary library;
  return library;
}

// A handler under way.  When the last one finishes, what was held back while
// its calls waited is delivered, once this handler has returned.
class DialogController::HandlerScope {
 public:
  explicit HandlerScope(DialogController* c) : m_c(c) { ++m_c->m_handlersRunning; }
  ~HandlerScope() {
    if (--m_c->m_handlersRunning == 0 &&
        (!m_c->m_heldBackPresses.empty() || m_c->m_heldBackTick || m_c->m_heldBackEnd != End::kNone))
      m_c->m_view.ScheduleDelivery();
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  DialogController* m_c;
};

DialogController::DialogController(View& view, ReaderCalls& reader) : m_view(view), m_reader(reader) {}

template <typename Call>
int DialogController::RunLibraryCall(Call call) {
  ++m_callsWaiting;
  const int status = call();
  --m_callsWaiting;
  return status;
}

void DialogController::Press(int commandId) {
  if (IsWaiting()) {
    m_heldBackPresses.push_back(commandId);
    return;
  }
  switch (commandId) {
    case IDC_OPEN_COM: OnOpenCom(); break;
    case IDC_CLOSE_COM: OnCloseCom(); break;
    case IDC_EXIT: m_view.ExitProgram(); break;
    case IDC_BAUD_CHOOSE: OnBaudChoose(); break;
    case IDC_ACTIVE_MODE: OnActiveMode(); break;
    case IDC_COMMAND_MODE: OnCommandMode(); break;
    case IDC_SEARCH_MODE: OnSearchMode(); break;
    case IDC_GET_VERSION: OnGetVersion(); break;
    case IDC_COMMAND_READ_CARD: OnCommandReadCard(); break;
    case IDC_CLEAR_INFORMATION: m_view.SetDataField({}); break;
    case IDC_DATA_SETTING: OnDataSetting(); break;
    case kAboutCommand: OnAbout(); break;
    default: break;
  }
}

void DialogController::Tick() {
  // A tick while another call waits would take that call's reply: it comes
  // again when the call is over.
  if (IsWaiting()) {
    m_heldBackTick = true;
    return;
  }
  OnTimer();
}

bool DialogController::MayEnd(End end) {
  if (!IsWaiting()) return true;
  m_heldBackEnd = end;
  return false;
}

// Each press goes to its button as a click would: a button disabled
// meanwhile ignores it.
void DialogController::DeliverHeldBack() {
  if (IsWaiting() || m_handlersRunning > 0) return;  // the handler under way delivers them
  const std::vector<int> presses = std::exchange(m_heldBackPresses, {});
  const bool tick = std::exchange(m_heldBackTick, false);
  const End end = std::exchange(m_heldBackEnd, End::kNone);
  for (int id : presses) {
    if (id == kAboutCommand || m_view.CanPress(id)) Press(id);
  }
  if (tick && m_state.timerRunning) Tick();
  if (end != End::kNone) m_view.DeliverEnd(end);
}

void DialogController::Apply(Event event) {
  m_state = After(m_state, event);
  m_view.SetEnabled(IDC_OPEN_COM, m_state.openEnabled);
  m_view.SetEnabled(IDC_CLOSE_COM, m_state.closeEnabled);
  // Starting the timer while it runs restarts its period.
  if (event == Event::kActiveSucceeded) m_view.StartTimer();
  if (!m_state.timerRunning) m_view.StopTimer();
}

void DialogController::Failed(Box box, int status) {
  m_view.ShowBox(box, ReasonOf(status));
  ForgetDisconnectedReader(status);
}

void DialogController::ForgetDisconnectedReader(int status) {
  if (status != KORVEL_E_DISCONNECTED) return;
  m_reader.Close(g_hComm);
  g_hComm = nullptr;
  Apply(Event::kReaderDisconnected);
}

void DialogController::NoteCard(const unsigned char* data, size_t size) {
  // The bytes up to the first zero, never past the area.
  m_lastCard.assign(data, std::find(data, data + size, 0));
  m_view.CardNoted(m_lastCard, m_trackRecord);
}

// ---- Connection panel -------------------------------------------------------

void DialogController::OnOpenCom() {
  const HandlerScope scope(this);
  const std::string port = m_view.SelectedItem(IDC_PORT);
  const uint32_t rate = RateFromText(m_view.SelectedItem(IDC_BAUD));
  g_hComm = m_reader.Open(port.c_str(), rate);
  if (g_hComm == nullptr) {
    m_view.ShowBox(Box::kOpenFailed, m_reader.OpenFailureReason());
    Apply(Event::kOpenFailed);
    return;
  }
  if (Korvel_Pump pump = m_view.MessagePump(); pump != nullptr) m_reader.SetPump(g_hComm, pump);

  unsigned char probe[32] = {};
  const int status = RunLibraryCall([&] { return m_reader.Search(g_hComm, probe); });
  if (status == KORVEL_OK) {
    m_view.ShowBox(Box::kProbeSucceeded, {});
    Apply(Event::kProbeSucceeded);
    return;
  }
  const int closed = m_reader.Close(g_hComm);
  if (closed != KORVEL_OK) {
    m_view.ShowBox(Box::kProbeCloseFailed, ReasonOf(closed));
  } else {
    g_hComm = nullptr;
    m_view.ShowBox(Box::kProbeFailed, ReasonOf(status));
  }
  Apply(Event::kProbeFailed);
}

void DialogController::OnCloseCom() {
  const HandlerScope scope(this);
  const int status = m_reader.Close(g_hComm);
  if (status != KORVEL_OK) {
    m_view.ShowBox(Box::kCloseFailed, ReasonOf(status));
    Apply(Event::kCloseFailed);
    return;
  }
  g_hComm = nullptr;
  Apply(Event::kCloseSucceeded);
}

void DialogController::OnBaudChoose() {
  const HandlerScope scope(this);
  const uint32_t rate = RateFromText(m_view.SelectedItem(IDC_BAUD_CHOOSE_BOX));
  const int status = RunLibraryCall([&] { return m_reader.SetCommBaud(g_hComm, rate); });
  if (status != KORVEL_OK) return Failed(Box::kBaudFailed, status);
  // The reader now listens at the new rate: the port is reopened at it.
  m_reader.Close(g_hComm);
  g_hComm = nullptr;
  Apply(Event::kBaudSucceeded);
  m_view.ShowBox(Box::kBaudSucceeded, {});
}

// ---- Reader panel -----------------------------------------------------------

void DialogController::OnActiveMode() {
  const HandlerScope scope(this);
  const int status = RunLibraryCall([&] { return m_reader.ReadMode(g_hComm, KORVEL_MODE_ACTIVE); });
  if (status != KORVEL_OK) return Failed(Box::kActiveFailed, status);
  m_view.ShowBox(Box::kActiveSucceeded, {});
  Apply(Event::kActiveSucceeded);
}

void DialogController::OnCommandMode() {
  const HandlerScope scope(this);
  const int status = RunLibraryCall([&] { return m_reader.ReadMode(g_hComm, KORVEL_MODE_COMMAND); });
  if (status != KORVEL_OK) return Failed(Box::kCommandFailed, status);
  m_view.ShowBox(Box::kCommandSucceeded, {});
  Apply(Event::kCommandSucceeded);
}

void DialogController::OnSearchMode() {
  const HandlerScope scope(this);
  unsigned char mode[12] = {};
  const int status = RunLibraryCall([&] { return m_reader.Search(g_hComm, mode); });
  if (status != KORVEL_OK) return Failed(Box::kSearchFailed, status);
  m_view.ShowBox(SearchAnswer(mode[0]), {});
}

void DialogController::OnGetVersion() {
  const HandlerScope scope(this);
  unsigned char text[32] = {};
  const int status = RunLibraryCall([&] { return m_reader.Reset(g_hComm, text); });
  if (status != KORVEL_OK) return Failed(Box::kVersionFailed, status);
  m_view.ShowReaderText(ShownText(text, sizeof text));
}

void DialogController::OnCommandReadCard() {
  const HandlerScope scope(this);
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = RunLibraryCall([&] { return m_reader.ReadData(g_hComm, data); });
  // The field shows what the area holds, whatever the status (no box).
  m_view.SetDataField(ShownText(data, sizeof data));
  if (status == KORVEL_OK) NoteCard(data, sizeof data);
  ForgetDisconnectedReader(status);
}

void DialogController::OnDataSetting() {
  const HandlerScope scope(this);
  std::array<uint8_t, 6> firstBytes{};
  const int fields[] = {IDC_TRACK1_START, IDC_TRACK1_END,   IDC_TRACK2_START,
                        IDC_TRACK2_END,   IDC_TRACK3_START, IDC_TRACK3_END};
  for (size_t i = 0; i < firstBytes.size(); ++i) firstBytes[i] = m_view.FirstByte(fields[i]);
  const std::array<uint8_t, 8> record = BuildTrackRecord(firstBytes, m_view.IsChecked(IDC_ENTER_MARK));
  const int status = RunLibraryCall([&] { return m_reader.SetTrack(g_hComm, record.data()); });
  if (status != KORVEL_OK) return Failed(Box::kSettingFailed, status);
  m_trackRecord = record;
  m_view.ShowBox(Box::kSettingSucceeded, {});
}

void DialogController::OnAbout() {
  const HandlerScope scope(this);
  m_view.ShowAbout();
}

void DialogController::OnTimer() {
  const HandlerScope scope(this);
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = RunLibraryCall([&] { return m_reader.GetTrack(g_hComm, data); });
  if (status == KORVEL_OK) {
    m_view.SetDataField(ShownText(data, sizeof data));
    NoteCard(data, sizeof data);
  }
  ForgetDisconnectedReader(status);
}

}  // namespace dunmark::core
