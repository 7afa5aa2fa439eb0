// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The library against the simulated reader on a real pseudo-terminal.
//
// Every test starts its own simulated reader (its own pty), so the tests can
// run side by side.  Tests in the PtySlow suite sit out a 3000 ms reply
// limit at least once; ctest labels them "slow".
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#include "korvel_card.h"
#include "korvel_sim.h"

namespace {

using namespace korvel::sim;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The library counts whole milliseconds of a monotonic clock, as a tick
// counter does: its 3000 ms may measure 2999.x here.
constexpr int64_t kReplyLimitMs = 2999;

Bytes Str(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A caller's area with guard bytes on both sides, all filled with a pattern.
template <size_t N>
struct Guarded {
  static constexpr size_t kGuard = 16;
  static constexpr uint8_t kFill = 0xA5;
  std::array<uint8_t, kGuard + N + kGuard> bytes;
  Guarded() { bytes.fill(kFill); }
  unsigned char* area() { return bytes.data() + kGuard; }
  Bytes Area() const { return Bytes(bytes.begin() + kGuard, bytes.begin() + kGuard + N); }
  bool Untouched() const {
    for (uint8_t b : bytes)
      if (b != kFill) return false;
    return true;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (bytes[i] != kFill || bytes[kGuard + N + i] != kFill) return false;
    return true;
  }
};

// Counts pump calls and runs an optional hook inside the pump.
struct Pump {
  std::atomic<int> calls{0};
  std::function<void(int call)> hook;
  static void Run(void* context) {
    auto* p = static_cast<Pump*>(context);
    const int n = ++p->calls;
    if (p->hook) p->hook(n);
  }
};

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// Inotify events on one path since the watch began.
class Watch {
 public:
  Watch(const std::string& path, uint32_t mask) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), mask);
  }
  ~Watch() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  uint32_t Events() {
    uint32_t seen = 0;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(fd_, buf, sizeof buf)) > 0)
      for (char* p = buf; p < buf + n;) {
        auto* e = reinterpret_cast<inotify_event*>(p);
        seen |= e->mask;
        p += sizeof(inotify_event) + e->len;
      }
    return seen;
  }

 private:
  int fd_;
};

// Gives a terminal the cooked settings of a fresh one (line editing, echo,
// CR to LF, XON/XOFF, 7-bit stripping, LF to CR LF on output), so that only
// the library's own configuration can make it raw.
void Cook(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  t.c_iflag |= ICRNL | IXON | ISTRIP;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  close(fd);
}

class Pty : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(reader_ = StartReader(options_)); }
  void TearDown() override {
    for (void* h : handles_) Korvel_CommClose(h);
  }

  static std::unique_ptr<PtyReader> StartReader(const Options& options) {
    std::string error;
    auto reader = PtyReader::Start(options, &error);
    EXPECT_TRUE(reader) << error;
    return reader;
  }

  // Opens the reader's pty; the handle is closed after the test.
  void* Open(uint32_t baud = 9600, const std::string& name = "") {
    void* h = Korvel_CommOpenWithBaud((name.empty() ? reader_->path() : name).c_str(), baud);
    if (h != nullptr) handles_.push_back(h);
    return h;
  }
  void Close(void* h) {
    std::erase(handles_, h);
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK);
  }

  // Korvel_GetTrack once the first bytes have reached the host's queue (a
  // pty hands bytes over a moment after they were written).
  static int GetTrackWhenReady(void* h, unsigned char* area) {
    const auto t0 = Clock::now();
    int status;
    while ((status = Korvel_GetTrack(h, area)) == KORVEL_E_EMPTY && MsSince(t0) < 2000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return status;
  }

  Options options_;
  std::unique_ptr<PtyReader> reader_;
  std::vector<void*> handles_;
};

using PtySlow = Pty;

// --- Commands ----------------------------------------------------------------

