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

std::string AccessHint(const std::string& device, const std::string& group) {
  return korvel::AccessHint(device, group);
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

std::vector<std::string> BuildPortList(const std::vector<std::string>& devices,
                                       const std::vector<std::string>& extra) {
  std::vector<std::string> list = FixedPortNames();
  auto add = [&](const std::string& name) {
    if (!name.empty() && std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
  };
  for (const std::string& name : devices) add(name);
  for (const std::string& name : extra) add(name);
  return list;
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
