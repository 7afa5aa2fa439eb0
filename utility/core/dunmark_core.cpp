// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "dunmark_core.h"

#include <algorithm>
#include <cstdio>

#include "korvel/clock.h"
#include "korvel/rates.h"
#include "korvel/serial_devices.h"

namespace dunmark::core {

namespace {

constexpr const char* kInformation = "Information：";
constexpr const char* kError = "Error：";
constexpr const char* kErrorUpper = "ERROR：";
constexpr const char* kTips = "Tips：";
constexpr const char* kSuccess = "Success：";

}  // namespace

const DialogTemplate& MainDialog() {
  using K = ControlKind;
  static constexpr ControlTemplate kControls[] = {
      {IDC_STATIC, K::kGroupBox, "COM Setting", 7, 7, 414, 42},
      {IDC_STATIC, K::kLabel, "Port", 15, 21, 17, 8},
      {IDC_PORT, K::kComboBox, "", 35, 23, 48, 58},
      {IDC_STATIC, K::kLabel, "Baud", 91, 22, 17, 8},
      {IDC_BAUD, K::kComboBox, "", 119, 24, 48, 58},
      {IDC_OPEN_COM, K::kPushButton, "Open Com", 180, 21, 50, 14},
      {IDC_CLOSE_COM, K::kPushButton, "Close Com", 241, 21, 50, 14, kStartsDisabled},
      {IDC_EXIT, K::kPushButton, "Exit", 300, 21, 50, 14},
      {IDC_STATIC, K::kGroupBox, "Version", 7, 57, 58, 44},
      {IDC_GET_VERSION, K::kPushButton, "Get Version", 13, 74, 50, 14},
      {IDC_STATIC, K::kGroupBox, "Mode Choose", 71, 62, 187, 40},
      {IDC_STATIC, K::kGroupBox, "Baud Setting", 264, 62, 155, 40},
      {IDC_ACTIVE_MODE, K::kPushButton, "Active Mode", 75, 77, 52, 14},
      {IDC_COMMAND_MODE, K::kPushButton, "Command Mode", 131, 77, 55, 14},
      {IDC_SEARCH_MODE, K::kPushButton, "Serch Mode", 192, 77, 55, 14},
      {IDC_BAUD_CHOOSE, K::kPushButton, "Baud Choose", 287, 79, 52, 14},
      {IDC_BAUD_CHOOSE_BOX, K::kComboBox, "", 359, 79, 48, 60},
      {IDC_STATIC, K::kGroupBox, "Output Setting", 14, 109, 403, 98},
      {IDC_STATIC, K::kGroupBox, "First Track", 18, 122, 56, 62},
      {IDC_STATIC, K::kGroupBox, "Second Track", 83, 123, 62, 61},
      {IDC_STATIC, K::kGroupBox, "Third Track", 151, 125, 63, 59},
      {IDC_STATIC, K::kLabel, "Start ", 20, 140, 21, 14},
      {IDC_TRACK1_START, K::kEdit, "", 47, 137, 20, 14},
      {IDC_STATIC, K::kLabel, "End", 19, 164, 26, 8},
      {IDC_TRACK1_END, K::kEdit, "", 48, 161, 19, 12},
      {IDC_STATIC, K::kLabel, "Start", 84, 140, 21, 8},
      {IDC_STATIC, K::kLabel, "End", 83, 163, 13, 8},
      {IDC_STATIC, K::kLabel, "Start", 154, 139, 21, 8},
      {IDC_STATIC, K::kLabel, "End", 157, 161, 13, 8},
      {IDC_TRACK2_START, K::kEdit, "", 116, 137, 23, 14},
      {IDC_TRACK2_END, K::kEdit, "", 114, 160, 23, 14},
      {IDC_TRACK3_START, K::kEdit, "", 181, 137, 24, 14},
      {IDC_TRACK3_END, K::kEdit, "", 181, 157, 24, 14},
      {IDC_STATIC, K::kGroupBox, "End Mark", 224, 125, 63, 60},
      {IDC_ENTER_MARK, K::kCheckBox, "Enter Mark", 229, 147, 54, 14},
      {IDC_DATA_SETTING, K::kPushButton, "Data Setting", 305, 145, 54, 23},
      {IDC_STATIC, K::kGroupBox, "ReadCardSetting", 15, 211, 404, 59},
      {IDC_COMMAND_READ_CARD, K::kPushButton, "Command Read Card", 19, 224, 74, 14},
      {IDC_CLEAR_INFORMATION, K::kPushButton, "Clear Information", 19, 242, 73, 15},
      {IDC_STATIC, K::kLabel, "Data Packets", 99, 226, 23, 30},
      {IDC_DATA_PACKETS, K::kMultiLineEdit, "", 129, 221, 280, 40},
  };
  static constexpr DialogTemplate kDialog{kMainCaption, 434, 288, kControls};
  return kDialog;
}

const DialogTemplate& AboutBox() {
  using K = ControlKind;
  // The icon's size comes from the icon (32 x 32 pixels), not the template.
  static constexpr ControlTemplate kControls[] = {
      {IDC_STATIC, K::kIcon, "", 11, 17, 20, 20},
      {IDC_STATIC, K::kLabel, kAboutText, 40, 10, 119, 8, kNoPrefix},
      {1, K::kDefaultButton, kAboutOk, 178, 7, 50, 14},
  };
  static constexpr DialogTemplate kDialog{kAboutCaption, 235, 55, kControls};
  return kDialog;
}

namespace {

// MulDiv for the non-negative values of a dialog template: rounds half up.
int Scale(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

}  // namespace

BaseUnits BaseUnitsOf(int alphabetWidth, int fontHeight) {
  return {std::max(1, (alphabetWidth / 26 + 1) / 2), std::max(1, fontHeight)};
}

int PixelsX(BaseUnits units, int dlu) {
  return Scale(dlu, units.x, 4);
}

int PixelsY(BaseUnits units, int dlu) {
  return Scale(dlu, units.y, 8);
}

Point IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
  return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

std::string TooManyCharactersText() {
  return "Please enter no more than " + std::to_string(kDataFieldByteLimit) + " characters.";
}

CommandLineAction ParseCommandLine(const std::vector<std::string>& arguments, bool simulateAvailable,
                                   CommandLine* commandLine, std::string* error) {
  *commandLine = CommandLine{};
  error->clear();
  auto fail = [error](std::string message) {
    *error = std::move(message);
    return CommandLineAction::kError;
  };
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-h" || argument == "--help") return CommandLineAction::kHelp;
    if (argument == "-v" || argument == "--version") return CommandLineAction::kVersion;
    if (argument == "--simulate") {
      if (!simulateAvailable) return fail("this build has no simulated reader (--simulate)");
      commandLine->simulate = true;
    } else if (argument == "--port") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) return fail("--port needs a device");
      commandLine->ports.push_back(arguments[++i]);
    } else if (argument.starts_with("--port=")) {
      if (argument.size() == 7) return fail("--port needs a device");
      commandLine->ports.push_back(argument.substr(7));
    } else {
      return fail("unknown argument '" + argument + "'");
    }
  }
  return CommandLineAction::kRun;
}

