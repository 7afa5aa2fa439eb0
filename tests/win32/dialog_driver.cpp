// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Dunmark's Windows dialog as a user drives it, from a program of its own:
// dunmark.exe runs under Wine on a display (Xvfb) against the reader
// simulator on a COM port, and this program presses its buttons by control
// identifier, reads its message boxes (text, title, icon) and its fields, and
// asks the simulator what reached the reader.  tests/win32/run.sh sets it all
// up and passes, in the environment:
//
//   KORVEL_SIM_PORT, KORVEL_SIM_CONTROL   the simulator's COM port and control FIFO
//   KORVEL_SIM_LOG                        the simulator's output, as a Windows path
//   KORVEL_SCREENSHOTS                    where screenshots go (BMP), as a Windows path
//   DUNMARK_EXE                           the program (default: dunmark.exe beside this one)
//
// Without a display or a simulator the tests are skipped.  Another process's
// windows answer only what Wine carries across processes: texts, states,
// rectangles; the dialog font's metrics are measured here with the font the
// template names, and a box's icon is told by the colours on screen.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dunmark_core.h"
#include "dunmark_ids.h"
#include "korvel.h"
#include "korvel_sim.h"
#include "wine_test_support.h"

namespace {

namespace core = dunmark::core;
namespace sim = korvel::sim;
using namespace korvel::wine_test;

constexpr int kStartMs = 30000;  // a Wine program's first start can be slow on a busy machine
constexpr int kBoxMs = 15000;    // a box that follows a call: the reader's 3000 ms limits and more

std::string Narrow(std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                      nullptr);
  return bytes;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

// A window's text through WM_GETTEXT, which Wine carries across processes
// (GetWindowText of another process's edit would give its creation text).
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &length)) return L"<no answer>";
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL,
                      5000, &copied);
  text.resize(copied);
  return text;
}

LONG Style(HWND window) {
  return GetWindowLongW(window, GWL_STYLE);
}

// ---- Screen ------------------------------------------------------------------

// A part of the screen as 32-bit pixels (0x00RRGGBB), top row first.
std::vector<uint32_t> Grab(const RECT& rect) {
  const int w = rect.right - rect.left, h = rect.bottom - rect.top;
  std::vector<uint32_t> pixels(static_cast<size_t>(w) * static_cast<size_t>(h));
  if (w <= 0 || h <= 0) return pixels;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  const HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  std::memcpy(pixels.data(), bits, pixels.size() * sizeof(uint32_t));
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// Keeps the whole screen as NAME.bmp in KORVEL_SCREENSHOTS (run.sh turns
// them into PNG files beside the build).
void Screenshot(const std::string& name) {
  const std::string dir = Env("KORVEL_SCREENSHOTS");
  if (dir.empty()) return;
  CreateDirectoryA(dir.c_str(), nullptr);
  const RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  const std::vector<uint32_t> pixels = Grab(screen);
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = screen.right;
  header.biHeight = -screen.bottom;
  header.biPlanes = 1;
  header.biBitCount = 32;
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof header;
  file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size() * 4);
  std::vector<uint32_t> opaque = pixels;
  for (uint32_t& p : opaque) p |= 0xFF000000u;  // BitBlt leaves the alpha byte 0
  std::ofstream out(dir + "\\" + name + ".bmp", std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(opaque.data()), static_cast<std::streamsize>(opaque.size() * 4));
}

// ---- Message boxes -------------------------------------------------------------

enum class Icon { kNone, kError, kInformation, kWarning };

const char* Name(Icon icon) {
  switch (icon) {
    case Icon::kError: return "error";
    case Icon::kInformation: return "information";
    case Icon::kWarning: return "warning";
    default: return "none";
  }
}

Icon IconOf(core::Icon icon) {
  return icon == core::Icon::kError ? Icon::kError : Icon::kInformation;
}

// The icon a box shows, told by its colours: the stop icon is red, the
// information icon blue, the warning icon yellow.  (STM_GETICON gives
// nothing across processes.)
Icon ReadIcon(HWND box) {
  HWND picture = nullptr;
  for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
    if (ClassOf(c) == L"Static" && (Style(c) & SS_TYPEMASK) == SS_ICON && IsWindowVisible(c)) picture = c;
  }
  if (picture == nullptr) return Icon::kNone;
  RECT rect;
  GetWindowRect(picture, &rect);
  Icon icon = Icon::kNone;
  // The box may not have painted yet.
  WaitFor(
      [&] {
        int red = 0, blue = 0, yellow = 0;
        for (uint32_t p : Grab(rect)) {
          const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
          if (r > 150 && g < 100 && b < 100) ++red;
          if (b > 150 && r < 120) ++blue;
          if (r > 180 && g > 150 && b < 80) ++yellow;
        }
        const int enough = (rect.right - rect.left) * (rect.bottom - rect.top) / 10;
        icon = red > enough      ? Icon::kError
               : blue > enough   ? Icon::kInformation
               : yellow > enough ? Icon::kWarning
                                 : Icon::kNone;
        return icon != Icon::kNone;
      },
      3000);
  return icon;
}

