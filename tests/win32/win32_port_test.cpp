// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The Win32 port backend through the library's exports, on COM ports that
// Wine maps to pseudo-terminals served by the reader simulator (korvel-sim).
// tests/win32/run.sh sets everything up and passes, in the environment:
//
//   KORVEL_SIM_PORT        the simulator's COM port, numbered above 9 (COM11)
//   KORVEL_SIM_ALIAS       a second name of the same port, numbered 1 to 9
//   KORVEL_SIM_CONTROL     the simulator's control FIFO, as a Windows path
//
// Without them the tests are skipped.  The expected bytes come from the
// simulator's own reader model, built into this program: a frame the library
// got wrong by one byte is ignored by the simulated reader and shows up here
// as a missing reply.
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
#include <functional>
#include <string>
#include <vector>

#include "korvel.h"
#include "korvel_sim.h"

namespace {

namespace sim = korvel::sim;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuard = 0xEE;
constexpr std::array<uint8_t, 8> kDefaultRecord{'%', '?', ';', '?', '+', '?', '7', '1'};
// "swipe N" on the control FIFO passes sample card N-1.
constexpr int kFirstSwipeNumber = 1;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int64_t RealMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Processor time of the calling thread, user and kernel.
int64_t ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
  auto ms = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 10000);
  };
  return ms(kernel) + ms(user);
}

// Calls `attempt` until it returns something other than `pending`, for at
// most `timeout_ms`; returns the last result.  For changes that happen
// outside this process (a control command taking effect, a swipe arriving).
int Until(const std::function<int()>& attempt, int pending, int timeout_ms = 10000) {
  const int64_t end = RealMs() + timeout_ms;
  int result = attempt();
  while (result == pending && RealMs() < end) {
    Sleep(5);
    result = attempt();
  }
  return result;
}

// Writes one command line to a simulator's control FIFO.
void Control(const std::string& fifo, const std::string& command) {
  HANDLE f = CreateFileA(fifo.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot open the control FIFO " << fifo;
  const std::string line = command + "\n";
  DWORD written = 0;
  const BOOL ok = WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(f);
  ASSERT_TRUE(ok && written == line.size()) << "cannot write \"" << command << "\" to " << fifo;
}

Bytes Area(size_t size) {
  return Bytes(size, kGuard);
}

// `bytes` followed by zeros up to `size`.
Bytes ZeroFilled(Bytes bytes, size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

const sim::Card& CardOfSwipe(int number) {
  return sim::SampleCards().at(number - kFirstSwipeNumber);
}

void CountCall(void* context) {
  ++*static_cast<int*>(context);
}

// A message-only window that counts what it is sent, and whether that
// happened inside a library call.
bool g_in_library_call = false;
int g_window_messages = 0;
int g_window_messages_in_call = 0;
constexpr UINT kProbeMessage = WM_APP + 5;

LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kProbeMessage) {
    ++g_window_messages;
    if (g_in_library_call) ++g_window_messages_in_call;
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

HWND CreateProbeWindow() {
  static const ATOM atom = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ProbeWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "KorvelProbeWindow";
    return RegisterClassA(&wc);
  }();
  if (atom == 0) return nullptr;
  return CreateWindowExA(0, "KorvelProbeWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleA(nullptr), nullptr);
}

int g_timer_calls = 0;
void CALLBACK CountTimer(HWND, UINT, UINT_PTR, DWORD) {
  ++g_timer_calls;
}

// Empties this thread's message queue without the library.
void DrainMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message != WM_QUIT) DispatchMessageA(&msg);
  }
}

