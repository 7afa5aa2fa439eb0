// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The network backend of the Windows DLL (Winsock) against the reader
// simulator behind a real ser2net on the Linux loopback, which a program
// under Wine reaches as any Windows program would.  tests/win32/run.sh sets
// it up and passes, in the environment:
//
//   KORVEL_NET_RFC2217   rfc2217://127.0.0.1:PORT of the simulated reader
//   KORVEL_NET_TCP       tcp://127.0.0.1:PORT of the same reader
//   KORVEL_NET_CONTROL   that simulator's control FIFO, as a Windows path
//   KORVEL_NET_REFUSED   a loopback port nobody listens on
//
// Without them the tests are skipped.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"

namespace {

namespace sim = korvel::sim;
using Bytes = std::vector<uint8_t>;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

int64_t RealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Control(const std::string& fifo, const std::string& command) {
  HANDLE f = CreateFileA(fifo.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot open the control FIFO " << fifo;
  const std::string line = command + "\n";
  DWORD written = 0;
  const BOOL ok = WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(f);
  ASSERT_TRUE(ok && written == line.size());
}

Bytes ZeroFilled(Bytes b, size_t size) {
  b.resize(size, 0);
  return b;
}

int g_probe_messages = 0;
constexpr UINT kProbeMessage = WM_APP + 7;
LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kProbeMessage) {
    ++g_probe_messages;
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void CountCall(void* context) {
  ++*static_cast<int*>(context);
}

// One network name of the simulated reader per test run, brought to a known
// state: no fault, command mode, default track settings.
class NetReader : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    name_ = Env(GetParam());
    fifo_ = Env("KORVEL_NET_CONTROL");
    if (name_.empty() || fifo_.empty())
      GTEST_SKIP() << "no ser2net configured (tests/win32/run.sh sets one up)";
    ASSERT_NO_FATAL_FAILURE(Control(fifo_, "fault none"));
    // ser2net releases the device of the other name a moment after its
    // connection ends, and turns connections away meanwhile.
    const int64_t end = RealMs() + 5000;
    while ((handle_ = Korvel_CommOpenWithBaud(name_.c_str(), 9600)) == nullptr && RealMs() < end) Sleep(20);
    ASSERT_NE(handle_, nullptr) << name_;
    ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_COMMAND), KORVEL_OK);
    ASSERT_EQ(Korvel_SetTrack(handle_, kDefaultRecord.data()), KORVEL_OK);
  }
  void TearDown() override {
    if (handle_ != nullptr) Korvel_CommClose(handle_);
  }

  static constexpr std::array<uint8_t, 8> kDefaultRecord{'%', '?', ';', '?', '+', '?', '7', '1'};
  std::string name_;
  std::string fifo_;
  void* handle_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Ser2net, NetReader, ::testing::Values("KORVEL_NET_RFC2217", "KORVEL_NET_TCP"),
                         [](const auto& info) { return std::string(info.param).substr(11); });

TEST_P(NetReader, CommandsAndACaptureWith0xFFBytes) {
  Bytes text(30, 0xEE);
  ASSERT_EQ(Korvel_Reset(handle_, text.data()), KORVEL_OK);
  const std::string id = sim::Options().identification;
  EXPECT_EQ(text, ZeroFilled(Bytes(id.begin(), id.end()), 30));

  // 0xFF sentinels go out doubled and come back single in the swipe.
  const std::array<uint8_t, 8> record{0xFF, 0xFF, ';', 0xFF, 0x0D, 0x00, '7', '1'};
  ASSERT_EQ(Korvel_SetTrack(handle_, record.data()), KORVEL_OK);
  sim::ReaderModel model;
  const Bytes request = sim::BuildRequest('5', Bytes(record.begin(), record.end()));
  model.Receive(request.data(), request.size(), 0, 0);
  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_ACTIVE), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Control(fifo_, "swipe 2"));
  Bytes area(300, 0xEE);
  int status = KORVEL_E_EMPTY;
  const int64_t end = RealMs() + 10000;
  while ((status = Korvel_GetTrack(handle_, area.data())) == KORVEL_E_EMPTY && RealMs() < end) Sleep(5);
  ASSERT_EQ(status, KORVEL_OK);
  EXPECT_EQ(area, ZeroFilled(model.TrackBytes(sim::SampleCards().at(1)), 300));
  Bytes mode(10, 0xEE);
  ASSERT_EQ(Korvel_Search(handle_, mode.data()), KORVEL_OK);
  EXPECT_EQ(mode[0], KORVEL_MODE_ACTIVE);
}

