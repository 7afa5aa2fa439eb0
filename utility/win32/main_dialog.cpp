// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "main_dialog.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "data_field.h"
#include "dunmark_ids.h"
#include "korvel.h"
#include "message_box.h"
#include "text_cp936.h"

void* g_hComm = nullptr;

namespace dunmark::win {

namespace {

using core::Box;
using core::Event;

// Posted to the dialog when what was held back can be delivered.
constexpr UINT kDeliverHeldBack = WM_APP + 1;

UINT IconStyle(core::Icon icon) {
  return icon == core::Icon::kError ? MB_ICONHAND : MB_ICONINFORMATION;
}

// The About box, centred over the dialog that opened it.
INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM /*lParam*/) {
  if (message == WM_INITDIALOG) {
    RECT owner, box;
    GetWindowRect(GetWindow(hwnd, GW_OWNER), &owner);
    GetWindowRect(hwnd, &box);
    SetWindowPos(hwnd, nullptr, (owner.left + owner.right - (box.right - box.left)) / 2,
                 (owner.top + owner.bottom - (box.bottom - box.top)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(hwnd, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

// A handler under way.  When the last one finishes, what was held back while
// its calls waited is delivered, once this handler has returned.
class CMainDialog::HandlerScope {
 public:
  explicit HandlerScope(CMainDialog* dialog) : m_dialog(dialog) { ++m_dialog->m_handlersRunning; }
  ~HandlerScope() {
    CMainDialog& d = *m_dialog;
    if (--d.m_handlersRunning == 0 &&
        (!d.m_heldBackCommands.empty() || d.m_heldBackAbout || d.m_heldBackTick || d.m_heldBackEnd != 0)) {
      PostMessageW(d.m_hwnd, kDeliverHeldBack, 0, 0);
    }
  }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  CMainDialog* m_dialog;
};

CMainDialog::CMainDialog(std::vector<std::wstring> ports) : m_ports(std::move(ports)) {}

INT_PTR CMainDialog::DoModal(HINSTANCE instance) {
  m_appIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
  return DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_DUNMARK_DIALOG), nullptr, &DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CMainDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    reinterpret_cast<CMainDialog*>(lParam)->m_hwnd = hwnd;
  }
  auto* dialog = reinterpret_cast<CMainDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return dialog == nullptr ? FALSE : dialog->OnMessage(message, wParam, lParam);
}

INT_PTR CMainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: return OnInitDialog();
    case WM_COMMAND: {
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      // A disabled button cannot be pressed, not even by a program's BM_CLICK.
      const auto control = reinterpret_cast<HWND>(lParam);
      if (control != nullptr && !IsWindowEnabled(control)) return TRUE;
      OnCommand(LOWORD(wParam));
      return TRUE;
    }
    case WM_TIMER: OnTimer(wParam); return FALSE;  // and on to default processing
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
      OnSysCommand(wParam);
      return TRUE;
    case WM_PAINT: return OnPaint();
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(m_appIcon);
    case kDeliverHeldBack: DeliverHeldBack(); return TRUE;
    case WM_DESTROY: KillTimer(m_hwnd, core::kPollTimerId); return FALSE;
    default: return FALSE;
  }
}

// ---- Shell ------------------------------------------------------------------

BOOL CMainDialog::OnInitDialog() {
  // The lists the template's controls start with.
  for (const std::string& name : core::FixedPortNames())
    SendDlgItemMessageW(m_hwnd, IDC_PORT, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(name).c_str()));
  for (int box : {IDC_BAUD, IDC_BAUD_CHOOSE_BOX}) {
    for (const std::string& rate : core::RateItems())
      SendDlgItemMessageW(m_hwnd, box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(rate).c_str()));
  }
  // Loads the text members into their fields; the data field takes at most
  // its limit in bytes from the user, and leaves Enter to the dialog.
  SetDataField(m_dataPackets);
  MakeDataField(GetDlgItem(m_hwnd, IDC_DATA_PACKETS), core::kDataFieldByteLimit);