struct Box {
  HWND window = nullptr;
  std::wstring title;
  std::wstring text;
  Icon icon = Icon::kNone;
  std::vector<int> buttons;  // identifiers, in order
};

std::string Describe(const Box& box) {
  return "\"" + Narrow(box.text) + "\" titled \"" + Narrow(box.title) + "\" icon " + Name(box.icon);
}

// ---- The simulated reader ----------------------------------------------------

// What the data field shows for a swipe of sample card `number` (1, 2, ...)
// with the reader's start-up settings: its bytes as code page 936 text, each
// track ending in CR LF (the Enter mark).
std::wstring Swiped(int number) {
  const sim::ReaderModel model;
  const std::vector<uint8_t> bytes = model.TrackBytes(sim::SampleCards().at(static_cast<size_t>(number - 1)));
  const auto* text = reinterpret_cast<const char*>(bytes.data());
  const int size = MultiByteToWideChar(936, 0, text, static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(936, 0, text, static_cast<int>(bytes.size()), wide.data(), size);
  return wide;
}

// ---- The program ---------------------------------------------------------------

// One run of dunmark.exe and its main dialog.
class Dunmark {
 public:
  Dunmark() = default;
  Dunmark(const Dunmark&) = delete;
  Dunmark& operator=(const Dunmark&) = delete;
  ~Dunmark() { Stop(); }

  // Ends the program if it still runs.
  void Stop() {
    if (process_.hProcess == nullptr) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = PROCESS_INFORMATION{};
  }

  // Starts the program with `arguments` and waits for its dialog.
  void Start(const std::wstring& arguments = {}) {
    std::wstring line = L"\"" + ProgramPath("DUNMARK_EXE", L"dunmark.exe") + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process_))
        << "cannot start " << Narrow(line) << " (error " << GetLastError() << ")";
    ASSERT_TRUE(WaitFor([&] { return (dialog = FindTopLevel(L"TV628")) != nullptr; }, kStartMs))
        << "no dialog \"TV628\"";
    ASSERT_TRUE(WaitFor([&] { return IsWindowVisible(dialog) && Item(IDC_DATA_PACKETS) != nullptr; }));
    WaitForInputIdle(process_.hProcess, 5000);
  }

  HWND dialog = nullptr;

  HWND Item(int id) const { return GetDlgItem(dialog, id); }
  void Click(int id) const { PostMessageW(Item(id), BM_CLICK, 0, 0); }
  bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
  std::wstring Text(int id) const { return TextOf(Item(id)); }
  void SetText(int id, const std::wstring& text) const {
    SendMessageW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  bool Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }
  void Select(int combo, int index) const { SendMessageW(Item(combo), CB_SETCURSEL, index, 0); }
  std::vector<std::wstring> Items(int combo) const {
    std::vector<std::wstring> items;
    const auto count = SendMessageW(Item(combo), CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      std::wstring text(static_cast<size_t>(SendMessageW(Item(combo), CB_GETLBTEXTLEN, i, 0)) + 1, L'\0');
      text.resize(static_cast<size_t>(
          SendMessageW(Item(combo), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()))));
      items.push_back(text);
    }
    return items;
  }
  int Selected(int combo) const { return static_cast<int>(SendMessageW(Item(combo), CB_GETCURSEL, 0, 0)); }
  // The control with the keyboard focus (a combo box's edit field counts as
  // the combo box).
  HWND Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) return nullptr;
    HWND focus = info.hwndFocus;
    if (focus != nullptr && GetParent(focus) != dialog && GetParent(focus) != nullptr)
      focus = GetParent(focus);
    return focus;
  }
  // Moves the focus as Tab would, so that keys go where a user's would.
  void FocusOn(int id) const {
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
  }
  // A key pressed in `window` (the dialog manager reads it from the queue).
  static void Key(HWND window, UINT key) {
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, 0xC0000001);
  }

  // The program's top-level dialog with `caption`, or the newest message box
  // (the one that is enabled: a box whose own box is open is not).
  HWND FindTopLevel(const std::wstring& caption) const {
    struct Search {
      DWORD pid;
      const std::wstring* caption;
      HWND main;
      HWND found;
    } search{process_.dwProcessId, &caption, dialog, nullptr};
    EnumWindows(
        [](HWND w, LPARAM context) -> BOOL {
          auto* s = reinterpret_cast<Search*>(context);
          DWORD pid = 0;
          GetWindowThreadProcessId(w, &pid);
          if (pid != s->pid || w == s->main || !IsWindowVisible(w) || ClassOf(w) != L"#32770") return TRUE;
          if (s->caption->empty() ? IsWindowEnabled(w) != FALSE : TextOf(w) == *s->caption) {
            s->found = w;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
  }

  // The message box shown now (none within `timeoutMs`: a box with no window).
  Box WaitBox(int timeoutMs = kBoxMs) const {
    Box box;
    WaitFor([&] { return (box.window = FindTopLevel(L"")) != nullptr; }, timeoutMs);
    if (box.window == nullptr) return box;
    WaitFor([&] { return GetDlgItem(box.window, IDOK) != nullptr && IsWindowVisible(box.window); }, 5000);
    box.title = TextOf(box.window);
    box.text = TextOf(GetDlgItem(box.window, 0xFFFF));
    for (HWND c = GetWindow(box.window, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
      if (ClassOf(c) == L"Button") box.buttons.push_back(GetDlgCtrlID(c));
    }
    box.icon = ReadIcon(box.window);
    return box;
  }
  bool NoBox() const { return FindTopLevel(L"") == nullptr; }

  // Presses the box's button `id` and waits until the box is gone.
  static void Answer(const Box& box, int id = IDOK) {
    ASSERT_NE(box.window, nullptr);
    PostMessageW(GetDlgItem(box.window, id), BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(box.window); })) << "the box stays";
  }

  // Presses `id`, expects one box with the core's texts for `which` (and the
  // reason's Help button exactly when `reason` is given), answers it.
  void Expect(core::Box which, const std::string& reason = {}) const {
    const core::BoxText& expected = core::TextOf(which);
    const Box box = WaitBox();
    ASSERT_NE(box.window, nullptr) << "no box; expected \"" << expected.text << "\"";
    EXPECT_EQ(box.text, Widen(expected.text)) << Describe(box);
    EXPECT_EQ(box.title, Widen(expected.title)) << Describe(box);
    EXPECT_EQ(box.icon, IconOf(expected.icon)) << Describe(box);
    if (reason.empty()) {
      EXPECT_EQ(box.buttons, std::vector<int>{IDOK}) << Describe(box);
    } else {
      EXPECT_EQ(box.buttons, (std::vector<int>{IDOK, IDHELP})) << Describe(box);
      ExpectReason(box, reason);
    }
    Answer(box);
  }

  // The box's Help button shows the reason in a box of its own.
  void ExpectReason(const Box& box, const std::string& reason) const {
    PostMessageW(GetDlgItem(box.window, IDHELP), BM_CLICK, 0, 0);
    // The box of the reason is the newest once it is there.
    ASSERT_TRUE(WaitFor([&] {
      const HWND top = FindTopLevel(L"");
      return top != nullptr && top != box.window;
    })) << "Help showed nothing";
    const Box details = WaitBox();
    static bool shown = false;
    if (!std::exchange(shown, true)) Screenshot("failure-reason");
    EXPECT_EQ(details.text, Widen(reason));
    EXPECT_EQ(details.title, L"Details\xFF1A");
    EXPECT_EQ(GetWindow(details.window, GW_OWNER), box.window);
    Answer(details);
  }

  // Waits for the process to end; returns its exit code (or STILL_ACTIVE).
  DWORD WaitExit(int timeoutMs = 10000) const {
    WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeoutMs));
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }

  // "Open Com" on the simulator's port at the rate selected, answered.
  void OpenReader(const SimulatedReader& reader) const {
    SelectPort(Widen(reader.port()));
    Click(IDC_OPEN_COM);
    ASSERT_NO_FATAL_FAILURE(Expect(core::Box::kProbeSucceeded));
    ASSERT_TRUE(WaitFor([&] { return Enabled(IDC_CLOSE_COM) && !Enabled(IDC_OPEN_COM); }));
  }
  void SelectPort(const std::wstring& name) const {
    const std::vector<std::wstring> items = Items(IDC_PORT);
    for (size_t i = 0; i < items.size(); ++i) {
      if (lstrcmpiW(items[i].c_str(), name.c_str()) == 0) Select(IDC_PORT, static_cast<int>(i));
    }
  }

 private:
  PROCESS_INFORMATION process_{};
};