// A network wait dispatches window messages and runs the pump; a close from
// another thread ends it at once.
TEST_P(NetReader, AWaitServicesMessagesAndACloseEndsIt) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = ProbeWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "KorvelNetProbe";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, "KorvelNetProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  int pumped = 0;
  ASSERT_EQ(Korvel_SetMessagePump(handle_, CountCall, &pumped), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Control(fifo_, "fault slow 400"));
  g_probe_messages = 0;
  ASSERT_TRUE(PostMessageA(window, kProbeMessage, 0, 0));
  uint8_t mode[10];
  // The fault takes effect when the simulator reads its pipe: until then a
  // reply may still come at once.
  const int64_t end = RealMs() + 5000;
  int64_t took = 0;
  while (took < 300 && RealMs() < end) {
    const int64_t start = RealMs();
    ASSERT_EQ(Korvel_Search(handle_, mode), KORVEL_OK);
    took = RealMs() - start;
  }
  EXPECT_GE(took, 300);
  EXPECT_EQ(g_probe_messages, 1);
  EXPECT_GE(pumped, 10);
  DestroyWindow(window);

  ASSERT_NO_FATAL_FAILURE(Control(fifo_, "fault silent"));
  int status = 1;
  int64_t ended = 0;
  std::thread caller([&] {
    uint8_t text[30];
    // Until the simulator has taken the fault in, the reader still answers.
    while ((status = Korvel_Reset(handle_, text)) == KORVEL_OK) {
    }
    ended = RealMs();
  });
  Sleep(300);  // the call is waiting for a reply that will not come
  const int64_t closed = RealMs();
  EXPECT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = nullptr;
  caller.join();
  EXPECT_EQ(status, KORVEL_E_HANDLE);
  EXPECT_LT(ended - closed, 500);
}

TEST_P(NetReader, ASecondOpenIsTurnedAway) {
  EXPECT_EQ(Korvel_CommOpenWithBaud(name_.c_str(), 9600), nullptr);
  EXPECT_EQ(Korvel_GetOpenError(nullptr), KORVEL_OPEN_BUSY);
  uint8_t mode[10];
  EXPECT_EQ(Korvel_Search(handle_, mode), KORVEL_OK);
}

TEST(NetOpen, ARefusedConnectionFailsAtOnce) {
  const std::string port = Env("KORVEL_NET_REFUSED");
  if (port.empty()) GTEST_SKIP() << "no refused port configured (tests/win32/run.sh sets one up)";
  for (const char* scheme : {"rfc2217", "tcp"}) {
    const std::string name = std::string(scheme) + "://127.0.0.1:" + port;
    const int64_t start = RealMs();
    EXPECT_EQ(Korvel_CommOpenWithBaud(name.c_str(), 9600), nullptr) << name;
    EXPECT_LT(RealMs() - start, 3500) << name;
    Korvel_OpenError error;
    EXPECT_EQ(Korvel_GetOpenError(&error), KORVEL_OPEN_ABSENT) << error.text;
    EXPECT_EQ(error.system_error, 10061) << error.text;  // WSAECONNREFUSED
  }
  EXPECT_EQ(Korvel_CommOpenWithBaud("tcp://127.0.0.1", 9600), nullptr);
  EXPECT_EQ(Korvel_GetOpenError(nullptr), KORVEL_OPEN_ARGUMENT);
}

}  // namespace