  if (HMENU menu = GetSystemMenu(m_hwnd, FALSE); menu != nullptr) {
    wchar_t item[128] = {};
    if (LoadStringW(GetModuleHandleW(nullptr), IDS_ABOUTBOX, item, 128) > 0) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, item);
    }
  }

  SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_appIcon));
  SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_appIcon));

  SendDlgItemMessageW(m_hwnd, IDC_PORT, CB_SETCURSEL, 0, 0);
  SendDlgItemMessageW(m_hwnd, IDC_BAUD, CB_SETCURSEL, core::DefaultRateIndex(), 0);
  SendDlgItemMessageW(m_hwnd, IDC_BAUD_CHOOSE_BOX, CB_SETCURSEL, core::DefaultRateIndex(), 0);

  SetDlgItemTextW(m_hwnd, IDC_TRACK1_START, L"%");
  SetDlgItemTextW(m_hwnd, IDC_TRACK1_END, L"?");
  SetDlgItemTextW(m_hwnd, IDC_TRACK2_START, L";");
  SetDlgItemTextW(m_hwnd, IDC_TRACK2_END, L"?");
  SetDlgItemTextW(m_hwnd, IDC_TRACK3_START, L"+");
  SetDlgItemTextW(m_hwnd, IDC_TRACK3_END, L"?");

  CheckDlgButton(m_hwnd, IDC_ENTER_MARK, BST_CHECKED);

  for (const std::wstring& name : m_ports) AddPortName(name);
  return TRUE;  // the focus goes to the first tab stop, the port box
}