// ---- Fixtures --------------------------------------------------------------------

bool HaveDisplay() {
  return !Env("DISPLAY").empty();
}

// The dialog without a reader.
class DialogShell : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) GTEST_SKIP() << "no display (tests/win32/run.sh starts Xvfb)";
  }
  Dunmark dunmark;
};

// The dialog with the simulated reader, reset before each test.
class DialogWithReader : public DialogShell {
 protected:
  void SetUp() override {
    DialogShell::SetUp();
    if (IsSkipped()) return;
    if (!reader.Configured() || !reader.HasLog())
      GTEST_SKIP() << "no simulated reader configured (tests/win32/run.sh sets one up)";
    ASSERT_NO_FATAL_FAILURE(reader.Reset());
    ASSERT_NO_FATAL_FAILURE(dunmark.Start(L"--port " + Widen(reader.port())));
  }
  // The next test, of this program or another, finds the reader as it was.
  void TearDown() override {
    if (IsSkipped()) return;
    dunmark.Stop();
    reader.Reset();
  }
  // Presses `id` and expects the box `which` (with `reason` behind Help).
  void Press(int id, core::Box which, const std::string& reason = {}) {
    dunmark.Click(id);
    ASSERT_NO_FATAL_FAILURE(dunmark.Expect(which, reason));
  }
  SimulatedReader reader;
};