// ---------------------------------------------------------------------------
// A simulated reader on a COM port, brought to a known state: 9600 baud,
// command mode, default track settings, no fault.
// ---------------------------------------------------------------------------
class SimulatedReader : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = Env("KORVEL_SIM_PORT");
    fifo_ = Env("KORVEL_SIM_CONTROL");
    if (port_.empty() || fifo_.empty())
      GTEST_SKIP() << "no simulated reader configured (tests/win32/run.sh sets one up)";
    ASSERT_NO_FATAL_FAILURE(Control(fifo_, "fault none"));
    handle_ = FindReader();
    ASSERT_NE(handle_, nullptr) << "the simulated reader on " << port_ << " does not answer";
    ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_COMMAND), KORVEL_OK);
    ASSERT_EQ(Korvel_SetTrack(handle_, kDefaultRecord.data()), KORVEL_OK);
  }

  void TearDown() override {
    if (handle_ != nullptr) Korvel_CommClose(handle_);
    DrainMessages();
  }

  void* Open(uint32_t baud = 9600) { return Korvel_CommOpenWithBaud(port_.c_str(), baud); }

  // Opens the port at 9600 and makes sure the reader answers there; a reader
  // left at another rate by an earlier failure is brought back.
  void* FindReader() {
    uint8_t mode[KORVEL_MODE_AREA];
    for (uint32_t baud : {9600u, 4800u, 19200u, 38400u}) {
      void* h = Open(baud);
      if (h == nullptr) return nullptr;
      // Two tries: the first can still meet a fault that "fault none" has not
      // lifted yet.
      if (Korvel_Search(h, mode) == KORVEL_OK || Korvel_Search(h, mode) == KORVEL_OK) {
        if (baud == 9600) return h;
        const int status = Korvel_SetCommBaud(h, 9600);
        Korvel_CommClose(h);
        return status == KORVEL_OK ? Open(9600) : nullptr;
      }
      Korvel_CommClose(h);
    }
    return nullptr;
  }

  void Send(const std::string& command) { ASSERT_NO_FATAL_FAILURE(Control(fifo_, command)); }

  // Waits until something is waiting and GetTrack no longer says "empty".
  int CaptureWhenReady(uint8_t* area) {
    return Until([&] { return Korvel_GetTrack(handle_, area); }, KORVEL_E_EMPTY);
  }

  std::string port_;
  std::string fifo_;
  void* handle_ = nullptr;
  sim::ReaderModel model_;  // the reader as it should be after our requests
};

// Every framed command: the request must be byte-exact (the reader ignores
// anything else) and the result must be copied exactly.
TEST_F(SimulatedReader, ModeIsSetAndQueried) {
  for (uint8_t mode : {uint8_t{KORVEL_MODE_ACTIVE}, uint8_t{KORVEL_MODE_COMMAND}}) {
    ASSERT_EQ(Korvel_ReadMode(handle_, mode), KORVEL_OK);
    Bytes area = Area(12);
    ASSERT_EQ(Korvel_Search(handle_, area.data()), KORVEL_OK);
    // Reply offsets 5 to 14: the mode, ETX, the check byte, then zeros.
    const Bytes reply = sim::BuildReply('1', '0', 'Y', {mode});
    Bytes expected = ZeroFilled(Bytes(reply.begin() + 5, reply.end()), KORVEL_MODE_AREA);
    expected.push_back(kGuard);
    expected.push_back(kGuard);
    EXPECT_EQ(area, expected) << "mode " << mode;
  }
  // Only the low byte of the argument is sent.
  ASSERT_EQ(Korvel_ReadMode(handle_, 0x4700 | KORVEL_MODE_ACTIVE), KORVEL_OK);
  Bytes area = Area(KORVEL_MODE_AREA);
  ASSERT_EQ(Korvel_Search(handle_, area.data()), KORVEL_OK);
  EXPECT_EQ(area[0], KORVEL_MODE_ACTIVE);
  // A mode byte the reader does not know is sent unchecked and refused by it.
  EXPECT_EQ(Korvel_ReadMode(handle_, '7'), sim::kErrorBadParameter);
}

TEST_F(SimulatedReader, IdentificationTextIsCopied) {
  Bytes area = Area(32);
  ASSERT_EQ(Korvel_Reset(handle_, area.data()), KORVEL_OK);
  const std::string text = sim::Options().identification;
  Bytes expected = ZeroFilled(Bytes(text.begin(), text.end()), KORVEL_VERSION_AREA);
  expected.push_back(kGuard);
  expected.push_back(kGuard);
  EXPECT_EQ(area, expected);
}

TEST_F(SimulatedReader, CardDataIsReadOnCommand) {
  // Two different cards, so that the data of an earlier swipe cannot pass.
  for (int number : {kFirstSwipeNumber + 1, kFirstSwipeNumber}) {
    const Bytes swiped = model_.TrackBytes(CardOfSwipe(number));
    ASSERT_NO_FATAL_FAILURE(Send("swipe " + std::to_string(number)));
    Bytes area = Area(KORVEL_DATA_AREA);
    const int64_t end = RealMs() + 10000;
    int status;
    do {
      status = Korvel_ReadData(handle_, area.data());
    } while ((status != KORVEL_OK || area != ZeroFilled(swiped, KORVEL_DATA_AREA)) && RealMs() < end);
    EXPECT_EQ(status, KORVEL_OK);
    EXPECT_EQ(area, ZeroFilled(swiped, KORVEL_DATA_AREA)) << "card " << number;
  }
}