TEST_F(Pty, EveryCommandReachesTheReaderAndItsAnswerTheCaller) {
  void* h = Open();
  ASSERT_NE(h, nullptr);

  Guarded<30> text;
  EXPECT_EQ(Korvel_Reset(h, text.area()), KORVEL_OK);
  Bytes expected_text = Str("MSR-3T V2.10");
  expected_text.resize(30, 0);
  EXPECT_EQ(text.Area(), expected_text);
  EXPECT_TRUE(text.GuardsIntact());

  Guarded<10> mode;
  EXPECT_EQ(Korvel_Search(h, mode.area()), KORVEL_OK);
  // Reply offsets 5 to 14: the mode, the reply's ETX and BCC, then zeros.
  const Bytes reply = BuildReply('1', '0', 'Y', {'1'});
  EXPECT_EQ(mode.Area(), (Bytes{'1', 0x03, reply.back(), 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(mode.GuardsIntact());

  EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  EXPECT_EQ(reader_->State().mode, '0');
  EXPECT_EQ(Korvel_Search(h, mode.area()), KORVEL_OK);
  EXPECT_EQ(mode.Area()[0], '0');
  EXPECT_EQ(Korvel_ReadMode(h, '9'), kErrorBadParameter);
  EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_COMMAND), KORVEL_OK);

  const std::array<uint8_t, 8> record{'[', ']', '<', '>', '{', '}', '7', '0'};
  EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_OK);
  EXPECT_EQ(reader_->State().track_settings, record);

  Guarded<300> data;
  EXPECT_EQ(Korvel_ReadData(h, data.area()), kErrorNoCard);
  EXPECT_TRUE(data.Untouched());  // a refusal leaves the area alone
  const Card& card = SampleCards()[0];
  reader_->Swipe(card);
  EXPECT_EQ(Korvel_ReadData(h, data.area()), KORVEL_OK);
  Bytes expected_data = Str("[" + card.track1 + "]<" + card.track2 + ">");
  expected_data.resize(300, 0);
  EXPECT_EQ(data.Area(), expected_data);
  EXPECT_TRUE(data.GuardsIntact());

  EXPECT_EQ(Korvel_SetCommBaud(h, 0), KORVEL_E_BAUD);  // never sent
  EXPECT_EQ(Korvel_SetCommBaud(h, 19200), KORVEL_OK);
  EXPECT_EQ(reader_->State().baud, 19200u);

  // The exact bytes on the wire, in order.
  Bytes wire;
  for (const Bytes& f : {BuildRequest('2', {'0'}), BuildRequest('1', {'0'}), BuildRequest('0', {'0'}),
                         BuildRequest('1', {'0'}), BuildRequest('0', {'9'}), BuildRequest('0', {'1'}),
                         BuildRequest('5', Bytes(record.begin(), record.end())), BuildRequest('3', {'0'}),
                         BuildRequest('3', {'0'}), BuildRequest('4', {'2'})})
    wire.insert(wire.end(), f.begin(), f.end());
  EXPECT_TRUE(reader_->WaitReceived(wire.size(), 2000));
  EXPECT_EQ(reader_->Received(), wire);
}

TEST_F(Pty, RawModeCarriesControlBytesUntouchedBothWays) {
  ASSERT_NO_FATAL_FAILURE(Cook(reader_->path()));
  void* h = Open();
  ASSERT_NE(h, nullptr);
  // Host to reader: the settings record carries ETX, XON, XOFF, CR, LF,
  // DEL and NUL; the reader checks the block check, so one altered, dropped
  // or added byte would be refused or ignored.
  const std::array<uint8_t, 8> record{0x03, 0x11, 0x13, 0x0D, 0x0A, 0x7F, 0x00, '1'};
  EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_OK);
  EXPECT_EQ(reader_->State().track_settings, record);
  EXPECT_EQ(reader_->Received(), BuildRequest('5', Bytes(record.begin(), record.end())));

  // Reader to host: a swipe framed by those sentinels ...
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  const Card& card = SampleCards()[1];
  reader_->Swipe(card);
  Guarded<300> data;
  ASSERT_EQ(GetTrackWhenReady(h, data.area()), KORVEL_OK);
  Bytes expected = reader_->State().last_swipe;
  ASSERT_EQ(expected.size(), card.track1.size() + card.track2.size() + card.track3.size() + 12);
  expected.resize(300, 0);
  EXPECT_EQ(data.Area(), expected);

  // ... and raw bytes straight onto the line.
  const Bytes raw = {0x03, 0x11, 0x13, 0x0D, 0x0A, 0x7F, 0x00, 0x0D,
                     0x0D, 0x0A, 0x04, 0x1A, 0x1C, 0xFF, 0x80};
  reader_->Inject(raw);
  Guarded<300> injected;
  ASSERT_EQ(GetTrackWhenReady(h, injected.area()), KORVEL_OK);
  expected = raw;
  expected.resize(300, 0);
  EXPECT_EQ(injected.Area(), expected);
}

// --- Opening -----------------------------------------------------------------

TEST_F(Pty, APortIsHeldExclusivelyUntilClosed) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Open(), nullptr);  // same process
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(Korvel_CommOpenWithBaud(reader_->path().c_str(), 9600) == nullptr ? 0 : 1);
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << "another process opened the port too";

  // The first handle still works; after its close the port opens again and
  // the reader answers the new handle.
  unsigned char text[30];
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);
  Close(h);
  void* again = Open();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Korvel_Reset(again, text), KORVEL_OK);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "MSR-3T V2.10");
}