const BoxText& TextOf(Box box) {
  static const BoxText kTexts[] = {
      {"Open Com Fail!", kError, Icon::kError},                             // kOpenFailed
      {"Successful test to brush card slot !", kTips, Icon::kInformation},  // kProbeSucceeded
      {"No detection to brush card slot !", kTips, Icon::kInformation},     // kProbeFailed
      {"Closed serial failure!", kError, Icon::kError},                     // kProbeCloseFailed
      {"Closed serial failure!", kErrorUpper, Icon::kError},                // kCloseFailed
      {"Set baud rate success!", kSuccess, Icon::kInformation},             // kBaudSucceeded
      {"Set baud rate fail!", kError, Icon::kError},                        // kBaudFailed
      {"Setting Active Mode Success !", kInformation, Icon::kInformation},  // kActiveSucceeded
      {"Setting Active Mode Failure !", kInformation, Icon::kError},        // kActiveFailed
      {"Set Command Mode Success!", kInformation, Icon::kInformation},      // kCommandSucceeded
      {"Set Command Mode Failure !", kInformation, Icon::kError},           // kCommandFailed
      {"\"Active Mode\"\r\n\r\n", kInformation, Icon::kInformation},        // kSearchActive
      {"\"Command Mode\"\r\n\r\n", kInformation, Icon::kInformation},       // kSearchCommand
      {"Search Mode failure", kInformation, Icon::kError},                  // kSearchFailed
      {"Get Version Fail", kInformation, Icon::kError},                     // kVersionFailed
      {"Setting success", kInformation, Icon::kInformation},                // kSettingSucceeded
      {"Setting Failure", kError, Icon::kError},                            // kSettingFailed
  };
  static_assert(sizeof kTexts / sizeof kTexts[0] == static_cast<size_t>(Box::kSettingFailed) + 1);
  return kTexts[static_cast<size_t>(box)];
}

PanelState After(PanelState state, Event event) {
  switch (event) {
    case Event::kOpenFailed:
    case Event::kProbeFailed: state.openEnabled = true; break;
    case Event::kProbeSucceeded:
      state.openEnabled = false;
      state.closeEnabled = true;
      break;
    case Event::kCloseSucceeded:
    case Event::kBaudSucceeded:
      state.openEnabled = true;
      state.closeEnabled = false;
      break;
    case Event::kCloseFailed: break;
    case Event::kActiveSucceeded: state.timerRunning = true; break;
    case Event::kCommandSucceeded: state.timerRunning = false; break;
    case Event::kReaderDisconnected:
      state.openEnabled = true;
      state.closeEnabled = false;
      state.timerRunning = false;
      break;
  }
  return state;
}