// Track settings change what a swipe sends in active mode; the capture hands
// the bytes over exactly, control bytes included (XON, XOFF, ETX, CR, NUL).
TEST_F(SimulatedReader, TrackSettingsShapeTheCapturedSwipe) {
  const std::array<uint8_t, 8> record{0x11, 0x13, 0x03, 0x0D, 0x00, 0x02, '7', '1'};
  ASSERT_EQ(Korvel_SetTrack(handle_, record.data()), KORVEL_OK);
  const Bytes request = sim::BuildRequest('5', Bytes(record.begin(), record.end()));
  model_.Receive(request.data(), request.size(), 0, 0);
  ASSERT_EQ(model_.state().track_settings, record);

  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_ACTIVE), KORVEL_OK);
  Bytes area = Area(KORVEL_DATA_AREA);
  EXPECT_EQ(Korvel_GetTrack(handle_, area.data()), KORVEL_E_EMPTY);
  EXPECT_EQ(area, Area(KORVEL_DATA_AREA)) << "an empty capture wrote into the area";

  const int number = kFirstSwipeNumber + 1;  // three tracks: every sentinel in use
  ASSERT_NO_FATAL_FAILURE(Send("swipe " + std::to_string(number)));
  ASSERT_EQ(CaptureWhenReady(area.data()), KORVEL_OK);
  EXPECT_EQ(area, ZeroFilled(model_.TrackBytes(CardOfSwipe(number)), KORVEL_DATA_AREA));
  // The capture emptied the input queue.
  EXPECT_EQ(Korvel_GetTrack(handle_, area.data()), KORVEL_E_EMPTY);
}

TEST_F(SimulatedReader, OverlongBurstStaysUntilAFramedCommand) {
  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_ACTIVE), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Send("fault burst 301"));
  ASSERT_NO_FATAL_FAILURE(Send("swipe " + std::to_string(kFirstSwipeNumber)));
  Bytes area = Area(KORVEL_DATA_AREA);
  EXPECT_EQ(CaptureWhenReady(area.data()), KORVEL_E_OVERFLOW);
  EXPECT_EQ(Korvel_GetTrack(handle_, area.data()), KORVEL_E_OVERFLOW);
  EXPECT_EQ(area, Area(KORVEL_DATA_AREA));
  // A framed command purges the input queue first.
  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_COMMAND), KORVEL_OK);
  EXPECT_EQ(Korvel_GetTrack(handle_, area.data()), KORVEL_E_EMPTY);
}

TEST_F(SimulatedReader, EveryRateOfTheReaderCanBeReached) {
  EXPECT_EQ(Korvel_SetCommBaud(handle_, 0), KORVEL_E_BAUD);
  EXPECT_EQ(Korvel_SetCommBaud(handle_, 115200), KORVEL_E_BAUD);
  uint8_t mode[KORVEL_MODE_AREA];
  // The reader answers at the old rate and then switches; the host port keeps
  // its rate until it is opened again.
  for (uint32_t baud : {19200u, 38400u, 4800u, 9600u}) {
    ASSERT_EQ(Korvel_SetCommBaud(handle_, baud), KORVEL_OK) << baud;
    ASSERT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
    handle_ = Open(baud);
    ASSERT_NE(handle_, nullptr) << baud;
    EXPECT_EQ(Korvel_Search(handle_, mode), KORVEL_OK) << "no answer at " << baud;
  }
}

TEST_F(SimulatedReader, MismatchedRateGivesNoReply) {
  ASSERT_EQ(Korvel_SetCommBaud(handle_, 19200), KORVEL_OK);
  uint8_t mode[KORVEL_MODE_AREA];
  EXPECT_EQ(Korvel_Search(handle_, mode), KORVEL_E_NO_REPLY);  // host still at 9600
  ASSERT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = Open(19200);
  ASSERT_NE(handle_, nullptr);
  ASSERT_EQ(Korvel_SetCommBaud(handle_, 9600), KORVEL_OK);
}