TEST_F(Pty, WhatIsNotASerialTerminalIsRefusedAndNeverWritten) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("korvel-it-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "not-a-port").string();
  std::ofstream(file) << "original content";
  Watch watch(file, IN_MODIFY | IN_ATTRIB);
  ASSERT_TRUE(watch.ok());

  const int before = OpenDescriptors();
  for (uint32_t baud : {4800u, 9600u, 19200u, 38400u}) EXPECT_EQ(Open(baud, file), nullptr);
  EXPECT_EQ(Open(9600, dir.string()), nullptr);
  EXPECT_EQ(Open(9600, "/dev/null"), nullptr);
  EXPECT_EQ(Open(9600, (dir / "missing").string()), nullptr);
  EXPECT_EQ(Korvel_CommOpenWithBaud(nullptr, 9600), nullptr);
  EXPECT_EQ(Korvel_CommOpenWithBaud("", 9600), nullptr);
  EXPECT_EQ(OpenDescriptors(), before);

  EXPECT_EQ(watch.Events() & (IN_MODIFY | IN_ATTRIB), 0u);
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "original content");
  std::filesystem::remove_all(dir);
}

TEST_F(Pty, AnUnsupportedRateNeverTouchesThePort) {
  Watch watch(reader_->path(), IN_OPEN | IN_MODIFY | IN_ATTRIB);
  ASSERT_TRUE(watch.ok());
  const int before = OpenDescriptors();
  for (uint32_t baud : {0u, 1u, 1200u, 2400u, 9601u, 57600u, 115200u, 0xFFFFFFFFu})
    EXPECT_EQ(Open(baud), nullptr);
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(watch.Events(), 0u);
  // A real open is seen by the same watch.
  EXPECT_NE(Open(), nullptr);
  EXPECT_NE(watch.Events() & IN_OPEN, 0u);
}

TEST_F(Pty, FailedOpensLeaveNoDescriptorBehind) {
  const int unopened = OpenDescriptors();
  void* h = Open();
  ASSERT_NE(h, nullptr);
  const int before = OpenDescriptors();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Open(), nullptr);  // busy
    EXPECT_EQ(Open(9600, "/dev/null"), nullptr);
    EXPECT_EQ(Open(9600, "/nonexistent/port"), nullptr);
    EXPECT_EQ(Open(9600, "/"), nullptr);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  Close(h);
  EXPECT_EQ(OpenDescriptors(), unopened);
}

// Why an open failed, for the calling thread, with the device the name
// stood for: "comN" is mapped as the library really opens it.
TEST_F(Pty, AFailedOpenSaysWhy) {
  void* held = Open();
  ASSERT_NE(held, nullptr);
  struct Case {
    std::string name;
    uint32_t baud;
    int reason;
    std::string device;
  };
  const Case cases[] = {
      {"", 9600, KORVEL_OPEN_ARGUMENT, ""},
      {reader_->path(), 1234, KORVEL_OPEN_BAUD, ""},
      {"/nonexistent/port", 9600, KORVEL_OPEN_ABSENT, "/nonexistent/port"},
      {"com4242", 9600, KORVEL_OPEN_ABSENT, "/dev/ttyS4241"},
      {"COM9999", 9600, KORVEL_OPEN_ABSENT, "/dev/ttyS9998"},
      {reader_->path(), 9600, KORVEL_OPEN_BUSY, reader_->path()},
      {"/dev/null", 9600, KORVEL_OPEN_NOT_SERIAL, "/dev/null"},
      {"/", 9600, KORVEL_OPEN_NOT_SERIAL, "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Korvel_CommOpenWithBaud(c.name.c_str(), c.baud), nullptr);
    Korvel_OpenError error;
    std::memset(&error, 0x5A, sizeof error);
    EXPECT_EQ(Korvel_GetOpenError(&error), c.reason);
    EXPECT_EQ(error.reason, c.reason);
    EXPECT_EQ(std::string(error.device), c.device);
    EXPECT_NE(std::string(error.text), "");
    EXPECT_EQ(error.text[KORVEL_OPEN_TEXT - 1], 0);
  }
  EXPECT_EQ(Korvel_GetOpenError(nullptr), KORVEL_OPEN_NOT_SERIAL);
  // Another thread's opens leave this thread's reason alone.
  std::thread([] { Korvel_CommClose(Korvel_CommOpenWithBaud("/nonexistent/port", 9600)); }).join();
  EXPECT_EQ(Korvel_GetOpenError(nullptr), KORVEL_OPEN_NOT_SERIAL);
  // A successful open clears it.
  Close(held);
  ASSERT_NE(Open(), nullptr);
  Korvel_OpenError error;
  EXPECT_EQ(Korvel_GetOpenError(&error), KORVEL_OPEN_OK);
  EXPECT_STREQ(error.text, "");
}

TEST_F(Pty, ComNamesNameSerialPortsAndOtherNamesArePaths) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("korvel-com-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  // Links in the working directory that a name used as a relative path
  // would reach.
  for (const char* name : {"com1", "COM1", "comx", "com"})
    std::filesystem::create_symlink(reader_->path(), dir / name);
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);

  Watch watch(reader_->path(), IN_OPEN);
  ASSERT_TRUE(watch.ok());
  // "com1" in any case is the machine's first serial port, never ./com1.
  for (const char* name : {"com1", "COM1"}) {
    void* h = Korvel_CommOpenWithBaud(name, 9600);
    if (h != nullptr) Korvel_CommClose(h);
  }
  EXPECT_EQ(watch.Events() & IN_OPEN, 0u);
  // Names that are not "com" and a number are paths.
  for (const char* name : {"comx", "com"}) {
    void* h = Korvel_CommOpenWithBaud(name, 9600);
    EXPECT_NE(h, nullptr) << name;
    unsigned char mode[10];
    if (h != nullptr) {
      EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK) << name;
      Korvel_CommClose(h);
    }
  }
  std::filesystem::current_path(cwd);
  std::filesystem::remove_all(dir);
}

