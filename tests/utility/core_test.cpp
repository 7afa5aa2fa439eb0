// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The logic both dialogs share, free of any toolkit: the dialogs' control
// tables and units, box texts, what each outcome does to the buttons and the
// timer, reasons, rates, the port list, the command line, the mode answer,
// the reader's text and the track settings record.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dunmark_core.h"
#include "korvel/serial_devices.h"

namespace dunmark::core {
namespace {

TEST(Boxes, EveryTitleEndsInTheFullWidthColonAndFailuresShowTheErrorIcon) {
  for (int i = 0; i <= static_cast<int>(Box::kSettingFailed); ++i) {
    const BoxText& box = TextOf(static_cast<Box>(i));
    const std::string title = box.title;
    EXPECT_EQ(title.substr(title.size() - 3), "：") << box.text;
  }
  EXPECT_STREQ(TextOf(Box::kCloseFailed).title, "ERROR：");
  EXPECT_STREQ(TextOf(Box::kProbeCloseFailed).title, "Error：");
  EXPECT_EQ(TextOf(Box::kProbeFailed).icon, Icon::kInformation);
  EXPECT_EQ(TextOf(Box::kSearchFailed).icon, Icon::kError);
}

// "Serch Mode": only '0' is active mode; any other byte, an empty answer
// included, is command mode.
TEST(SearchAnswer, OnlyZeroIsActiveMode) {
  EXPECT_EQ(SearchAnswer('0'), Box::kSearchActive);
  for (int b : {int{'1'}, int{'2'}, 0, 0xFF, int{' '}})
    EXPECT_EQ(SearchAnswer(static_cast<uint8_t>(b)), Box::kSearchCommand) << b;
}

TEST(PanelState, EachOutcomeMovesTheButtonsAndTheTimer) {
  struct Step {
    Event event;
    bool open, close, timer;
  };
  const Step steps[] = {
      {Event::kOpenFailed, true, false, false},     {Event::kProbeSucceeded, false, true, false},
      {Event::kActiveSucceeded, false, true, true}, {Event::kCloseFailed, false, true, true},
      {Event::kCloseSucceeded, true, false, true},  // closing leaves the timer alone
      {Event::kProbeSucceeded, false, true, true},  {Event::kCommandSucceeded, false, true, false},
      {Event::kActiveSucceeded, false, true, true}, {Event::kReaderDisconnected, true, false, false},
      {Event::kProbeSucceeded, false, true, false}, {Event::kBaudSucceeded, true, false, false},
      {Event::kProbeFailed, true, false, false},
  };
  PanelState state;
  EXPECT_TRUE(state.openEnabled);
  EXPECT_FALSE(state.closeEnabled || state.timerRunning);
  for (const Step& step : steps) {
    state = After(state, step.event);
    EXPECT_EQ(state.openEnabled, step.open) << static_cast<int>(step.event);
    EXPECT_EQ(state.closeEnabled, step.close) << static_cast<int>(step.event);
    EXPECT_EQ(state.timerRunning, step.timer) << static_cast<int>(step.event);
  }
  // A failed probe whose close failed too: "Open Com" enabled, "Close Com" as it was.
  EXPECT_TRUE(After({false, true, false}, Event::kProbeFailed).closeEnabled);
}

TEST(Reasons, StatusesRefusalsAndOpens) {
  EXPECT_EQ(ReasonOf(5), "The reader refused the command with error byte 0x05 (5).");
  EXPECT_EQ(ReasonOf(KORVEL_E_NO_REPLY), std::string(Korvel_StatusText(KORVEL_E_NO_REPLY)) + ".");
  EXPECT_NE(ReasonOf(KORVEL_E_DISCONNECTED).find("disconnected"), std::string::npos);

  Korvel_OpenError error{};
  error.reason = KORVEL_OPEN_ABSENT;
  std::snprintf(error.text, sizeof error.text, "/dev/ttyUSB7: No such file or directory");
  EXPECT_EQ(ReasonOf(error), "/dev/ttyUSB7: No such file or directory.");
  error.reason = KORVEL_OPEN_PERMISSION;
  std::snprintf(error.device, sizeof error.device, "/nonexistent/ttyUSB0");
  EXPECT_EQ(ReasonOf(error), korvel::AccessHint("/nonexistent/ttyUSB0", ""));

  const std::string hint = korvel::AccessHint("/dev/ttyUSB0", "dialout");
  EXPECT_NE(hint.find("/dev/ttyUSB0"), std::string::npos);
  EXPECT_NE(hint.find("'dialout' group"), std::string::npos);
  EXPECT_EQ(hint.find('\n'), std::string::npos);
  EXPECT_EQ(korvel::AccessHint("/dev/ttyUSB0", "").find("group"), std::string::npos);
}

TEST(Rates, ReadLikeAtoiFromTheOneTable) {
  EXPECT_EQ(RateItems(), (std::vector<std::string>{"4800", "9600", "19200", "38400"}));
  EXPECT_EQ(RateItems()[DefaultRateIndex()], "9600");
  EXPECT_EQ(RateFromText("9600"), 9600u);
  EXPECT_EQ(RateFromText(" 19200 baud"), 19200u);
  EXPECT_EQ(RateFromText(""), 0u);
  EXPECT_EQ(RateFromText("fast"), 0u);
}

TEST(Ports, FixedNamesThenTheSerialDevicesPresent) {
  const std::filesystem::path dev =
      std::filesystem::temp_directory_path() /
      ("dunmark-dev-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(dev);
  std::filesystem::create_directories(dev / "serial/by-id");
  for (const char* name : {"ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "null", "ttyUSBx",
                           "serial/by-id/usb-FTDI_Reader_A1-if00-port0"})
    std::ofstream(dev / name).put('\n');
  const std::string d = dev.string();
  EXPECT_EQ(DiscoverSerialDevices(d),
            (std::vector<std::string>{d + "/serial/by-id/usb-FTDI_Reader_A1-if00-port0", d + "/ttyUSB2",
                                      d + "/ttyUSB10", d + "/ttyACM0"}));
  std::filesystem::remove_all(dev);

  const std::vector<std::string> fixed = FixedPortNames();
  ASSERT_EQ(fixed.size(), 8u);
  EXPECT_EQ(fixed.front(), "com1");
  EXPECT_EQ(fixed.back(), "com8");
}

TEST(TrackRecord, FirstBytesThenSevenThenTheEnterMark) {
  const std::array<uint8_t, 6> defaults = {'%', '?', ';', '?', '+', '?'};
  EXPECT_EQ(BuildTrackRecord(defaults, true),
            (std::array<uint8_t, 8>{0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31}));
  EXPECT_EQ(BuildTrackRecord({0, 0xD6, '?', '+', '?', 0}, false),
            (std::array<uint8_t, 8>{0, 0xD6, '?', '+', '?', 0, '7', '0'}));
}

// Both front-ends and the Windows test build their dialogs from these tables:
// a control outside its dialog, an identifier used twice or a label that
// code could address would show in every one of them.
TEST(Dialogs, ControlsLieInsideTheirDialogAndOnlyInputsHaveIdentifiers) {
  for (const DialogTemplate* dialog : {&MainDialog(), &AboutBox()}) {
    std::set<int> ids;
    for (const ControlTemplate& c : dialog->controls) {
      SCOPED_TRACE(std::string(dialog->caption) + " / " + c.caption + " " + std::to_string(c.id));
      EXPECT_GE(c.x, 0);
      EXPECT_GE(c.y, 0);
      EXPECT_LE(c.x + c.w, dialog->w);
      EXPECT_LE(c.y + c.h, dialog->h);
      const bool passive =
          c.kind == ControlKind::kGroupBox || c.kind == ControlKind::kLabel || c.kind == ControlKind::kIcon;
      EXPECT_EQ(passive, c.id == IDC_STATIC);
      if (!passive) {
        EXPECT_TRUE(ids.insert(c.id).second) << "identifier used twice";
      }
    }
  }
  EXPECT_EQ(MainDialog().controls.size(), 41u);
  EXPECT_EQ(std::string(MainDialog().caption), "TV628");
  EXPECT_EQ(MainDialog().w, 434);
  EXPECT_EQ(MainDialog().h, 288);
  // The data field ends the tab order; "Open Com" comes before "Close Com".
  EXPECT_EQ(MainDialog().controls.back().id, IDC_DATA_PACKETS);
  EXPECT_EQ(AboutBox().controls.back().id, 1);  // IDOK, the default button
}

// The Windows dialogs are generated from the tables: each template of the
// resource script holds the table's caption, size and controls, in order,
// each with its kind's statement, caption, place and initial state.
TEST(Dialogs, TheResourceScriptIsTheTables) {
  std::ifstream file(DUNMARK_RESOURCE_SCRIPT);
  ASSERT_TRUE(file) << DUNMARK_RESOURCE_SCRIPT;
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  auto statement = [](ControlKind kind) {
    switch (kind) {
      case ControlKind::kGroupBox: return "GROUPBOX ";
      case ControlKind::kLabel: return "LTEXT ";
      case ControlKind::kIcon: return "ICON ";
      case ControlKind::kComboBox: return "COMBOBOX ";
      case ControlKind::kPushButton: return "PUSHBUTTON ";
      case ControlKind::kDefaultButton: return "DEFPUSHBUTTON ";
      case ControlKind::kCheckBox: return "BS_AUTOCHECKBOX";
      case ControlKind::kEdit: return "ES_AUTOHSCROLL";
      case ControlKind::kMultiLineEdit: return "ES_MULTILINE";
    }
    return "?";
  };
  for (const auto& [name, dialog] :
       {std::pair{"IDD_DUNMARK_DIALOG", &MainDialog()}, {"IDD_ABOUTBOX", &AboutBox()}}) {
    const std::string head =
        std::string(name) + " DIALOGEX 0, 0, " + std::to_string(dialog->w) + ", " + std::to_string(dialog->h);
    const auto at = std::find(lines.begin(), lines.end(), head);
    ASSERT_NE(at, lines.end()) << head;
    const auto begin = std::find(at, lines.end(), "BEGIN");
    ASSERT_NE(begin, lines.end());
    EXPECT_NE(std::find(at, begin, std::string("CAPTION \"") + dialog->caption + "\""), begin) << name;
    const auto end = std::find(begin, lines.end(), "END");
    ASSERT_EQ(size_t(end - begin - 1), dialog->controls.size()) << name;
    for (size_t i = 0; i < dialog->controls.size(); ++i) {
      const ControlTemplate& c = dialog->controls[i];
      const std::string& line = begin[1 + i];
      SCOPED_TRACE(line);
      EXPECT_NE(line.find(statement(c.kind)), std::string::npos);
      if (c.caption[0] != '\0') {
        EXPECT_NE(line.find(std::string("\"") + c.caption + "\", "), std::string::npos);
      }
      const std::string place = ", " + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
                                std::to_string(c.w) + ", " + std::to_string(c.h);
      EXPECT_NE(line.find(place), std::string::npos);
      EXPECT_EQ(line.find("WS_DISABLED") != std::string::npos, (c.flags & kStartsDisabled) != 0);
    }
  }
}

TEST(Dialogs, UnitsFromTheFontRoundAsTheDialogManager) {
  const BaseUnits classic = BaseUnitsOf(312, 13);  // 6 x 13, the old dialog font
  EXPECT_EQ(classic.x, 6);
  EXPECT_EQ(
      (std::array{PixelsX(classic, 180), PixelsY(classic, 21), PixelsX(classic, 50), PixelsY(classic, 14)}),
      (std::array{270, 34, 75, 23}));
  const BaseUnits wide = BaseUnitsOf(364, 14);  // an average of exactly 7
  EXPECT_EQ(wide.x, 7);
  EXPECT_EQ(PixelsX(wide, 434), 760);
  EXPECT_EQ(PixelsY(wide, 288), 504);
  EXPECT_EQ(BaseUnitsOf(337, 14).x, 6);  // an average of 6.48 rounds down
  EXPECT_EQ(BaseUnitsOf(338, 14).x, 7);  // 6.5 rounds up
  EXPECT_EQ(BaseUnitsOf(0, 0).x, 1);

  EXPECT_EQ(IconOrigin(36, 36, 32, 32), (Point{2, 2}));
  EXPECT_EQ(IconOrigin(30, 40, 32, 32), (Point{0, 4}));  // truncated toward zero, not -1
  EXPECT_EQ(IconOrigin(20, 20, 32, 32), (Point{-5, -5}));
}

TEST(ReaderBytes, StopAtZeroOrTheAreaEndWithLineBreaksOfTheCallersKind) {
  const unsigned char version[32] = {'M', 'S', 'R', 0, 'X'};
  EXPECT_EQ(ReaderBytes(version, sizeof version, "\n"), "MSR");

  unsigned char full[310];
  std::fill(std::begin(full), std::end(full), 'B');
  std::fill(full, full + 300, 'A');
  EXPECT_EQ(ReaderBytes(full, 300, "\n"), std::string(300, 'A'));

  const unsigned char lines[] = {'%', '1', '?', '\r', '\n', ';', '\r', '+', '\n', '\n', 0xD6, 0xD0, 0};
  EXPECT_EQ(ReaderBytes(lines, sizeof lines, "\n"), "%1?\n;\n+\n\n\xD6\xD0");
  EXPECT_EQ(ReaderBytes(lines, sizeof lines, "\r\n"), "%1?\r\n;\r\n+\r\n\r\n\xD6\xD0");
  const unsigned char endsInCr[] = {'a', '\r'};
  EXPECT_EQ(ReaderBytes(endsInCr, sizeof endsInCr, "\r\n"), "a\r\n");
}

TEST(CommandLine, PortsHelpVersionAndMistakes) {
  struct Case {
    std::vector<std::string> arguments;
    bool simulateAvailable;
    CommandLineAction action;
    std::vector<std::string> ports;
    bool simulate;
    std::string error;
  };
  const Case cases[] = {
      {{}, false, CommandLineAction::kRun, {}, false, ""},
      {{"--port", "COM12", "--port=/dev/ttyUSB0"},
       false,
       CommandLineAction::kRun,
       {"COM12", "/dev/ttyUSB0"},
       false,
       ""},
      {{"--simulate", "--port", "a"}, true, CommandLineAction::kRun, {"a"}, true, ""},
      {{"--port", "a", "-h"}, false, CommandLineAction::kHelp, {}, false, ""},
      {{"--version"}, false, CommandLineAction::kVersion, {}, false, ""},
      {{"--port"}, false, CommandLineAction::kError, {}, false, "--port needs a device"},
      {{"--port", ""}, false, CommandLineAction::kError, {}, false, "--port needs a device"},
      {{"--port="}, false, CommandLineAction::kError, {}, false, "--port needs a device"},
      {{"--simulate"},
       false,
       CommandLineAction::kError,
       {},
       false,
       "this build has no simulated reader (--simulate)"},
      {{"COM3"}, false, CommandLineAction::kError, {}, false, "unknown argument 'COM3'"},
  };
  for (const Case& c : cases) {
    CommandLine line;
    std::string error;
    const CommandLineAction action = ParseCommandLine(c.arguments, c.simulateAvailable, &line, &error);
    SCOPED_TRACE(c.arguments.empty() ? std::string("(none)") : c.arguments.front());
    EXPECT_EQ(action, c.action);
    EXPECT_EQ(error, c.error);
    if (action == CommandLineAction::kRun) {
      EXPECT_EQ(line.ports, c.ports);
      EXPECT_EQ(line.simulate, c.simulate);
    }
  }
  EXPECT_NE(TooManyCharactersText().find("50"), std::string::npos);
}

}  // namespace
}  // namespace dunmark::core