// A silent reader: -101 after the 3000 ms wait, during which the caller's
// pump, the thread's window messages and its timers keep running and the
// thread sleeps rather than spins.
TEST_F(SimulatedReader, SilentReaderTimesOutWhileMessagesFlow) {
  int pumped = 0;
  ASSERT_EQ(Korvel_SetMessagePump(handle_, CountCall, &pumped), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Send("fault silent"));
  g_timer_calls = 0;
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, CountTimer);
  ASSERT_NE(timer, 0u);

  Bytes area = Area(KORVEL_MODE_AREA);
  int status = KORVEL_OK;
  int64_t elapsed = 0, cpu = 0;
  // The fault takes effect once the simulator has read it (on a loaded
  // machine that can take longer than twenty quick replies).
  for (const int64_t end = RealMs() + 5000; status == KORVEL_OK && RealMs() < end;) {
    area = Area(KORVEL_MODE_AREA);
    pumped = 0;
    const int64_t start = RealMs(), cpu_start = ThreadCpuMs();
    status = Korvel_Search(handle_, area.data());
    elapsed = RealMs() - start;
    cpu = ThreadCpuMs() - cpu_start;
  }
  KillTimer(nullptr, timer);
  ASSERT_EQ(status, KORVEL_E_NO_REPLY);
  // The tick counter moves in steps of about 16 ms.
  EXPECT_GE(elapsed, 3000 - 20);
  EXPECT_LT(elapsed, 4500);
  EXPECT_GE(pumped, 100) << "the pump runs at least every 10 ms";
  EXPECT_GT(g_timer_calls, 0) << "thread timers were not dispatched during the wait";
  EXPECT_LT(cpu, elapsed / 2) << "the wait kept the processor busy";
  EXPECT_EQ(area, Area(KORVEL_MODE_AREA));
}

// A reply whose body stops short: -103 after the second 3000 ms wait.
TEST_F(SimulatedReader, ShortReplyTimesOut) {
  ASSERT_NO_FATAL_FAILURE(Send("fault cut 2"));
  Bytes area = Area(KORVEL_MODE_AREA);
  int64_t elapsed = 0;
  const int status = Until(
      [&] {
        area = Area(KORVEL_MODE_AREA);  // a reply from before the fault took effect filled it
        const int64_t start = RealMs();
        const int s = Korvel_Search(handle_, area.data());
        elapsed = RealMs() - start;
        return s;
      },
      KORVEL_OK);
  EXPECT_EQ(status, KORVEL_E_REPLY_TIMEOUT);
  EXPECT_GE(elapsed, 3000 - 20);
  EXPECT_EQ(area, Area(KORVEL_MODE_AREA));
}

// Noise before the reply: a frame error as soon as two bytes are there.
TEST_F(SimulatedReader, NoiseFirstIsAFrameError) {
  ASSERT_NO_FATAL_FAILURE(Send("fault noise 15"));
  Bytes area = Area(KORVEL_MODE_AREA);
  EXPECT_EQ(Until(
                [&] {
                  area = Area(KORVEL_MODE_AREA);  // a reply from before the fault took effect filled it
                  return Korvel_Search(handle_, area.data());
                },
                KORVEL_OK),
            KORVEL_E_FRAME);
  EXPECT_EQ(area, Area(KORVEL_MODE_AREA));
  // The rest of that reply is purged by the next command.
  ASSERT_NO_FATAL_FAILURE(Send("fault none"));
  EXPECT_EQ(Until([&] { return Korvel_Search(handle_, area.data()); }, KORVEL_E_FRAME), KORVEL_OK);
}

// A late reply is still collected: the wait wakes when it arrives.
TEST_F(SimulatedReader, SlowReplyIsAwaited) {
  ASSERT_NO_FATAL_FAILURE(Send("fault slow 1500"));
  Bytes area = Area(32);
  int status = KORVEL_OK;
  int64_t elapsed = 0;
  const int64_t end = RealMs() + 10000;
  while (status == KORVEL_OK && elapsed < 1400 && RealMs() < end) {
    const int64_t start = RealMs();
    status = Korvel_Reset(handle_, area.data());
    elapsed = RealMs() - start;
  }
  EXPECT_EQ(status, KORVEL_OK);
  EXPECT_GE(elapsed, 1400);
  EXPECT_LT(elapsed, 3000);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(area.data())), sim::Options().identification);
}

