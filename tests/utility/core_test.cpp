// The logic both dialogs share, free of any toolkit: box texts, what each
// outcome does to the buttons and the timer, reasons, rates, the port list,
// the mode answer and the track settings record.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dunmark_core.h"

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
  EXPECT_EQ(ReasonOf(error), AccessHint("/nonexistent/ttyUSB0", ""));

  const std::string hint = AccessHint("/dev/ttyUSB0", "dialout");
  EXPECT_NE(hint.find("/dev/ttyUSB0"), std::string::npos);
  EXPECT_NE(hint.find("'dialout' group"), std::string::npos);
  EXPECT_EQ(hint.find('\n'), std::string::npos);
  EXPECT_EQ(AccessHint("/dev/ttyUSB0", "").find("group"), std::string::npos);
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

  const std::vector<std::string> list = BuildPortList({"/dev/ttyUSB0"}, {"/dev/pts/4", "/dev/ttyUSB0", ""});
  ASSERT_EQ(list.size(), 10u);
  EXPECT_EQ(std::vector<std::string>(list.begin(), list.begin() + 8), FixedPortNames());
  EXPECT_EQ(list.front(), "com1");
  EXPECT_EQ(list[8], "/dev/ttyUSB0");
  EXPECT_EQ(list[9], "/dev/pts/4");
}

TEST(TrackRecord, FirstBytesThenSevenThenTheEnterMark) {
  const std::array<uint8_t, 6> defaults = {'%', '?', ';', '?', '+', '?'};
  EXPECT_EQ(BuildTrackRecord(defaults, true),
            (std::array<uint8_t, 8>{0x25, 0x3F, 0x3B, 0x3F, 0x2B, 0x3F, 0x37, 0x31}));
  EXPECT_EQ(BuildTrackRecord({0, 0xD6, '?', '+', '?', 0}, false),
            (std::array<uint8_t, 8>{0, 0xD6, '?', '+', '?', 0, '7', '0'}));
}

}  // namespace
}  // namespace dunmark::core