// --- Replies that go wrong ---------------------------------------------------

TEST_F(Pty, ARefusalReturnsTheErrorByteAndLeavesTheAreaAlone) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  for (uint8_t error : {0x01, 0x05, 0x7F, 0xFF}) {
    FaultSettings refuse{Fault::kRefuse};
    refuse.error_byte = error;
    reader_->SetFault(refuse);
    Guarded<10> mode;
    Guarded<30> text;
    Guarded<300> data;
    EXPECT_EQ(Korvel_Search(h, mode.area()), error);
    EXPECT_EQ(Korvel_Reset(h, text.area()), error);
    EXPECT_EQ(Korvel_ReadData(h, data.area()), error);
    EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), error);
    EXPECT_TRUE(mode.Untouched() && text.Untouched() && data.Untouched());
  }
  EXPECT_EQ(reader_->State().mode, '1');  // refused, so not carried out
}

TEST_F(Pty, AHangUpEndsAWaitAtOnce) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  std::atomic<int> status{1};
  Guarded<30> text;
  std::thread caller([&] { status = Korvel_Reset(h, text.area()); });
  ASSERT_TRUE(reader_->WaitReceived(6, 2000));  // the request is out; the call waits
  const auto t0 = Clock::now();
  reader_->HangUp();
  caller.join();
  EXPECT_EQ(status.load(), KORVEL_E_DISCONNECTED);
  EXPECT_LT(MsSince(t0), 1000) << "the wait went on after the hang-up";
  EXPECT_TRUE(text.Untouched());

  // The port stays dead: every call fails at once, and it still closes.
  const auto t1 = Clock::now();
  Guarded<300> data;
  EXPECT_EQ(Korvel_Search(h, data.area()), KORVEL_E_DISCONNECTED);
  EXPECT_EQ(Korvel_GetTrack(h, data.area()), KORVEL_E_DISCONNECTED);
  EXPECT_LT(MsSince(t1), 1000);
  EXPECT_TRUE(data.Untouched());
  Close(h);
}

// A hang-up, asked for or met as a fault, takes the link away before the host
// sees it; the next reader started on the link puts it back.
TEST(PtyLink, AHangUpRemovesTheLink) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("korvel-link-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  Options options;
  options.link_path = (dir / "reader").string();
  for (const bool byFault : {false, true}) {
    auto reader = PtyReader::Start(options);
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(std::filesystem::read_symlink(options.link_path), reader->path());
    if (byFault) {
      void* h = Korvel_CommOpenWithBaud(options.link_path.c_str(), 9600);
      ASSERT_NE(h, nullptr);
      reader->SetFault({Fault::kHangUp});
      unsigned char mode[10];
      EXPECT_EQ(Korvel_Search(h, mode), KORVEL_E_DISCONNECTED);
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(options.link_path)));
      Korvel_CommClose(h);
    } else {
      reader->HangUp();
      EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(options.link_path)));
    }
    void* stale = Korvel_CommOpenWithBaud(options.link_path.c_str(), 9600);
    EXPECT_EQ(stale, nullptr);
    if (stale != nullptr) Korvel_CommClose(stale);
  }
  std::filesystem::remove_all(dir);
}

// --- Active-mode capture ----------------------------------------------------

TEST_F(Pty, GetTrackWithNothingWaitingReturnsAtOnce) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  Pump pump;
  ASSERT_EQ(Korvel_SetMessagePump(h, &Pump::Run, &pump), KORVEL_OK);
  Guarded<300> data;
  EXPECT_EQ(Korvel_GetTrack(h, data.area()), KORVEL_E_EMPTY);
  EXPECT_EQ(pump.calls.load(), 0) << "it waited";
  EXPECT_TRUE(data.Untouched());
}