TEST_F(SimulatedReader, RefusalReturnsTheErrorByteAndLeavesTheArea) {
  ASSERT_NO_FATAL_FAILURE(Send("fault refuse 05"));
  Bytes area = Area(32);
  EXPECT_EQ(Until(
                [&] {
                  area = Area(32);  // a reply from before the fault took effect filled it
                  return Korvel_Reset(handle_, area.data());
                },
                KORVEL_OK),
            5);
  EXPECT_EQ(area, Area(32));
  ASSERT_NO_FATAL_FAILURE(Send("fault none"));
  EXPECT_EQ(Until([&] { return Korvel_Reset(handle_, area.data()); }, 5), KORVEL_OK);
}

// The capture's settle wait services the window-message queue: window and
// thread messages are taken and dispatched, the caller's pump runs.
TEST_F(SimulatedReader, WaitsDispatchWindowMessages) {
  HWND window = CreateProbeWindow();
  ASSERT_NE(window, nullptr);
  DrainMessages();
  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_ACTIVE), KORVEL_OK);
  int pumped = 0;
  ASSERT_EQ(Korvel_SetMessagePump(handle_, CountCall, &pumped), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Send("swipe " + std::to_string(kFirstSwipeNumber)));

  Bytes area = Area(KORVEL_DATA_AREA);
  int status = KORVEL_E_EMPTY;
  g_window_messages = g_window_messages_in_call = 0;
  const int64_t end = RealMs() + 10000;
  while (status == KORVEL_E_EMPTY && RealMs() < end) {
    // Posted anew before every try: only a try that waits takes them.
    DrainMessages();
    g_window_messages = g_window_messages_in_call = 0;
    ASSERT_TRUE(PostMessageA(window, kProbeMessage, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 6, 0, 0));
    g_in_library_call = true;
    status = Korvel_GetTrack(handle_, area.data());
    g_in_library_call = false;
    if (status == KORVEL_E_EMPTY) Sleep(5);
  }
  ASSERT_EQ(status, KORVEL_OK);
  EXPECT_EQ(g_window_messages_in_call, 1);
  EXPECT_GT(pumped, 0);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_APP + 6, WM_APP + 6, PM_NOREMOVE))
      << "the thread message was left in the queue";
  DestroyWindow(window);
}

// A quit request met during a wait is left for the caller's own message loop.
TEST_F(SimulatedReader, QuitRequestSurvivesAWait) {
  DrainMessages();
  ASSERT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_ACTIVE), KORVEL_OK);
  ASSERT_NO_FATAL_FAILURE(Send("swipe " + std::to_string(kFirstSwipeNumber)));
  Bytes area = Area(KORVEL_DATA_AREA);
  PostQuitMessage(7);
  ASSERT_EQ(CaptureWhenReady(area.data()), KORVEL_OK);  // waits 50 ms at least once
  MSG msg;
  ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
  EXPECT_EQ(msg.wParam, 7u);
}

// Names: "comN" in any case for every N (the device-namespace form is used
// above 9), and any other name as given.
TEST_F(SimulatedReader, PortNamesInEveryForm) {
  ASSERT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = nullptr;
  const std::string number = port_.substr(3);
  std::vector<std::string> names = {"com" + number, "COM" + number, "Com" + number, "\\\\.\\COM" + number};
  const std::string alias = Env("KORVEL_SIM_ALIAS");
  if (!alias.empty()) names.push_back("com" + alias.substr(3));
  for (const std::string& name : names) {
    void* h = Korvel_CommOpenWithBaud(name.c_str(), 9600);
    ASSERT_NE(h, nullptr) << name;
    uint8_t mode[KORVEL_MODE_AREA];
    EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK) << name;
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK) << name;
  }
  EXPECT_EQ(Korvel_CommOpenWithBaud("com250", 9600), nullptr);
  EXPECT_EQ(Korvel_CommOpenWithBaud("com", 9600), nullptr);
}