// ---- Templates -------------------------------------------------------------------

// The base units the dialog manager takes from the template's font, measured
// here with the same font (a font handle does not cross processes): the width
// of "A".."Z" "a".."z" and the height of that text.
core::BaseUnits TemplateUnits() {
  const HDC dc = GetDC(nullptr);
  const HFONT font =
      CreateFontW(-MulDiv(core::kDialogFontPoints, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_DONTCARE,
                  FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                  PROOF_QUALITY, FF_DONTCARE, Widen(core::kDialogFontFace).c_str());
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &size);
  SelectObject(dc, old);
  DeleteObject(font);
  ReleaseDC(nullptr, dc);
  return core::BaseUnitsOf(size.cx, size.cy);
}

// Whether a control's class and style make it a control of `kind`.
void ExpectKind(HWND control, core::ControlKind kind) {
  using K = core::ControlKind;
  const std::wstring cls = ClassOf(control);
  const LONG style = Style(control);
  const LONG button = style & BS_TYPEMASK;
  // The dialog manager draws an edit's border as a sunken client edge.
  const bool border = (style & WS_BORDER) || (GetWindowLongW(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
  switch (kind) {
    case K::kGroupBox: EXPECT_TRUE(cls == L"Button" && button == BS_GROUPBOX) << Narrow(cls); break;
    case K::kLabel: EXPECT_TRUE(cls == L"Static" && (style & SS_TYPEMASK) == SS_LEFT) << Narrow(cls); break;
    case K::kIcon: EXPECT_TRUE(cls == L"Static" && (style & SS_TYPEMASK) == SS_ICON) << Narrow(cls); break;
    case K::kComboBox:
      EXPECT_EQ(cls, L"ComboBox");
      EXPECT_EQ(style & 3, CBS_DROPDOWN);
      EXPECT_TRUE(!(style & CBS_SORT));
      break;
    case K::kPushButton: EXPECT_TRUE(cls == L"Button" && button == BS_PUSHBUTTON) << Narrow(cls); break;
    case K::kDefaultButton: EXPECT_TRUE(cls == L"Button" && button == BS_DEFPUSHBUTTON) << Narrow(cls); break;
    case K::kCheckBox: EXPECT_TRUE(cls == L"Button" && button == BS_AUTOCHECKBOX) << Narrow(cls); break;
    case K::kEdit:
      EXPECT_EQ(cls, L"Edit");
      EXPECT_TRUE(border && (style & ES_AUTOHSCROLL) && !(style & ES_MULTILINE));
      break;
    case K::kMultiLineEdit:
      EXPECT_EQ(cls, L"Edit");
      EXPECT_TRUE((style & ES_MULTILINE) && (style & WS_VSCROLL) && border);
      EXPECT_FALSE(style & (ES_WANTRETURN | ES_READONLY | ES_AUTOHSCROLL))
          << "takes Enter, is read-only or does not wrap";
      break;
  }
}

// The running dialog against its template: caption, client size, and every
// control in template order (the order of the windows, which is the tab
// order) with its identifier, kind, caption and rectangle in dialog units.
void ExpectTemplate(HWND dialog, const core::DialogTemplate& layout) {
  const core::BaseUnits units = TemplateUnits();
  auto px = [&](int x, int y) { return POINT{core::PixelsX(units, x), core::PixelsY(units, y)}; };
  EXPECT_EQ(TextOf(dialog), Widen(layout.caption));
  RECT client;
  GetClientRect(dialog, &client);
  EXPECT_EQ(client.right, px(layout.w, 0).x)
      << "width of " << layout.w << " units at " << units.x << " x " << units.y;
  EXPECT_EQ(client.bottom, px(0, layout.h).y) << "height of " << layout.h << " units";

  HWND control = nullptr;
  for (const core::ControlTemplate& c : layout.controls) {
    control = GetWindow(control == nullptr ? dialog : control, control == nullptr ? GW_CHILD : GW_HWNDNEXT);
    SCOPED_TRACE(std::to_string(c.id) + " \"" + c.caption + "\"");
    ASSERT_NE(control, nullptr) << "missing";
    const int id = GetDlgCtrlID(control);
    EXPECT_TRUE(id == c.id || (c.id == IDC_STATIC && id == 0xFFFF)) << "identifier " << id;
    ExpectKind(control, c.kind);
    const bool input = c.id != IDC_STATIC;
    EXPECT_EQ((Style(control) & WS_TABSTOP) != 0, input) << "tab stop";
    if (c.kind != core::ControlKind::kEdit && c.kind != core::ControlKind::kMultiLineEdit &&
        c.kind != core::ControlKind::kComboBox && c.kind != core::ControlKind::kIcon) {
      EXPECT_EQ(TextOf(control), Widen(c.caption));
    }
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const POINT origin = px(c.x, c.y), size = px(c.w, c.h);
    EXPECT_EQ(r.left, origin.x) << "x " << c.x;
    EXPECT_EQ(r.top, origin.y) << "y " << c.y;
    if (c.kind == core::ControlKind::kIcon) continue;  // as large as its icon
    EXPECT_EQ(r.right - r.left, size.x) << "width " << c.w;
    // A combo box's template height is its dropped-down list's, which the
    // list shapes to its items: its own window is as high as its edit field.
    if (c.kind != core::ControlKind::kComboBox) {
      EXPECT_EQ(r.bottom - r.top, size.y) << "height " << c.h;
    }
  }
  EXPECT_EQ(GetWindow(control, GW_HWNDNEXT), nullptr) << "more controls than the template";
}

}  // namespace

// ---- The shell: templates, defaults, About, Enter and Esc --------------------------

TEST_F(DialogShell, MainDialogIsItsTemplate) {
  ASSERT_NO_FATAL_FAILURE(dunmark.Start());
  const HWND dialog = dunmark.dialog;
  const LONG style = Style(dialog);
  EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & DS_MODALFRAME));
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
  EXPECT_TRUE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
  ExpectTemplate(dialog, core::MainDialog());

  // The start-up state.
  EXPECT_EQ(dunmark.Items(IDC_PORT), (std::vector<std::wstring>{L"com1", L"com2", L"com3", L"com4", L"com5",
                                                                L"com6", L"com7", L"com8"}));
  EXPECT_EQ(dunmark.Selected(IDC_PORT), 0);
  for (int box : {IDC_BAUD, IDC_BAUD_CHOOSE_BOX}) {
    EXPECT_EQ(dunmark.Items(box), (std::vector<std::wstring>{L"4800", L"9600", L"19200", L"38400"}));
    EXPECT_EQ(dunmark.Selected(box), 1);
  }
  const wchar_t* sentinels[] = {L"%", L"?", L";", L"?", L"+", L"?"};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(dunmark.Text(IDC_TRACK1_START + i), sentinels[i]);
  EXPECT_TRUE(dunmark.Checked(IDC_ENTER_MARK));
  EXPECT_EQ(dunmark.Text(IDC_DATA_PACKETS), L"");
  for (const core::ControlTemplate& c : core::MainDialog().controls) {
    if (c.kind == core::ControlKind::kPushButton) {
      EXPECT_EQ(dunmark.Enabled(c.id), c.id != IDC_CLOSE_COM) << c.caption;
    }
  }
  EXPECT_EQ(dunmark.Focus(), dunmark.Item(IDC_PORT));
  Screenshot("dialog-start");
}