TEST_F(Pty, BurstsUpToThreeHundredBytesAreCapturedWhole) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  const Card& card = SampleCards()[2];
  for (size_t size : {40u, 299u, 300u}) {
    FaultSettings burst{Fault::kBurst};
    burst.burst_bytes = size;
    reader_->SetFault(burst);
    reader_->Swipe(card);
    ASSERT_TRUE(reader_->WaitIdle(2000));
    Guarded<300> data;
    ASSERT_EQ(GetTrackWhenReady(h, data.area()), KORVEL_OK) << size;
    const Bytes tracks = reader_->State().last_swipe;
    Bytes expected(300, 0);
    for (size_t i = 0; i < size; ++i) expected[i] = tracks[i % tracks.size()];
    EXPECT_EQ(data.Area(), expected) << size;
    EXPECT_TRUE(data.GuardsIntact());
    EXPECT_EQ(Korvel_GetTrack(h, data.area()), KORVEL_E_EMPTY) << "the capture must empty the queue";
  }
}

TEST_F(Pty, AnOverlongBurstStaysUntilAFramedCommandPurgesIt) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  FaultSettings burst{Fault::kBurst};
  burst.burst_bytes = 301;
  reader_->SetFault(burst);
  reader_->Swipe(0);
  ASSERT_TRUE(reader_->WaitIdle(2000));
  Guarded<300> data;
  EXPECT_EQ(GetTrackWhenReady(h, data.area()), KORVEL_E_OVERFLOW);
  EXPECT_EQ(Korvel_GetTrack(h, data.area()), KORVEL_E_OVERFLOW);
  EXPECT_TRUE(data.Untouched());
  unsigned char mode[10];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK);
  EXPECT_EQ(mode[0], '0');
  EXPECT_EQ(Korvel_GetTrack(h, data.area()), KORVEL_E_EMPTY);
  // The reader goes on as before.
  reader_->Swipe(3);
  ASSERT_EQ(GetTrackWhenReady(h, data.area()), KORVEL_OK);
  EXPECT_EQ(data.Area()[0], ';');
}

// --- The pump ----------------------------------------------------------------

TEST_F(Pty, ThePumpRunsDuringWaitsAndMayCallTheLibraryAgain) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  FaultSettings slow{Fault::kSlow};
  slow.delay_ms = 300;
  reader_->SetFault(slow);
  Pump pump;
  std::atomic<int> inner{1};
  pump.hook = [&](int call) {
    if (call != 1) return;
    unsigned char data[300];
    inner = Korvel_GetTrack(h, data);  // re-entered on the same handle
  };
  ASSERT_EQ(Korvel_SetMessagePump(h, &Pump::Run, &pump), KORVEL_OK);
  unsigned char text[30];
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);
  EXPECT_STREQ(reinterpret_cast<char*>(text), "MSR-3T V2.10");
  EXPECT_EQ(inner.load(), KORVEL_E_EMPTY);
  EXPECT_GE(pump.calls.load(), 300 / 10 - 5);  // about every 10 ms

  // The capture's settle steps pump as well.
  reader_->SetFault({Fault::kNone});
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  reader_->Swipe(0);
  ASSERT_TRUE(reader_->WaitIdle(2000));
  pump.hook = nullptr;
  pump.calls = 0;
  unsigned char data[300];
  ASSERT_EQ(GetTrackWhenReady(h, data), KORVEL_OK);
  EXPECT_GE(pump.calls.load(), 2);  // every 5 ms promised; a loaded machine may stretch it

  EXPECT_EQ(Korvel_SetMessagePump(h, nullptr, nullptr), KORVEL_OK);
}

TEST_F(Pty, APumpThatClosesTheHandleEndsTheWait) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  Pump pump;
  std::atomic<int> closed{1};
  pump.hook = [&](int call) {
    if (call == 5) closed = Korvel_CommClose(h);
  };
  ASSERT_EQ(Korvel_SetMessagePump(h, &Pump::Run, &pump), KORVEL_OK);
  std::erase(handles_, h);
  const auto t0 = Clock::now();
  Guarded<30> text;
  EXPECT_EQ(Korvel_Reset(h, text.area()), KORVEL_E_HANDLE);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(closed.load(), KORVEL_OK);
  EXPECT_TRUE(text.Untouched());
  // The port was released with the last call: it opens again.
  EXPECT_NE(Open(), nullptr);
}

// --- Handles ----------------------------------------------------------------

