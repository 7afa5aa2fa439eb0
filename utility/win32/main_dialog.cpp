// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "main_dialog.h"

#include <utility>

#include "data_field.h"
#include "dunmark_ids.h"
#include "korvel.h"
#include "message_box.h"
#include "text_cp936.h"

namespace dunmark::win {

namespace {

using core::Box;
using core::End;

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
    case WM_TIMER:
      if (wParam == core::kPollTimerId) m_controller.Tick();
      return FALSE;  // and on to default processing
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) != IDM_ABOUTBOX) return FALSE;
      OnSysCommand(wParam);
      return TRUE;
    case WM_PAINT: return OnPaint();
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(m_appIcon);
    case kDeliverHeldBack: m_controller.DeliverHeldBack(); return TRUE;
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
  SetDlgItemTextW(m_hwnd, IDC_DATA_PACKETS, m_dataPackets.c_str());
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
    case IDOK: OnOK(); break;
    case IDCANCEL: OnCancel(); break;
    default: m_controller.Press(id); break;
  }
}

void CMainDialog::OnSysCommand(WPARAM /*commandId*/) {
  m_controller.Press(core::kAboutCommand);
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
  if (m_controller.MayEnd(End::kOk) && DoDataExchange()) EndDialog(m_hwnd, IDOK);
}

// Esc and the close box.
void CMainDialog::OnCancel() {
  if (m_controller.MayEnd(End::kCancel)) EndDialog(m_hwnd, IDCANCEL);
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

// ---- The face the controller sees --------------------------------------------

void CMainDialog::ShowBox(Box which, const std::string& details) {
  const core::BoxText& box = core::TextOf(which);
  ShowMessageBox(m_hwnd, Widen(box.text), Widen(box.title), IconStyle(box.icon), Widen(details));
}

void CMainDialog::ShowReaderText(const std::string& text) {
  ShowMessageBox(m_hwnd, FromCodePage936(text), Widen(core::kVersionTitle), MB_ICONINFORMATION);
}

void CMainDialog::SetDataField(const std::string& text) {
  SetDlgItemTextW(m_hwnd, IDC_DATA_PACKETS, FromCodePage936(text).c_str());
}

void CMainDialog::SetEnabled(int controlId, bool enabled) {
  EnableWindow(GetDlgItem(m_hwnd, controlId), enabled);
}

std::string CMainDialog::SelectedItem(int comboId) const {
  return PortNameBytes(SelectedItemText(comboId));
}

uint8_t CMainDialog::FirstByte(int editId) const {
  return FirstByte936(ItemText(editId));
}

bool CMainDialog::IsChecked(int checkBoxId) const {
  return IsDlgButtonChecked(m_hwnd, checkBoxId) == BST_CHECKED;
}

bool CMainDialog::CanPress(int buttonId) const {
  const HWND button = GetDlgItem(m_hwnd, buttonId);
  return button != nullptr && IsWindowEnabled(button) && IsWindowVisible(button);
}

void CMainDialog::StartTimer() {
  // Starting the timer while it runs replaces it and restarts its period.
  SetTimer(m_hwnd, core::kPollTimerId, core::kPollPeriodMs, nullptr);
}

void CMainDialog::StopTimer() {
  KillTimer(m_hwnd, core::kPollTimerId);
}

// Posted, so that it comes once the handler under way has returned.
void CMainDialog::ScheduleDelivery() {
  PostMessageW(m_hwnd, kDeliverHeldBack, 0, 0);
}

void CMainDialog::ShowAbout() {
  DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hwnd, &AboutProc, 0);
}

void CMainDialog::DeliverEnd(End end) {
  OnCommand(end == End::kOk ? IDOK : IDCANCEL);
}

// Ends the program through its message loop, at once: the dialog's loop
// ends on WM_QUIT (the dialog is not ended first), the port is not closed
// and the reader is told nothing.
void CMainDialog::ExitProgram() {
  PostQuitMessage(0);
}

}  // namespace dunmark::win