TEST_F(DialogShell, SystemMenuOpensTheAboutBoxAndCloses) {
  // The resources behind the system menu's item and the icon.
  const HMODULE program =
      LoadLibraryExW(ProgramPath("DUNMARK_EXE", L"dunmark.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(program, nullptr);
  wchar_t item[128] = {};
  EXPECT_GT(LoadStringW(program, IDS_ABOUTBOX, item, 128), 0);
  EXPECT_EQ(std::wstring(item), Widen(core::kAboutMenuItem));
  std::vector<int> sizes;
  if (HRSRC found =
          FindResourceW(program, MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14) /*RT_GROUP_ICON*/)) {
    const auto* group = static_cast<const uint8_t*>(LockResource(LoadResource(program, found)));
    const int count = group[4] | group[5] << 8;
    for (int i = 0; i < count; ++i) sizes.push_back(group[6 + 14 * i]);  // width of each image
  }
  EXPECT_EQ(sizes, (std::vector<int>{32, 16}));
  FreeLibrary(program);

  ASSERT_NO_FATAL_FAILURE(dunmark.Start());
  // Any command of the About item's block opens it, whatever the high bits.
  for (WPARAM command : {WPARAM{0x0010}, WPARAM{0x001F}, WPARAM{0x10012}}) {
    SCOPED_TRACE(command);
    PostMessageW(dunmark.dialog, WM_SYSCOMMAND, command, 0);
    HWND about = nullptr;
    ASSERT_TRUE(
        WaitFor([&] { return (about = dunmark.FindTopLevel(Widen(core::kAboutCaption))) != nullptr; }));
    ExpectTemplate(about, core::AboutBox());
    HWND text = GetWindow(GetWindow(about, GW_CHILD), GW_HWNDNEXT);
    EXPECT_TRUE(Style(text) & SS_NOPREFIX) << "the text is shown without ampersand processing";
    EXPECT_EQ(GetWindow(about, GW_OWNER), dunmark.dialog);
    EXPECT_FALSE(IsWindowEnabled(dunmark.dialog)) << "not modal";
    if (command == 0x0010) Screenshot("about-box");
    Dunmark::Key(GetDlgItem(about, IDOK), VK_RETURN);  // the default button
    ASSERT_TRUE(WaitFor([&] { return !IsWindow(about); }));
  }
  // The system's own commands keep their meaning: close ends the program.
  PostMessageW(dunmark.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(dunmark.WaitExit(), 0u);
}

// What the user types into the data field stops at 50 bytes of code page
// 936; Enter presses a focused push button, and is the OK command elsewhere,
// refused while the field holds more than 50 bytes.
TEST_F(DialogShell, EnterAndTheDataFieldsFiftyBytes) {
  ASSERT_NO_FATAL_FAILURE(dunmark.Start());
  const HWND field = dunmark.Item(IDC_DATA_PACKETS);
  auto type = [&](const std::wstring& text) {
    for (wchar_t c : text) SendMessageW(field, WM_CHAR, c, 1);
  };
  type(std::wstring(60, L'a'));
  EXPECT_EQ(dunmark.Text(IDC_DATA_PACKETS), std::wstring(50, L'a'));
  dunmark.SetText(IDC_DATA_PACKETS, L"");
  type(std::wstring(24, L'\x4E2D') + L"ab\x4E2D");  // 48 + 2 bytes, then 2 that do not fit
  EXPECT_EQ(dunmark.Text(IDC_DATA_PACKETS), std::wstring(24, L'\x4E2D') + L"ab");
  SendMessageW(field, EM_SETSEL, 0, -1);  // a selection's bytes are free again
  type(L"\x4E2D");
  EXPECT_EQ(dunmark.Text(IDC_DATA_PACKETS), L"\x4E2D");

  // Pasting is cut to what fits.
  dunmark.SetText(IDC_DATA_PACKETS, std::wstring(45, L'a'));
  SendMessageW(field, EM_SETSEL, 45, 45);
  ASSERT_TRUE(OpenClipboard(nullptr));
  EmptyClipboard();
  const std::wstring clip = L"0123456789";
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, (clip.size() + 1) * sizeof(wchar_t));
  std::memcpy(GlobalLock(memory), clip.c_str(), (clip.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(memory);
  SetClipboardData(CF_UNICODETEXT, memory);
  CloseClipboard();
  SendMessageW(field, WM_PASTE, 0, 0);
  EXPECT_EQ(dunmark.Text(IDC_DATA_PACKETS), std::wstring(45, L'a') + L"01234");

  // On a push button Enter presses it.
  dunmark.FocusOn(IDC_CLEAR_INFORMATION);
  Dunmark::Key(dunmark.Item(IDC_CLEAR_INFORMATION), VK_RETURN);
  EXPECT_TRUE(WaitFor([&] { return dunmark.Text(IDC_DATA_PACKETS).empty(); }));

  // 51 bytes: the framework's message, the field selected, the dialog open.
  const std::wstring tooLong = std::wstring(25, L'\x4E2D') + L"x";
  dunmark.SetText(IDC_DATA_PACKETS, tooLong);
  dunmark.FocusOn(IDC_DATA_PACKETS);
  Dunmark::Key(field, VK_RETURN);
  const Box box = dunmark.WaitBox();
  EXPECT_EQ(box.text, Widen(core::TooManyCharactersText()));
  EXPECT_EQ(box.title, Widen(core::kTooManyCharactersTitle));
  EXPECT_EQ(box.icon, Icon::kWarning);
  ASSERT_NO_FATAL_FAILURE(Dunmark::Answer(box));
  EXPECT_TRUE(WaitFor([&] { return dunmark.Focus() == field; }));
  DWORD start = 1, end = 0;
  SendMessageW(field, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  EXPECT_EQ(start, 0u);
  EXPECT_EQ(end, tooLong.size());
  EXPECT_TRUE(IsWindow(dunmark.dialog));

  // Exactly 50 bytes pass: Enter in a sentinel field ends the program.
  dunmark.SetText(IDC_DATA_PACKETS, std::wstring(25, L'\x4E2D'));
  dunmark.FocusOn(IDC_TRACK2_START);
  Dunmark::Key(dunmark.Item(IDC_TRACK2_START), VK_RETURN);
  EXPECT_EQ(dunmark.WaitExit(), 0u);
}

// Esc, Enter in the port box and the close box end the program; the close
// box without looking at the data field.
TEST_F(DialogShell, EscEnterAndTheCloseBoxEndTheProgram) {
  ASSERT_NO_FATAL_FAILURE(dunmark.Start());
  dunmark.FocusOn(IDC_ENTER_MARK);
  Dunmark::Key(dunmark.Item(IDC_ENTER_MARK), VK_ESCAPE);
  EXPECT_EQ(dunmark.WaitExit(), 0u);

  Dunmark second;
  ASSERT_NO_FATAL_FAILURE(second.Start());
  second.FocusOn(IDC_PORT);
  Dunmark::Key(second.Focus(), VK_RETURN);
  Dunmark::Key(GetWindow(second.Item(IDC_PORT), GW_CHILD), VK_RETURN);
  EXPECT_EQ(second.WaitExit(), 0u);

  Dunmark third;
  ASSERT_NO_FATAL_FAILURE(third.Start());
  third.SetText(IDC_DATA_PACKETS, std::wstring(80, L'x'));
  PostMessageW(third.dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_EQ(third.WaitExit(), 0u);
}

// A press reaches the controller and the library (on a clean prefix, the
// zip's DLL): with no port open "Get Version" fails with its box, the
// reason behind Help.
TEST_F(DialogShell, APressReachesTheLibraryAndItsBoxComesUp) {
  ASSERT_NO_FATAL_FAILURE(dunmark.Start());
  dunmark.Click(IDC_GET_VERSION);
  ASSERT_NO_FATAL_FAILURE(dunmark.Expect(core::Box::kVersionFailed, core::ReasonOf(KORVEL_E_HANDLE)));
}

// ---- The connection panel ----------------------------------------------------------

TEST_F(DialogWithReader, StartsWithTheCommandLinesPortSelected) {
  const std::vector<std::wstring> items = dunmark.Items(IDC_PORT);
  ASSERT_EQ(items.size(), 9u);
  EXPECT_EQ(items[0], L"com1");
  EXPECT_EQ(items[8], Widen(reader.port()));
  EXPECT_EQ(dunmark.Selected(IDC_PORT), 8);

  // A name the list holds, in another case, is selected there.
  Dunmark other;
  ASSERT_NO_FATAL_FAILURE(other.Start(L"--port COM3"));
  EXPECT_EQ(other.Items(IDC_PORT).size(), 8u);
  EXPECT_EQ(other.Selected(IDC_PORT), 2);
}

// The flow end to end: "Open Com" probes the reader and says so.  The
// library's wait dispatches the dialog's messages: it keeps painting, and a
// click meanwhile waits for the call under way and its box.  The version box
// shows the reader's text.  "Baud Choose" without a selected rate (typed
// into the box) is refused, the reason behind Help, the port left open.
TEST_F(DialogWithReader, PressesReachTheReaderAndTheirBoxesComeUp) {
  ASSERT_NO_FATAL_FAILURE(dunmark.OpenReader(reader));
  reader.Send("fault slow 2000");
  const size_t from = reader.LogSize();
  dunmark.Click(IDC_GET_VERSION);
  dunmark.Click(IDC_SEARCH_MODE);
  ASSERT_NE(reader.WaitForLine(from, "reply delayed"), "");
  InvalidateRect(dunmark.dialog, nullptr, TRUE);
  EXPECT_TRUE(WaitFor([&] { return !GetUpdateRect(dunmark.dialog, nullptr, FALSE); }, 1500));
  EXPECT_TRUE(dunmark.NoBox()) << "the call was over before the dialog was painted";
  const Box version = dunmark.WaitBox();
  EXPECT_EQ(version.text, Widen(sim::Options().identification)) << Describe(version);
  EXPECT_EQ(version.title, Widen(core::kVersionTitle));
  EXPECT_EQ(version.icon, Icon::kInformation);
  ASSERT_NO_FATAL_FAILURE(Dunmark::Answer(version));
  ASSERT_NO_FATAL_FAILURE(dunmark.Expect(core::Box::kSearchCommand));

  reader.Send("fault none");
  dunmark.Select(IDC_BAUD_CHOOSE_BOX, -1);
  ASSERT_NO_FATAL_FAILURE(Press(IDC_BAUD_CHOOSE, core::Box::kBaudFailed, core::ReasonOf(KORVEL_E_BAUD)));
  EXPECT_TRUE(dunmark.Enabled(IDC_CLOSE_COM) && !dunmark.Enabled(IDC_OPEN_COM)) << "the port stays open";
}

TEST_F(DialogWithReader, ExitEndsTheProgramAtOnce) {
  ASSERT_NO_FATAL_FAILURE(dunmark.OpenReader(reader));
  dunmark.Click(IDC_EXIT);
  EXPECT_EQ(dunmark.WaitExit(), 0u);
}

// ---- The reader panel ----------------------------------------------------------------

// "Active Mode" starts the poll timer: a swipe shows in the data field with
// its line breaks.  "Command Mode" stops it: an "Active Mode" whose reply is
// cut short puts the reader in active mode without starting the timer, and
// a swipe then waits unread for more than two periods.
TEST_F(DialogWithReader, ModesStartAndStopThePollTimer) {
  ASSERT_NO_FATAL_FAILURE(dunmark.OpenReader(reader));
  ASSERT_NO_FATAL_FAILURE(Press(IDC_ACTIVE_MODE, core::Box::kActiveSucceeded));
  reader.Send("swipe 1");
  ASSERT_TRUE(WaitFor([&] { return dunmark.Text(IDC_DATA_PACKETS) == Swiped(1); }));
  EXPECT_EQ(SendMessageW(dunmark.Item(IDC_DATA_PACKETS), EM_GETLINECOUNT, 0, 0), 3);
  Screenshot("dialog-swipe");

  ASSERT_NO_FATAL_FAILURE(Press(IDC_COMMAND_MODE, core::Box::kCommandSucceeded));
  reader.Send("fault cut");
  ASSERT_NO_FATAL_FAILURE(
      Press(IDC_ACTIVE_MODE, core::Box::kActiveFailed, core::ReasonOf(KORVEL_E_REPLY_TIMEOUT)));
  reader.Send("fault none");
  const size_t from = reader.LogSize();
  reader.Send("swipe 2");
  EXPECT_NE(reader.WaitForLine(from, "sent (active mode)"), "");
  EXPECT_FALSE(WaitFor([&] { return dunmark.Text(IDC_DATA_PACKETS) != Swiped(1); }, 3 * core::kPollPeriodMs));
}

// Each field gives its first byte in code page 936 (a double-byte
// character's lead byte, 0 when empty), the Enter mark '0' or '1'.
TEST_F(DialogWithReader, DataSettingSendsEachFieldsFirstByte) {
  ASSERT_NO_FATAL_FAILURE(dunmark.OpenReader(reader));
  dunmark.SetText(IDC_TRACK1_START, L"\x4E2Dx");
  dunmark.SetText(IDC_TRACK2_START, L"%B");
  dunmark.SetText(IDC_TRACK3_END, L"");
  dunmark.Click(IDC_ENTER_MARK);
  ASSERT_TRUE(WaitFor([&] { return !dunmark.Checked(IDC_ENTER_MARK); }));
  const size_t from = reader.LogSize();
  ASSERT_NO_FATAL_FAILURE(Press(IDC_DATA_SETTING, core::Box::kSettingSucceeded));
  EXPECT_NE(reader.WaitForLine(from, "track settings:").find("D6 3F 25 3F 2B 00 37 30"), std::string::npos);
}