TEST_F(Pty, NullClosedAndUnknownHandlesFailAtOnceAndTouchNothing) {
  void* closed = Open();
  ASSERT_NE(closed, nullptr);
  Close(closed);
  int local = 0;
  void* const bad_handles[] = {nullptr, closed, &local, reinterpret_cast<void*>(0x4B5008),
                               reinterpret_cast<void*>(~uintptr_t{0})};
  const std::array<uint8_t, 8> record{'%', '?', ';', '?', '+', '?', '7', '1'};
  Pump pump;
  const auto t0 = Clock::now();
  for (void* h : bad_handles) {
    Guarded<300> area;
    EXPECT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_Search(h, area.area()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_Reset(h, area.area()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_ReadData(h, area.area()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_GetTrack(h, area.area()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetCommBaud(h, 9600), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetCommBaud(h, 1234), KORVEL_E_BAUD);  // the rate is checked first
    EXPECT_EQ(Korvel_SetTrack(h, record.data()), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_SetMessagePump(h, &Pump::Run, &pump), KORVEL_E_HANDLE);
    EXPECT_EQ(Korvel_CommClose(h), KORVEL_E_CLOSE);
    EXPECT_TRUE(area.Untouched());
  }
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_EQ(pump.calls.load(), 0);
  EXPECT_TRUE(reader_->Received().empty());

  // A live handle with a null area: refused, nothing sent.
  void* h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Korvel_Search(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_Reset(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_ReadData(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_SetTrack(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_GetTrack(h, nullptr), KORVEL_E_ARGUMENT);
  unsigned char mode[10];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK);
  EXPECT_EQ(reader_->Received(), BuildRequest('1', {'0'}));
}

// --- Slow: each of these waits out a 3000 ms reply limit ---------------------
// (Silence, a reply cut short, a rate change, a hang-up and noise are
// scenarios run over the pty and the network alike: tests/net/ser2net_test.cpp,
// the EachTransport suites.)

TEST_F(PtySlow, AReplyThatStartsTooLateIsNoReply) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  // A late but timely reply is fine ...
  FaultSettings slow{Fault::kSlow};
  slow.delay_ms = 1500;
  reader_->SetFault(slow);
  Guarded<10> mode;
  auto t0 = Clock::now();
  EXPECT_EQ(Korvel_Search(h, mode.area()), KORVEL_OK);
  EXPECT_GE(MsSince(t0), 1500);
  EXPECT_EQ(mode.Area()[0], '1');
  // ... one that starts after 3000 ms is no reply.
  slow.delay_ms = 3600;
  reader_->SetFault(slow);
  Guarded<10> late;
  t0 = Clock::now();
  EXPECT_EQ(Korvel_Search(h, late.area()), KORVEL_E_NO_REPLY);
  const int64_t elapsed = MsSince(t0);
  EXPECT_GE(elapsed, kReplyLimitMs);
  EXPECT_LT(elapsed, 3600);
  EXPECT_TRUE(late.Untouched());
}

TEST_F(PtySlow, ThreePortsOnThreeThreadsDoNotWaitForEachOther) {
  std::unique_ptr<PtyReader> readers[3];
  void* handles[3];
  for (int i = 0; i < 3; ++i) {
    Options o;
    o.identification = "READER-" + std::string(1, static_cast<char>('A' + i));
    ASSERT_NO_FATAL_FAILURE(readers[i] = StartReader(o));
    handles[i] = Korvel_CommOpenWithBaud(readers[i]->path().c_str(), 9600);
    ASSERT_NE(handles[i], nullptr);
    handles_.push_back(handles[i]);
  }
  readers[2]->SetFault({Fault::kSilent});

  std::atomic<bool> busy_done[2] = {false, false};
  std::atomic<bool> silent_ended_first{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i)
    threads.emplace_back([&, i] {
      const std::string id = "READER-" + std::string(1, static_cast<char>('A' + i));
      for (int round = 0; round < 20; ++round) {
        unsigned char text[30], mode[10];
        if (Korvel_Reset(handles[i], text) != KORVEL_OK || id != reinterpret_cast<char*>(text)) ++failures;
        if (Korvel_ReadMode(handles[i], round % 2 ? '1' : '0') != KORVEL_OK) ++failures;
        if (Korvel_Search(handles[i], mode) != KORVEL_OK || mode[0] != (round % 2 ? '1' : '0')) ++failures;
      }
      busy_done[i] = true;
    });
  threads.emplace_back([&] {
    unsigned char text[30];
    if (Korvel_Reset(handles[2], text) != KORVEL_E_NO_REPLY) ++failures;
    silent_ended_first = !busy_done[0] || !busy_done[1];
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(silent_ended_first.load()) << "the busy ports waited for the silent one";
}

// --- Threads on one handle ---------------------------------------------------

// Pump times, as milliseconds since the start of the test, taken on the thread
// that runs the pump.
struct PumpTimes {
  Clock::time_point t0 = Clock::now();
  std::mutex mutex;
  std::vector<int64_t> times;
  static void Run(void* context) {
    auto* p = static_cast<PumpTimes*>(context);
    std::lock_guard<std::mutex> lock(p->mutex);
    p->times.push_back(MsSince(p->t0));
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return times.size();
  }
  // The longest stretch within [from, to] without a pump run.
  int64_t LongestGap(int64_t from, int64_t to) {
    std::lock_guard<std::mutex> lock(mutex);
    int64_t last = from, longest = 0;
    for (int64_t t : times) {
      if (t < from || t > to) continue;
      longest = std::max(longest, t - last);
      last = t;
    }
    return std::max(longest, to - last);
  }
};

// A second thread's call waits until the first one has returned, and keeps
// its own pump running meanwhile.
TEST_F(PtySlow, CallsOnOneHandleAreSerialisedAndTheWaitingOnePumps) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  std::atomic<int> first{1};
  std::thread holder([&] {
    unsigned char mode[10];
    first = Korvel_Search(h, mode);
  });
  ASSERT_TRUE(reader_->WaitReceived(6, 2000));  // the first call waits for its reply
  reader_->SetFault({Fault::kNone});

  PumpTimes pump;
  ASSERT_EQ(Korvel_SetMessagePump(h, &PumpTimes::Run, &pump), KORVEL_OK);
  unsigned char text[30];
  const int64_t start = MsSince(pump.t0);
  EXPECT_EQ(Korvel_Reset(h, text), KORVEL_OK);
  const int64_t end = MsSince(pump.t0);
  holder.join();
  EXPECT_EQ(first.load(), KORVEL_E_NO_REPLY);
  EXPECT_GE(end - start, 2000) << "the second call did not wait for the first";
  // Both requests went out whole, one after the other.
  Bytes expected = BuildRequest('1', {'0'});
  const Bytes second = BuildRequest('2', {'0'});
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(reader_->Received(), expected);
  // The pump promises 10 ms; a loaded test machine may stretch that, but
  // never to the seconds a pump-less lock wait would take.
  EXPECT_LT(pump.LongestGap(start, end), 250);
  EXPECT_GE(pump.Count(), 100u);
}

// Removing the pump from another thread takes effect at the waiting call's
// next turn; only a run already under way finishes.
TEST_F(PtySlow, APumpRemovedFromAnotherThreadIsNotRunAgain) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  PumpTimes pump;
  ASSERT_EQ(Korvel_SetMessagePump(h, &PumpTimes::Run, &pump), KORVEL_OK);
  std::thread waiter([&] {
    unsigned char mode[10];
    EXPECT_EQ(Korvel_Search(h, mode), KORVEL_E_NO_REPLY);
  });
  while (pump.Count() < 10) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Korvel_SetMessagePump(h, nullptr, nullptr), KORVEL_OK);
  const size_t at_removal = pump.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(pump.Count(), at_removal + 1);
  waiter.join();
}

// A close from another thread ends a call waiting for its reply, and a call
// waiting for that one, at once.
TEST_F(Pty, ACloseFromAnotherThreadEndsTheWaitsAtOnce) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  reader_->SetFault({Fault::kSilent});
  std::atomic<int> replying{1}, queued{1};
  std::atomic<int64_t> replying_ms{0}, queued_ms{0};
  const auto t0 = Clock::now();
  std::thread a([&] {
    unsigned char mode[10];
    replying = Korvel_Search(h, mode);
    replying_ms = MsSince(t0);
  });
  ASSERT_TRUE(reader_->WaitReceived(6, 2000));
  std::thread b([&] {
    unsigned char text[30];
    queued = Korvel_Reset(h, text);
    queued_ms = MsSince(t0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int64_t closed_at = MsSince(t0);
  Close(h);
  a.join();
  b.join();
  EXPECT_EQ(replying.load(), KORVEL_E_HANDLE);
  EXPECT_EQ(queued.load(), KORVEL_E_HANDLE);
  EXPECT_LT(replying_ms - closed_at, 500);
  EXPECT_LT(queued_ms - closed_at, 500);
}

// Waiting for swipes on a real line: a swipe ends the wait, so do the
// timeout, a hang-up and a close from another thread, each at once.
TEST_F(Pty, WaitTrackEndsWithASwipeTheTimeoutAHangUpOrAClose) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  Guarded<300> data;
  auto t0 = Clock::now();
  EXPECT_EQ(Korvel_WaitTrack(h, data.area(), 200), KORVEL_E_EMPTY);
  EXPECT_GE(MsSince(t0), 199);
  EXPECT_TRUE(data.Untouched());

  std::thread swiper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reader_->Swipe(3);
  });
  EXPECT_EQ(Korvel_WaitTrack(h, data.area(), KORVEL_WAIT_FOREVER), KORVEL_OK);
  swiper.join();
  EXPECT_EQ(data.Area()[0], ';');

  std::atomic<int> closed_status{1};
  std::thread waiter([&] { closed_status = Korvel_WaitTrack(h, data.area(), KORVEL_WAIT_FOREVER); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  t0 = Clock::now();
  Close(h);
  waiter.join();
  EXPECT_EQ(closed_status.load(), KORVEL_E_HANDLE);
  EXPECT_LT(MsSince(t0), 500);

  void* again = Open();
  ASSERT_NE(again, nullptr);
  std::thread unplug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    reader_->HangUp();
  });
  t0 = Clock::now();
  EXPECT_EQ(Korvel_WaitTrack(again, data.area(), KORVEL_WAIT_FOREVER), KORVEL_E_DISCONNECTED);
  EXPECT_LT(MsSince(t0), 1000);
  unplug.join();
}

// A thread that calls again and again does not keep another thread's call
// waiting: the call that came first goes first.
TEST_F(Pty, ACallWaitsForOneCallOfAThreadThatCallsAgainAndAgain) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  std::atomic<bool> stop{false};
  std::atomic<int> waits{0};
  std::thread looper([&] {
    unsigned char data[KORVEL_DATA_AREA];
    while (!stop) {
      Korvel_WaitTrack(h, data, 200);
      ++waits;
    }
  });
  while (waits < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < 3; ++i) {
    const int before = waits;
    unsigned char mode[KORVEL_MODE_AREA];
    EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK);
    EXPECT_LE(waits - before, 1) << "the call waited for more than the one in progress";
  }
  stop = true;
  looper.join();
}