std::string ReasonOf(int status) {
  if (status >= 1 && status <= 255) {
    char text[96];
    std::snprintf(text, sizeof text, "The reader refused the command with error byte 0x%02X (%d).", status,
                  status);
    return text;
  }
  std::string reason = Korvel_StatusText(status);
  reason += '.';
  if (status == KORVEL_E_DISCONNECTED) {
    reason += " The reader was disconnected: the port has been closed. Press \"Open Com\" once it is back.";
  }
  return reason;
}

std::string ReasonOf(const Korvel_OpenError& error) {
  if (error.reason == KORVEL_OPEN_PERMISSION)
    return korvel::AccessHint(error.device, korvel::GroupToJoin(error.device));
  std::string reason = error.text[0] != '\0' ? error.text : "The port could not be opened";
  reason += '.';
  return reason;
}

std::vector<std::string> RateItems() {
  std::vector<std::string> items;
  for (const korvel::LineRate& rate : korvel::kLineRates) items.emplace_back(rate.text);
  return items;
}

int DefaultRateIndex() {
  for (size_t i = 0; i < korvel::kLineRates.size(); ++i)
    if (korvel::kLineRates[i].baud == korvel::kDefaultBaud) return static_cast<int>(i);
  return 0;
}

uint32_t RateFromText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    value = value * 10u + uint32_t(text[i] - '0');
  return negative ? 0u - value : value;
}

std::vector<std::string> FixedPortNames() {
  std::vector<std::string> names;
  for (int n = 1; n <= 8; ++n) names.push_back("com" + std::to_string(n));
  return names;
}

std::vector<std::string> DiscoverSerialDevices(const std::string& devRoot) {
  // The machine's own ports are in the list already by their comN names.
  std::vector<std::string> devices;
  for (const korvel::SerialDevice& device : korvel::FindSerialDevices(devRoot))
    if (device.kind != korvel::SerialKind::kBuiltIn) devices.push_back(device.path);
  return devices;
}

std::string ReaderBytes(const unsigned char* area, size_t size, std::string_view lineBreak) {
  std::string text;
  for (size_t i = 0; i < size && area[i] != 0; ++i) {
    if (area[i] == '\r') {
      text += lineBreak;
      if (i + 1 < size && area[i + 1] == '\n') ++i;
    } else if (area[i] == '\n') {
      text += lineBreak;
    } else {
      text += static_cast<char>(area[i]);
    }
  }
  return text;
}

Box SearchAnswer(uint8_t modeByte) {
  return modeByte == KORVEL_MODE_ACTIVE ? Box::kSearchActive : Box::kSearchCommand;
}

std::array<uint8_t, 8> BuildTrackRecord(const std::array<uint8_t, 6>& firstBytes, bool enterMark) {
  std::array<uint8_t, 8> record{};
  std::copy(firstBytes.begin(), firstBytes.end(), record.begin());
  record[6] = '7';
  record[7] = enterMark ? '1' : '0';
  return record;
}

const char* CheckResultText(int result) {
  switch (result) {
    case KORVEL_CHECK_PASSED: return "pass";
    case KORVEL_CHECK_FAILED: return "FAIL";
    default: return "n/a";
  }
}

std::vector<CardLine> DescribeCard(const Korvel_Card& card) {
  std::vector<CardLine> lines;
  for (int i = 0; i < 3; ++i) {
    const Korvel_CardTrack& track = card.track[i];
    std::string value;
    switch (track.status) {
      case KORVEL_TRACK_ABSENT: value = "absent"; break;
      case KORVEL_TRACK_OK: value = track.text; break;
      default: value = std::string(track.text) + "  (malformed: " + track.reason + ")"; break;
    }
    lines.push_back({CardLine::Kind::kTrack, "Track " + std::to_string(i + 1), value});
  }
  auto field = [&](const char* label, const char* value) {
    lines.push_back({CardLine::Kind::kField, label, value[0] != '\0' ? value : "-"});
  };
  const bool account = card.account_track != 0;
  field("Account number", card.account);
  field("Name", card.name);
  field("Surname", card.surname);
  field("Given name", card.given_name);
  field("Expiration (YYMM)", card.expiration);
  field("Service code", card.service_code);
  field("Discretionary data", account ? card.track[card.account_track - 1].discretionary : "");
  field("Format code", card.format_code);
  lines.push_back(
      {CardLine::Kind::kField, "Fields from",
       account ? "track " + std::to_string(card.account_track) : "no track has the account layout"});
  for (int i = 0; i < card.check_count && i < KORVEL_CARD_CHECKS; ++i) {
    const Korvel_CardCheck& check = card.check[i];
    lines.push_back({CardLine::Kind::kCheck, check.name, check.reason, check.result});
  }
  return lines;
}

uint32_t TodayYymm() {
  return korvel::TodayYymm();
}

}  // namespace dunmark::core
