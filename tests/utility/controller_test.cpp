// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The dialog's controller against a scripted reader and a view that records
// what it is told: for each press and the reader's answers, the library
// calls, the boxes with their details, the texts and the control states, in
// order.  Both faces (Qt, Win32) run this one flow.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "dialog_controller.h"

namespace dunmark::core {
namespace {

std::string Join(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// The reader's answers, in call order: a status and the bytes the call
// writes into its area.  The log is shared with the view.
class ScriptedReader final : public ReaderCalls {
 public:
  struct Answer {
    int status;
    std::string bytes;
  };
  ScriptedReader(std::vector<std::string>& log) : m_log(log) {}
  std::deque<Answer> answers;
  std::function<void()> duringCall;  // runs inside the next waiting call

  void* Open(const char* port, uint32_t baud) override {
    m_log.push_back("open " + std::string(port) + " " + std::to_string(baud));
    return Next(nullptr) == KORVEL_OK ? &m_handle : nullptr;
  }
  std::string OpenFailureReason() override { return "no such port."; }
  int Close(void* handle) override {
    m_log.push_back(handle == &m_handle ? "close" : "close (no handle)");
    return Next(nullptr);
  }
  void SetPump(void*, Korvel_Pump) override { m_log.push_back("pump"); }
  int Search(void* h, unsigned char* mode) override { return Waiting(h, "search", mode); }
  int Reset(void* h, unsigned char* text) override { return Waiting(h, "reset", text); }
  int ReadMode(void* h, uint32_t mode) override {
    return Waiting(h, "mode " + std::string(1, char(mode)), nullptr);
  }
  int ReadData(void* h, unsigned char* data) override { return Waiting(h, "read data", data); }
  int SetCommBaud(void* h, uint32_t baud) override {
    return Waiting(h, "baud " + std::to_string(baud), nullptr);
  }
  int SetTrack(void* h, const unsigned char* record) override {
    return Waiting(h, "track " + std::string(reinterpret_cast<const char*>(record), 8), nullptr);
  }
  int GetTrack(void* h, unsigned char* data) override { return Waiting(h, "capture", data); }

 private:
  // A call on the port; one without the open port's handle says so.
  int Waiting(void* handle, const std::string& call, unsigned char* area) {
    m_log.push_back(handle == &m_handle ? call : call + " (no handle)");
    if (duringCall) std::exchange(duringCall, nullptr)();
    return Next(area);
  }
  int Next(unsigned char* area) {
    if (answers.empty()) return KORVEL_OK;
    const Answer answer = answers.front();
    answers.pop_front();
    if (area != nullptr) std::memcpy(area, answer.bytes.data(), answer.bytes.size());
    return answer.status;
  }
  std::vector<std::string>& m_log;
  int m_handle = 0;
};

class RecordingView final : public View {
 public:
  explicit RecordingView(std::vector<std::string>& log) : m_log(log) {}
  void ShowBox(Box box, const std::string& details) override {
    m_log.push_back(std::string("box ") + TextOf(box).text + (details.empty() ? "" : " | " + details));
  }
  void ShowReaderText(const std::string& text) override { m_log.push_back("version box " + text); }
  void SetDataField(const std::string& text) override { m_log.push_back("field " + text); }
  void SetEnabled(int id, bool enabled) override {
    m_log.push_back((enabled ? "enable " : "disable ") + std::to_string(id));
  }
  // Each combo box its own item: the port, the rate to open with, the rate to set.
  std::string SelectedItem(int id) const override {
    return id == IDC_PORT ? "COM5" : id == IDC_BAUD ? "19200" : id == IDC_BAUD_CHOOSE_BOX ? "38400" : "?";
  }
  uint8_t FirstByte(int id) const override { return id == IDC_TRACK1_START ? '#' : '?'; }
  bool IsChecked(int) const override { return false; }
  bool CanPress(int id) const override { return id != disabled; }
  void StartTimer() override { m_log.push_back("timer on"); }
  void StopTimer() override { m_log.push_back("timer off"); }
  void ScheduleDelivery() override { m_log.push_back("deliver later"); }
  void ShowAbout() override { m_log.push_back("about"); }
  void CardNoted(const std::vector<uint8_t>& card, const std::array<uint8_t, 8>& record) override {
    m_log.push_back("card " + std::string(card.begin(), card.end()) + " " + char(record[0]));
  }
  void DeliverEnd(End end) override { m_log.push_back(end == End::kOk ? "end ok" : "end cancel"); }
  void ExitProgram() override { m_log.push_back("exit"); }
  int disabled = 0;

 private:
  std::vector<std::string>& m_log;
};

struct Desk {
  std::vector<std::string> log;
  ScriptedReader reader{log};
  RecordingView view{log};
  DialogController controller{view, reader};
  // Opens the port (the probe answers) and forgets what that logged.
  void Open() {
    controller.Press(IDC_OPEN_COM);
    log.clear();
  }
};

constexpr int kDisc = KORVEL_E_DISCONNECTED;
constexpr int kNoReply = KORVEL_E_NO_REPLY;
constexpr int kClose = KORVEL_E_CLOSE;

// A box as the view records it, with a failure's reason.
std::string B(Box box) {
  return std::string("box ") + TextOf(box).text;
}
std::string B(Box box, int status) {
  return B(box) + " | " + ReasonOf(status);
}
// The buttons of a closed and of an open port, and the timer, as recorded.
const std::string kClosed = "enable 1002\ndisable 1003\ntimer off";
const std::string kOpen = "disable 1002\nenable 1003\ntimer off";
// The reader gone: the port closed.
const std::string kGone = "close\n" + kClosed;
const std::string kOpenCom = "open COM5 19200";

struct Case {
  const char* name;
  bool open;  // the port is open before the press
  int press;
  std::vector<ScriptedReader::Answer> answers;
  std::vector<std::string> want;
};

TEST(Controller, EachPressAndTheReadersAnswer) {
  const std::string kTimerOn = "disable 1002\nenable 1003\ntimer on";
  // clang-format off
  const std::vector<Case> cases = {
    {"open fails", false, IDC_OPEN_COM, {{-1, ""}}, {kOpenCom, B(Box::kOpenFailed) + " | no such port.", kClosed}},
    {"open, probe", false, IDC_OPEN_COM, {{0, ""}, {0, "1"}}, {kOpenCom, "search", B(Box::kProbeSucceeded), kOpen}},
    {"probe unanswered", false, IDC_OPEN_COM, {{0, ""}, {kNoReply, ""}, {0, ""}},
     {kOpenCom, "search", "close", B(Box::kProbeFailed, kNoReply), kClosed}},
    {"probe unanswered, close fails", false, IDC_OPEN_COM, {{0, ""}, {kNoReply, ""}, {kClose, ""}},
     {kOpenCom, "search", "close", B(Box::kProbeCloseFailed, kClose), kClosed}},
    {"close", true, IDC_CLOSE_COM, {{0, ""}}, {"close", kClosed}},
    {"close fails", true, IDC_CLOSE_COM, {{kClose, ""}}, {"close", B(Box::kCloseFailed, kClose), kOpen}},
    {"rate changed", true, IDC_BAUD_CHOOSE, {{0, ""}, {0, ""}}, {"baud 38400", "close", kClosed, B(Box::kBaudSucceeded)}},
    {"rate refused", true, IDC_BAUD_CHOOSE, {{7, ""}}, {"baud 38400", B(Box::kBaudFailed, 7)}},
    {"rate, reader gone", true, IDC_BAUD_CHOOSE, {{kDisc, ""}, {0, ""}}, {"baud 38400", B(Box::kBaudFailed, kDisc), kGone}},
    {"active mode", true, IDC_ACTIVE_MODE, {{0, ""}}, {"mode 0", B(Box::kActiveSucceeded), kTimerOn}},
    {"command mode", true, IDC_COMMAND_MODE, {{0, ""}}, {"mode 1", B(Box::kCommandSucceeded), kOpen}},
    {"active mode refused", true, IDC_ACTIVE_MODE, {{5, ""}}, {"mode 0", B(Box::kActiveFailed, 5)}},
    {"command mode refused", true, IDC_COMMAND_MODE, {{5, ""}}, {"mode 1", B(Box::kCommandFailed, 5)}},
    {"search: active", true, IDC_SEARCH_MODE, {{0, "0"}}, {"search", B(Box::kSearchActive)}},
    {"search: command", true, IDC_SEARCH_MODE, {{0, "1"}}, {"search", B(Box::kSearchCommand)}},
    {"search: no mode byte", true, IDC_SEARCH_MODE, {{0, ""}}, {"search", B(Box::kSearchCommand)}},
    {"search refused", true, IDC_SEARCH_MODE, {{5, ""}}, {"search", B(Box::kSearchFailed, 5)}},
    {"version", true, IDC_GET_VERSION, {{0, "MSR\rV2"}}, {"reset", "version box MSR\r\nV2"}},
    {"version, empty", true, IDC_GET_VERSION, {{0, ""}}, {"reset", "version box "}},
    {"version, reader gone", true, IDC_GET_VERSION, {{kDisc, ""}, {0, ""}}, {"reset", B(Box::kVersionFailed, kDisc), kGone}},
    {"version, no port", false, IDC_GET_VERSION, {{KORVEL_E_HANDLE, ""}},
     {"reset (no handle)", B(Box::kVersionFailed, KORVEL_E_HANDLE)}},
    {"read card", true, IDC_COMMAND_READ_CARD, {{0, ";41=29?"}}, {"read data", "field ;41=29?", "card ;41=29? %"}},
    {"read card, none: no box", true, IDC_COMMAND_READ_CARD, {{kNoReply, ""}}, {"read data", "field "}},
    {"read card, reader gone", true, IDC_COMMAND_READ_CARD, {{kDisc, ""}, {0, ""}}, {"read data", "field ", kGone}},
    {"clear", true, IDC_CLEAR_INFORMATION, {}, {"field "}},
    {"data setting", true, IDC_DATA_SETTING, {{0, ""}}, {"track #?????70", B(Box::kSettingSucceeded)}},
    {"data setting refused", true, IDC_DATA_SETTING, {{3, ""}}, {"track #?????70", B(Box::kSettingFailed, 3)}},
    {"about", true, kAboutCommand, {}, {"about"}},
    {"exit: the port stays open", true, IDC_EXIT, {}, {"exit"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    Desk desk;
    if (c.open) desk.Open();
    desk.reader.answers.assign(c.answers.begin(), c.answers.end());
    desk.controller.Press(c.press);
    EXPECT_EQ(Join(desk.log), Join(c.want)) << c.name;
  }
}

// After "Close Com" or a rate change the next call goes without a handle.
TEST(Controller, AClosedPortIsNotUsedAgain) {
  for (int press : {IDC_CLOSE_COM, IDC_BAUD_CHOOSE}) {
    Desk desk;
    desk.Open();
    desk.controller.Press(press);
    desk.log.clear();
    desk.controller.Press(IDC_SEARCH_MODE);
    EXPECT_EQ(desk.log.front(), "search (no handle)") << press;
  }
}

TEST(Controller, TicksCaptureAndNoteTheCardAndTheRecordDecodesIt) {
  Desk desk;
  desk.Open();
  desk.reader.answers = {{0, ""}, {0, ""}, {0, "%B41^X?"}, {KORVEL_E_EMPTY, ""}, {kDisc, ""}, {0, ""}};
  desk.controller.Press(IDC_DATA_SETTING);
  desk.controller.Press(IDC_ACTIVE_MODE);
  desk.log.clear();
  desk.controller.Tick();
  desk.controller.Tick();  // nothing waiting: nothing changes
  EXPECT_EQ(Join(desk.log), Join({"capture", "field %B41^X?", "card %B41^X? #", "capture"}));
  EXPECT_EQ(std::string(desk.controller.LastCard().begin(), desk.controller.LastCard().end()), "%B41^X?");
  desk.log.clear();
  desk.controller.Tick();
  EXPECT_EQ(Join(desk.log), Join({"capture", kGone}));
  EXPECT_EQ(desk.controller.g_hComm, nullptr);
  EXPECT_FALSE(desk.controller.IsPollTimerRunning());
}

// Whatever reaches the controller while a call waits (a press, About, a
// tick, the dialog's end) waits for the handler to finish and is then
// delivered in order; a button disabled meanwhile ignores its press.
TEST(Controller, WhatArrivesDuringAWaitIsHeldBackThenDelivered) {
  Desk desk;
  desk.Open();
  desk.controller.Press(IDC_ACTIVE_MODE);
  desk.log.clear();
  desk.view.disabled = IDC_OPEN_COM;
  desk.reader.duringCall = [&] {
    EXPECT_TRUE(desk.controller.IsWaiting());
    desk.controller.Press(IDC_SEARCH_MODE);
    desk.controller.Press(IDC_OPEN_COM);
    desk.controller.Press(kAboutCommand);
    desk.controller.Tick();
    EXPECT_FALSE(desk.controller.MayEnd(End::kCancel));
  };
  desk.reader.answers = {{0, "1"}, {0, "0"}, {KORVEL_E_EMPTY, ""}};
  desk.controller.Press(IDC_GET_VERSION);
  EXPECT_EQ(Join(desk.log), Join({"reset", "version box 1", "deliver later"}));
  desk.log.clear();
  desk.controller.DeliverHeldBack();
  EXPECT_EQ(Join(desk.log), Join({"search", B(Box::kSearchActive), "about", "capture", "end cancel"}));
  EXPECT_TRUE(desk.controller.MayEnd(End::kOk));
  desk.log.clear();
  desk.controller.DeliverHeldBack();  // nothing left
  EXPECT_TRUE(desk.log.empty());
}

}  // namespace
}  // namespace dunmark::core