void CMainDialog::AddPortName(const std::wstring& name) {
  const HWND box = GetDlgItem(m_hwnd, IDC_PORT);
  // Port names are compared without regard to case, as Windows names them.
  auto index =
      SendMessageW(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(name.c_str()));
  if (index == CB_ERR) index = SendMessageW(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  SendMessageW(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void CMainDialog::OnCommand(int id) {
  switch (id) {
    case IDC_EXIT: OnExit(); break;
    case IDC_CLOSE_COM: OnCloseCom(); break;
    case IDC_ACTIVE_MODE: OnActiveMode(); break;
    case IDC_COMMAND_MODE: OnCommandMode(); break;
    case IDC_CLEAR_INFORMATION: OnClearInformation(); break;
    case IDC_SEARCH_MODE: OnSearchMode(); break;
    case IDC_GET_VERSION: OnGetVersion(); break;
    case IDC_BAUD_CHOOSE: OnBaudChoose(); break;
    case IDC_OPEN_COM: OnOpenCom(); break;
    case IDC_COMMAND_READ_CARD: OnCommandReadCard(); break;
    case IDC_DATA_SETTING: OnDataSetting(); break;
    case IDOK: OnOK(); break;
    case IDCANCEL: OnCancel(); break;
    default: break;
  }
}

void CMainDialog::OnSysCommand(WPARAM /*commandId*/) {
  if (IsWaiting()) {
    m_heldBackAbout = true;
    return;
  }
  const HandlerScope scope(this);
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hwnd, &AboutProc, 0);
}

bool CMainDialog::OnPaint() {
  if (!IsIconic(m_hwnd)) return false;  // default painting
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(m_hwnd, &paint);
  SendMessageW(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(m_hwnd, &client);
  const core::Point origin = core::IconOrigin(client.right - client.left, client.bottom - client.top,
                                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
  DrawIcon(dc, origin.x, origin.y, m_appIcon);
  EndPaint(m_hwnd, &paint);
  return true;
}

bool CMainDialog::DoDataExchange() {
  m_dataPackets = ItemText(IDC_DATA_PACKETS);
  if (ByteCount936(m_dataPackets) <= core::kDataFieldByteLimit) return true;
  ShowMessageBox(m_hwnd, Widen(core::TooManyCharactersText()), Widen(core::kTooManyCharactersTitle),
                 MB_ICONEXCLAMATION);
  const HWND field = GetDlgItem(m_hwnd, IDC_DATA_PACKETS);
  SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
  SendMessageW(field, EM_SETSEL, 0, -1);
  return false;
}

// Enter on anything but a push button.
void CMainDialog::OnOK() {
  if (IsWaiting()) {
    m_heldBackEnd = IDOK;
    return;
  }
  const HandlerScope scope(this);
  if (DoDataExchange()) EndDialog(m_hwnd, IDOK);
}

// Esc and the close box.
void CMainDialog::OnCancel() {
  if (IsWaiting()) {
    m_heldBackEnd = IDCANCEL;
    return;
  }
  EndDialog(m_hwnd, IDCANCEL);
}

std::wstring CMainDialog::ItemText(int id) const {
  const HWND item = GetDlgItem(m_hwnd, id);
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(item, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::wstring CMainDialog::SelectedItemText(int comboId) const {
  const HWND box = GetDlgItem(m_hwnd, comboId);
  const auto index = SendMessageW(box, CB_GETCURSEL, 0, 0);
  if (index == CB_ERR) return {};
  const auto length = SendMessageW(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length == CB_ERR) return {};
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  SendMessageW(box, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

void CMainDialog::SetDataField(const std::wstring& text) {
  SetDlgItemTextW(m_hwnd, IDC_DATA_PACKETS, text.c_str());
}

void CMainDialog::ShowBox(Box which, const std::string& reason) {
  const core::BoxText& box = core::TextOf(which);
  ShowMessageBox(m_hwnd, Widen(box.text), Widen(box.title), IconStyle(box.icon), Widen(reason));
}

void CMainDialog::Apply(Event event) {
  m_state = core::After(m_state, event);
  EnableWindow(GetDlgItem(m_hwnd, IDC_OPEN_COM), m_state.openEnabled);
  EnableWindow(GetDlgItem(m_hwnd, IDC_CLOSE_COM), m_state.closeEnabled);
  // Starting the timer while it runs replaces it and restarts its period.
  if (event == Event::kActiveSucceeded) SetTimer(m_hwnd, core::kPollTimerId, core::kPollPeriodMs, nullptr);
  if (!m_state.timerRunning) KillTimer(m_hwnd, core::kPollTimerId);
}

void CMainDialog::ForgetDisconnectedReader(int status) {
  if (status != KORVEL_E_DISCONNECTED) return;
  Korvel_CommClose(g_hComm);
  g_hComm = nullptr;
  Apply(Event::kReaderDisconnected);
}

// ---- Holding back what arrives while a call waits ---------------------------

bool CMainDialog::HoldBack(int id) {
  if (!IsWaiting()) return false;
  m_heldBackCommands.push_back(id);
  return true;
}

// Each press goes to its button as a click would: a button disabled
// meanwhile ignores it.
void CMainDialog::DeliverHeldBack() {
  if (IsWaiting() || m_handlersRunning > 0) return;  // the handler under way delivers them
  const std::vector<int> commands = std::exchange(m_heldBackCommands, {});
  const bool about = std::exchange(m_heldBackAbout, false);
  const bool tick = std::exchange(m_heldBackTick, false);
  const int end = std::exchange(m_heldBackEnd, 0);
  for (int id : commands) {
    const HWND button = GetDlgItem(m_hwnd, id);
    if (button != nullptr && IsWindowEnabled(button) && IsWindowVisible(button)) OnCommand(id);
  }
  if (about) OnSysCommand(IDM_ABOUTBOX);
  if (tick && m_state.timerRunning) OnTimer(core::kPollTimerId);
  if (end != 0) OnCommand(end);
}

template <typename Call>
int CMainDialog::RunLibraryCall(Call call) {
  ++m_callsWaiting;
  const int status = call();
  --m_callsWaiting;
  return status;
}

// ---- Connection panel -------------------------------------------------------

void CMainDialog::OnOpenCom() {
  if (HoldBack(IDC_OPEN_COM)) return;
  const HandlerScope scope(this);
  const std::string port = PortNameBytes(SelectedItemText(IDC_PORT));
  const uint32_t rate = core::RateFromText(Narrow(SelectedItemText(IDC_BAUD)));

  g_hComm = Korvel_CommOpenWithBaud(port.c_str(), rate);
  if (g_hComm == nullptr) {
    Korvel_OpenError error;
    Korvel_GetOpenError(&error);
    ShowBox(Box::kOpenFailed, core::ReasonOf(error));
    Apply(Event::kOpenFailed);
    return;
  }

  unsigned char probe[32] = {};
  const int status = RunLibraryCall([&] { return Korvel_Search(g_hComm, probe); });
  if (status == KORVEL_OK) {
    ShowBox(Box::kProbeSucceeded);
    Apply(Event::kProbeSucceeded);
    return;
  }
  const int closed = Korvel_CommClose(g_hComm);
  if (closed != KORVEL_OK) {
    ShowBox(Box::kProbeCloseFailed, core::ReasonOf(closed));
  } else {
    g_hComm = nullptr;
    ShowBox(Box::kProbeFailed, core::ReasonOf(status));
  }
  Apply(Event::kProbeFailed);
}

void CMainDialog::OnCloseCom() {
  if (HoldBack(IDC_CLOSE_COM)) return;
  const HandlerScope scope(this);
  const int status = Korvel_CommClose(g_hComm);
  if (status != KORVEL_OK) {
    ShowBox(Box::kCloseFailed, core::ReasonOf(status));
    Apply(Event::kCloseFailed);
    return;
  }
  g_hComm = nullptr;
  Apply(Event::kCloseSucceeded);
}

// Ends the process at once through the runtime's normal exit: the dialog is
// not ended first, the port is not closed and the reader is told nothing.
void CMainDialog::OnExit() {
  if (HoldBack(IDC_EXIT)) return;
  std::exit(0);
}

void CMainDialog::OnBaudChoose() {
  if (HoldBack(IDC_BAUD_CHOOSE)) return;
  const HandlerScope scope(this);
  const uint32_t rate = core::RateFromText(Narrow(SelectedItemText(IDC_BAUD_CHOOSE_BOX)));
  const int status = RunLibraryCall([&] { return Korvel_SetCommBaud(g_hComm, rate); });
  if (status != KORVEL_OK) {
    ShowBox(Box::kBaudFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
    return;
  }
  // The reader now listens at the new rate: the port is reopened at it.
  Korvel_CommClose(g_hComm);
  g_hComm = nullptr;
  Apply(Event::kBaudSucceeded);
  ShowBox(Box::kBaudSucceeded);
}

// ---- Reader panel -----------------------------------------------------------

void CMainDialog::OnActiveMode() {
  if (HoldBack(IDC_ACTIVE_MODE)) return;
  const HandlerScope scope(this);
  const int status = RunLibraryCall([] { return Korvel_ReadMode(g_hComm, KORVEL_MODE_ACTIVE); });
  if (status != KORVEL_OK) {
    ShowBox(Box::kActiveFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
    return;
  }
  ShowBox(Box::kActiveSucceeded);
  Apply(Event::kActiveSucceeded);
}

void CMainDialog::OnCommandMode() {
  if (HoldBack(IDC_COMMAND_MODE)) return;
  const HandlerScope scope(this);
  const int status = RunLibraryCall([] { return Korvel_ReadMode(g_hComm, KORVEL_MODE_COMMAND); });
  if (status != KORVEL_OK) {
    ShowBox(Box::kCommandFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
    return;
  }
  ShowBox(Box::kCommandSucceeded);
  Apply(Event::kCommandSucceeded);
}

void CMainDialog::OnSearchMode() {
  if (HoldBack(IDC_SEARCH_MODE)) return;
  const HandlerScope scope(this);
  unsigned char mode[12] = {};
  const int status = RunLibraryCall([&] { return Korvel_Search(g_hComm, mode); });
  if (status != KORVEL_OK) {
    ShowBox(Box::kSearchFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
    return;
  }
  ShowBox(core::SearchAnswer(mode[0]));
}

void CMainDialog::OnGetVersion() {
  if (HoldBack(IDC_GET_VERSION)) return;
  const HandlerScope scope(this);
  unsigned char text[32] = {};
  const int status = RunLibraryCall([&] { return Korvel_Reset(g_hComm, text); });
  if (status != KORVEL_OK) {
    ShowBox(Box::kVersionFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
    return;
  }
  ShowMessageBox(m_hwnd, FromCodePage936(core::ReaderBytes(text, sizeof text, "\r\n")),
                 Widen(core::kVersionTitle), MB_ICONINFORMATION);
}

void CMainDialog::OnCommandReadCard() {
  if (HoldBack(IDC_COMMAND_READ_CARD)) return;
  const HandlerScope scope(this);
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = RunLibraryCall([&] { return Korvel_ReadData(g_hComm, data); });
  SetDataField(FromCodePage936(core::ReaderBytes(data, sizeof data, "\r\n")));
  ForgetDisconnectedReader(status);
}

void CMainDialog::OnClearInformation() {
  if (HoldBack(IDC_CLEAR_INFORMATION)) return;
  SetDataField(std::wstring());
}

void CMainDialog::OnDataSetting() {
  if (HoldBack(IDC_DATA_SETTING)) return;
  const HandlerScope scope(this);
  std::array<uint8_t, 6> firstBytes{};
  const int fields[] = {IDC_TRACK1_START, IDC_TRACK1_END,   IDC_TRACK2_START,
                        IDC_TRACK2_END,   IDC_TRACK3_START, IDC_TRACK3_END};
  for (size_t i = 0; i < firstBytes.size(); ++i) firstBytes[i] = FirstByte936(ItemText(fields[i]));
  const bool enterMark = IsDlgButtonChecked(m_hwnd, IDC_ENTER_MARK) == BST_CHECKED;
  const std::array<uint8_t, 8> record = core::BuildTrackRecord(firstBytes, enterMark);
  const int status = RunLibraryCall([&] { return Korvel_SetTrack(g_hComm, record.data()); });
  if (status == KORVEL_OK) {
    ShowBox(Box::kSettingSucceeded);
  } else {
    ShowBox(Box::kSettingFailed, core::ReasonOf(status));
    ForgetDisconnectedReader(status);
  }
}

void CMainDialog::OnTimer(UINT_PTR timerId) {
  if (timerId != core::kPollTimerId) return;
  // A tick while another call waits would take that call's reply: it comes
  // again when the call is over.
  if (IsWaiting()) {
    m_heldBackTick = true;
    return;
  }
  const HandlerScope scope(this);
  unsigned char data[KORVEL_DATA_AREA] = {};
  const int status = RunLibraryCall([&] { return Korvel_GetTrack(g_hComm, data); });
  if (status == KORVEL_OK) SetDataField(FromCodePage936(core::ReaderBytes(data, sizeof data, "\r\n")));
  ForgetDisconnectedReader(status);
}

}  // namespace dunmark::win