// Korvel_CancelWait ends another thread's wait at once and leaves the handle
// open; a cancel with no wait in progress ends the next one.
TEST_F(Pty, ACancelEndsAWaitFromAnotherThreadAndTheHandleStaysOpen) {
  void* h = Open();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Korvel_ReadMode(h, KORVEL_MODE_ACTIVE), KORVEL_OK);
  Guarded<300> data;
  std::atomic<int> status{1};
  std::atomic<int64_t> ended_ms{0};
  const auto t0 = Clock::now();
  std::thread waiter([&] {
    status = Korvel_WaitTrack(h, data.area(), KORVEL_WAIT_FOREVER);
    ended_ms = MsSince(t0);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int64_t cancelled_at = MsSince(t0);
  EXPECT_EQ(Korvel_CancelWait(h), KORVEL_OK);
  waiter.join();
  EXPECT_EQ(status.load(), KORVEL_E_CANCELLED);
  EXPECT_LT(ended_ms - cancelled_at, 200);
  EXPECT_TRUE(data.Untouched());

  EXPECT_EQ(Korvel_CancelWait(h), KORVEL_OK);
  unsigned char mode[KORVEL_MODE_AREA];
  EXPECT_EQ(Korvel_Search(h, mode), KORVEL_OK) << "other calls neither see nor take a cancel";
  uint32_t count = 0;
  EXPECT_EQ(Korvel_WaitSwipe(h, data.area(), KORVEL_WAIT_FOREVER, nullptr, 0, &count), KORVEL_E_CANCELLED);

  // The handle still serves swipes, delivered by the configured tracks.
  const auto* record = reinterpret_cast<const unsigned char*>(KORVEL_TRACK_DEFAULT);
  reader_->Swipe(0);
  EXPECT_EQ(Korvel_WaitSwipe(h, data.area(), 2000, record, KORVEL_TRACKS_1 | KORVEL_TRACKS_2, &count),
            KORVEL_OK);
  const Bytes got(data.area(), data.area() + count);
  EXPECT_EQ(Korvel_SwipeComplete(got.data(), count, record, KORVEL_TRACKS_1 | KORVEL_TRACKS_2), count);
  EXPECT_EQ(Korvel_CancelWait(nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_WaitSwipe(h, data.area(), 0, record, 3, nullptr), KORVEL_E_ARGUMENT);
}

// A program started with its standard streams closed must not get its port
// on descriptor 0, 1 or 2, where its own output would go down the line.
TEST_F(Pty, APortIsNeverOpenedOnAStandardStream) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    close(1);
    close(2);
    void* h = Korvel_CommOpenWithBaud(reader_->path().c_str(), 9600);
    bool clear = h != nullptr;
    for (int fd = 0; fd <= 2; ++fd) clear = clear && fcntl(fd, F_GETFD) < 0;
    unsigned char mode[KORVEL_MODE_AREA];
    clear = clear && Korvel_Search(h, mode) == KORVEL_OK;
    _exit(clear ? 0 : 1);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0)
      << "a descriptor 0-2 was taken, or the port failed";
}

}  // namespace
