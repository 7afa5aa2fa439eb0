/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Dunmark's logic that touches neither the port nor the screen and belongs to
// no toolkit: the dialogs' texts and control tables, the texts of every
// message box, what each outcome does to the two connection buttons and the
// poll timer, the reason shown in a box's details, the rates, the port list,
// the command line, the mode answer, the reader's text and the track settings
// record.  The Qt dialog and the native Windows dialog both call it; each
// front-end only turns these answers into widgets and 8-bit text of code
// page 936.  Plain C++, tested on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dunmark_ids.h"
#include "korvel.h"
#include "korvel_card.h"

namespace dunmark::core {

// ---- The dialogs ------------------------------------------------------------
// Texts are UTF-8.

inline constexpr const char* kMainCaption = "TV628";
inline constexpr const char* kAboutCaption = "关于 Dunmark";
inline constexpr const char* kAboutText = "Dunmark 1.0 版";
inline constexpr const char* kAboutOk = "确定";
// String 101, the system menu's About item.
inline constexpr const char* kAboutMenuItem = "关于 Dunmark(&A)...";
// The dialogs' font: 9 points of this face, or a substitute that shows
// Simplified Chinese where it is missing.
inline constexpr const char* kDialogFontFace = "宋体";
inline constexpr int kDialogFontPoints = 9;

enum class ControlKind {
  kGroupBox,
  kLabel,          // static text, shown without ampersand processing where it says so
  kIcon,           // static picture of icon 128
  kComboBox,       // drop-down: an edit field and a list; its height is the dropped list's
  kPushButton,     // never the default button
  kDefaultButton,  // the default push button
  kCheckBox,       // toggles itself
  kEdit,           // single line, border, horizontal auto-scroll
  kMultiLineEdit,  // border, vertical scroll bar, wraps, Enter belongs to the dialog
};

// What a control's kind does not say.
enum ControlFlag : unsigned {
  kStartsDisabled = 1u,  // greyed out until the dialog enables it
  kNoPrefix = 2u,        // a label whose '&' is shown, not taken as a mnemonic
};

// One control of a dialog template; position and size in dialog units.  The
// Windows dialog's resource script is generated from these tables
// (win32/make_dialogs_rc.cmake reads the rows of dunmark_core.cpp, one a line).
struct ControlTemplate {
  int id;  // IDC_STATIC (-1) for labels and group boxes no code addresses
  ControlKind kind;
  const char* caption;
  int x, y, w, h;
  unsigned flags = 0;  // ControlFlag bits
};

// A dialog template: caption, size in dialog units, and the controls in
// template order, which is also the tab order.
struct DialogTemplate {
  const char* caption;
  int w, h;
  std::span<const ControlTemplate> controls;
};

// The main dialog "TV628" (template 102) and the About box (template 100).
const DialogTemplate& MainDialog();
const DialogTemplate& AboutBox();

// Dialog units of a dialog font as the dialog manager takes them: one
// horizontal unit is a quarter of the average width of "A".."Z" "a".."z"
// (rounded), one vertical unit an eighth of the font's height.
struct BaseUnits {
  int x = 6;
  int y = 13;
};
// `alphabetWidth`: the width of the 52 letters "A".."Z" "a".."z" in a row.
BaseUnits BaseUnitsOf(int alphabetWidth, int fontHeight);
// Dialog units to pixels, rounded as MulDiv rounds.
int PixelsX(BaseUnits units, int dlu);
int PixelsY(BaseUnits units, int dlu);

// Where the icon is drawn centred in the client area of the minimised
// dialog: integer halves, truncated toward zero ((client - icon + 1) / 2).
struct Point {
  int x, y;
  bool operator==(const Point&) const = default;
};
Point IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

// The active-mode poll timer: identifier and period.
inline constexpr unsigned kPollTimerId = 1;
inline constexpr unsigned kPollPeriodMs = 1000;

// Most bytes (code page 936, a line break counting two) the user may type
// into the data field; text the program puts there is not limited.
inline constexpr int kDataFieldByteLimit = 50;
// The message of the OK command when the data field holds more: text, and
// the title of its box (shown with the warning icon).
std::string TooManyCharactersText();
inline constexpr const char* kTooManyCharactersTitle = "Dunmark";

// ---- The command line -------------------------------------------------------

struct CommandLine {
  std::vector<std::string> ports;  // --port NAME, in order (the last one is selected)
  bool simulate = false;           // --simulate
};

enum class CommandLineAction { kRun, kHelp, kVersion, kError };

// Reads the arguments (without the program name): --port NAME or
// --port=NAME (any number), --simulate where `simulateAvailable`, -h/--help,
// -v/--version.  For kError, `error` says what is wrong, in one line.
CommandLineAction ParseCommandLine(const std::vector<std::string>& arguments, bool simulateAvailable,
                                   CommandLine* commandLine, std::string* error);

// ---- Message boxes ----------------------------------------------------------

enum class Icon { kInformation, kError };

// One box: its message, its title (ending in the full-width colon) and icon.
// Texts are UTF-8.
struct BoxText {
  const char* text;
  const char* title;
  Icon icon;
};

// Every box the dialog shows.
enum class Box {
  kOpenFailed,
  kProbeSucceeded,
  kProbeFailed,
  kProbeCloseFailed,
  kCloseFailed,
  kBaudSucceeded,
  kBaudFailed,
  kActiveSucceeded,
  kActiveFailed,
  kCommandSucceeded,
  kCommandFailed,
  kSearchActive,
  kSearchCommand,
  kSearchFailed,
  kVersionFailed,  // (a successful "Get Version" shows the reader's text)
  kSettingSucceeded,
  kSettingFailed,
};

const BoxText& TextOf(Box box);

// The title and icon of the box that shows the identification text.
inline constexpr const char* kVersionTitle = "Information：";

// ---- The two connection buttons, the poll timer ---------------------------

// What the dialog shows of its state: which of "Open Com" and "Close Com"
// can be pressed, and whether the poll timer runs.
struct PanelState {
  bool openEnabled = true;
  bool closeEnabled = false;
  bool timerRunning = false;
};

enum class Event {
  kOpenFailed,          // the open gave no handle
  kProbeSucceeded,      // the reader answered the probe
  kProbeFailed,         // it did not; the port was closed again (or not)
  kCloseSucceeded,      // "Close Com"
  kCloseFailed,         // "Close Com" that failed
  kBaudSucceeded,       // the reader's rate changed; the port was closed
  kActiveSucceeded,     // "Active Mode"
  kCommandSucceeded,    // "Command Mode"
  kReaderDisconnected,  // a call ended with KORVEL_E_DISCONNECTED; the port was closed
};

// The state after `event`.  Failures other than these change nothing.
PanelState After(PanelState state, Event event);

// ---- Reasons, for a box's details -----------------------------------------

// Why a call failed, in words: the library's text of the status, with the
// reader's error byte for a refusal; a note that the reader was
// disconnected for KORVEL_E_DISCONNECTED.
std::string ReasonOf(int status);

// Why an open failed: the library's reason, and for a permission problem
// what to do about it (join the group that owns the device).
std::string ReasonOf(const Korvel_OpenError& error);

// ---- Rates, ports, mode, record -------------------------------------------

// The rate boxes' items, in order: "4800", "9600", "19200", "38400".
std::vector<std::string> RateItems();
// The item selected at start in both rate boxes ("9600").
int DefaultRateIndex();

// A rate written as decimal text, read like the C runtime's atoi: leading
// white space, an optional sign, the leading digits; no digits give 0.
uint32_t RateFromText(std::string_view text);

// The names the port box starts with: "com1" to "com8".
std::vector<std::string> FixedPortNames();

// Serial devices present under `devRoot` (normally "/dev"), as
// korvel::FindSerialDevices finds them for `korvel ports` too, without the
// machine's own ttyS ports (the list has them as com1 to com8): the entries
// of serial/by-id, then ttyUSB* and ttyACM*, each group in natural order
// (ttyUSB2 before ttyUSB10).  None on Windows.
std::vector<std::string> DiscoverSerialDevices(const std::string& devRoot = "/dev");

// The reader's bytes in a result area of `size` bytes: up to the first zero
// byte, never past `size` (a full 300-byte capture has no terminator), with
// every CR LF, lone CR and lone LF written as `lineBreak`.  Still code page
// 936 bytes (no trail byte of it is a CR or an LF).
std::string ReaderBytes(const unsigned char* area, size_t size, std::string_view lineBreak);

// "Serch Mode": the answer for a successful query whose first result byte is
// `modeByte`: active mode for '0', command mode for anything else.
Box SearchAnswer(uint8_t modeByte);

// The eight bytes "Data Setting" sends: the first byte (in code page 936) of
// each of the six sentinel fields, '7', and '1' or '0' for the Enter mark.
std::array<uint8_t, 8> BuildTrackRecord(const std::array<uint8_t, 6>& firstBytes, bool enterMark);

// ---- The last card, for the "Card" window --------------------------------

// One line of what a decoded card shows: a section ("Tracks", "Fields",
// "Checks"), a label, a value and, for a check, its result.
struct CardLine {
  enum class Kind { kTrack, kField, kCheck };
  Kind kind;
  std::string label;
  std::string value;
  int check = KORVEL_CHECK_NOT_APPLICABLE;  // for kCheck: KORVEL_CHECK_*
};

// Everything a decoded card shows, in order: the three tracks (found or
// not, and why), the card's fields, every check with its result and reason.
// Texts are as the decoder gave them: masked unless it was asked to reveal.
std::vector<CardLine> DescribeCard(const Korvel_Card& card);

// A check's result in words: "pass", "FAIL", "n/a".
const char* CheckResultText(int result);

// Today as the decoder's YYMM number.
uint32_t TodayYymm();

}  // namespace dunmark::core