// Something that opens but is no serial port is refused, its handle closed
// again, and nothing is written to it.
TEST(Win32Port, FileIsRefusedAndReleased) {
  char dir[MAX_PATH], path[MAX_PATH];
  ASSERT_NE(GetTempPathA(MAX_PATH, dir), 0u);
  ASSERT_NE(GetTempFileNameA(dir, "kvl", 0, path), 0u);
  HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(f, "card", 4, &written, nullptr));
  CloseHandle(f);

  EXPECT_EQ(Korvel_CommOpenWithBaud(path, 9600), nullptr);
  // Free again: an exclusive open succeeds, and the content is unchanged.
  f = CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << "the refused open left the file held";
  char content[16] = {};
  DWORD got = 0;
  EXPECT_TRUE(ReadFile(f, content, sizeof content, &got, nullptr));
  CloseHandle(f);
  EXPECT_EQ(std::string(content, got), "card");
  DeleteFileA(path);
}

TEST_F(SimulatedReader, SecondOpenOfAnOpenPort) {
  void* second = Open();
  const bool wine_lets_it_open = second != nullptr && RunningUnderWine();
  if (wine_lets_it_open) {
    Korvel_CommClose(second);
  } else {
    EXPECT_EQ(second, nullptr) << "the port is held exclusively";
  }
  // After a close the port opens again.
  ASSERT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = Open();
  EXPECT_NE(handle_, nullptr);
  if (wine_lets_it_open) {
    GTEST_SKIP() << "Wine lets a second CreateFileA open a COM port that is already open; "
                    "Windows refuses it, so the library returns null there";
  }
}

TEST_F(SimulatedReader, UnsupportedRateOpensNothing) {
  ASSERT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = nullptr;
  for (uint32_t baud : {0u, 1200u, 57600u, 115200u}) EXPECT_EQ(Open(baud), nullptr) << baud;
  // The port was not touched: it opens at once.
  handle_ = Open();
  EXPECT_NE(handle_, nullptr);
}

// A closed handle is dead for every call; a null one too.
TEST_F(SimulatedReader, ClosedAndNullHandlesFailAtOnce) {
  void* closed = handle_;
  ASSERT_EQ(Korvel_CommClose(closed), KORVEL_OK);
  handle_ = nullptr;
  for (void* h : {closed, static_cast<void*>(nullptr)}) {
    Bytes area = Area(KORVEL_DATA_AREA);
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_E_CLOSE);
    EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_COMMAND), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_Search(h, area.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_Reset(h, area.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_ReadData(h, area.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetCommBaud(h, 9600), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetTrack(h, kDefaultRecord.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_GetTrack(h, area.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetMessagePump(h, CountCall, nullptr), KORVEL_E_HANDLE);
    EXPECT_EQ(area, Area(KORVEL_DATA_AREA));
  }
}

// The far end goes away while a command waits for its reply: the wait ends
// with "disconnected" instead of running into its timeout, and so does every
// later call on the handle.  The simulator then starts again on a new pty.
TEST_F(SimulatedReader, HangUpEndsTheWait) {
  ASSERT_NO_FATAL_FAILURE(Send("fault hangup"));
  uint8_t mode[KORVEL_MODE_AREA];
  int64_t elapsed = 0;
  const int status = Until(
      [&] {
        const int64_t start = RealMs();
        const int s = Korvel_Search(handle_, mode);
        elapsed = RealMs() - start;
        return s;
      },
      KORVEL_OK);
  EXPECT_EQ(status, KORVEL_E_DISCONNECTED);
  EXPECT_LT(elapsed, 3000) << "the wait ran into its timeout";
  uint8_t area[KORVEL_DATA_AREA];
  EXPECT_EQ(Korvel_GetTrack(handle_, area), KORVEL_E_DISCONNECTED);
  EXPECT_EQ(Korvel_ReadMode(handle_, KORVEL_MODE_COMMAND), KORVEL_E_DISCONNECTED);
  EXPECT_EQ(Korvel_CommClose(handle_), KORVEL_OK);
  handle_ = nullptr;

  // Plugged in again, the reader is reached through the same port name.
  ASSERT_NO_FATAL_FAILURE(Send("plug"));
  const int64_t end = RealMs() + 10000;
  while (handle_ == nullptr && RealMs() < end) {
    void* h = Open();
    if (h != nullptr && Korvel_Search(h, mode) == KORVEL_OK) {
      handle_ = h;
    } else {
      if (h != nullptr) Korvel_CommClose(h);
      Sleep(20);
    }
  }
  EXPECT_NE(handle_, nullptr) << "the reader did not come back after 'plug'";
}

}  // namespace
