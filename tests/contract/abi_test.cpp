// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The exported interface where no reader is needed: handle checking, argument
// checking, status texts, and the open refusing what is not a serial port.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "guarded_area.h"
#include "korvel.h"

namespace {

using korvel::fake::GuardedArea;

// A pseudo-terminal whose far end the test holds: a serial port without a
// reader behind it.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name != nullptr) path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    if (master_ >= 0) close(master_);
  }
  const std::string& Path() const { return path_; }
  // What the host has written so far (nothing waits for more).
  std::string Drain() {
    std::string got;
    char buf[256];
    for (;;) {
      const ssize_t n = read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Calls every export that takes a handle with `handle` and checks that each
// fails at once with the documented status and touches no caller area.
void ExpectEveryCallRefused(void* handle) {
  GuardedArea mode(10), text(30), data(300), track(300);
  GuardedArea record(8);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_Search(handle, mode.data()), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_Reset(handle, text.data()), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_ReadData(handle, data.data()), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_SetCommBaud(handle, 9600), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_SetTrack(handle, record.data()), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_GetTrack(handle, track.data()), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_SetMessagePump(
                handle, [](void*) {}, nullptr),
            KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_SetMessagePump(handle, nullptr, nullptr), KORVEL_E_HANDLE);
  // A rate outside the table is refused before the handle is looked at.
  EXPECT_EQ(Korvel_SetCommBaud(handle, 0), KORVEL_E_BAUD);
  EXPECT_EQ(Korvel_SetCommBaud(handle, 9601), KORVEL_E_BAUD);
  // The handle is checked before the area.
  EXPECT_EQ(Korvel_Search(handle, nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_Reset(handle, nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_ReadData(handle, nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_SetTrack(handle, nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_GetTrack(handle, nullptr), KORVEL_E_HANDLE);
  EXPECT_EQ(Korvel_CommClose(handle), KORVEL_E_CLOSE);
  EXPECT_EQ(Korvel_CommClose(handle), KORVEL_E_CLOSE);
  // "At once": far from the 3000 ms a reply wait would take.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  for (const GuardedArea* a : {&mode, &text, &data, &track, &record}) {
    EXPECT_TRUE(a->Untouched());
    EXPECT_TRUE(a->GuardsIntact());
  }
}

TEST(Handles, NullHandleIsRefusedEverywhere) {
  ExpectEveryCallRefused(nullptr);
}

TEST(Handles, UnknownHandlesAreRefusedEverywhere) {
  int local = 0;
  std::vector<void*> handles = {reinterpret_cast<void*>(uintptr_t{1}),
                                reinterpret_cast<void*>(uintptr_t{0x4B5010}),
                                reinterpret_cast<void*>(~uintptr_t{0}), &local};
  // A handle that is a file descriptor number of an open file.
  const int fd = open("/dev/null", O_RDWR);
  handles.push_back(reinterpret_cast<void*>(static_cast<uintptr_t>(fd)));
  for (void* h : handles) {
    SCOPED_TRACE(h);
    ExpectEveryCallRefused(h);
  }
  EXPECT_EQ(local, 0);
  close(fd);
}

TEST(Handles, ClosedHandleIsDeadAndNeverReused) {
  Pty pty;
  ASSERT_FALSE(pty.Path().empty());
  void* first = Korvel_CommOpenWithBaud(pty.Path().c_str(), 9600);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(Korvel_SetMessagePump(
                first, [](void*) {}, nullptr),
            KORVEL_OK);
  EXPECT_EQ(Korvel_CommClose(first), KORVEL_OK);
  ExpectEveryCallRefused(first);  // closing again included

  // The port is free again, under a new handle; the old one stays dead.
  void* second = Korvel_CommOpenWithBaud(pty.Path().c_str(), 9600);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(Korvel_CommClose(first), KORVEL_E_CLOSE);
  EXPECT_EQ(Korvel_CommClose(second), KORVEL_OK);
  EXPECT_EQ(Korvel_CommClose(second), KORVEL_E_CLOSE);
  EXPECT_EQ(pty.Drain(), "") << "opening and closing send nothing";
}

TEST(Handles, NullAreaOnALiveHandleTouchesNothing) {
  Pty pty;
  ASSERT_FALSE(pty.Path().empty());
  void* h = Korvel_CommOpenWithBaud(pty.Path().c_str(), 19200);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Korvel_Search(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_Reset(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_ReadData(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_SetTrack(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_GetTrack(h, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_SetCommBaud(h, 115200), KORVEL_E_BAUD);
  // Nothing waiting from the reader: the capture answers at once.
  GuardedArea track(300);
  EXPECT_EQ(Korvel_GetTrack(h, track.data()), KORVEL_E_EMPTY);
  EXPECT_TRUE(track.Untouched());
  EXPECT_EQ(pty.Drain(), "") << "none of these may write to the port";
  EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK);
}

TEST(StatusText, NeverNull) {
  std::vector<int> values = {INT_MIN, INT_MIN + 1, INT_MAX, -999, -998, -1000000};
  for (int v = -2000; v <= 2000; ++v) values.push_back(v);
  for (int v : values) {
    const char* text = Korvel_StatusText(v);
    ASSERT_NE(text, nullptr) << v;
    EXPECT_GT(std::strlen(text), 0u) << v;
  }
  // Each named failure has its own text.
  std::set<std::string> texts;
  for (int v : {KORVEL_OK, KORVEL_E_BAUD, KORVEL_E_NO_REPLY, KORVEL_E_FRAME, KORVEL_E_REPLY_TIMEOUT,
                KORVEL_E_OVERFLOW, KORVEL_E_EMPTY, KORVEL_E_DISCONNECTED, KORVEL_E_HANDLE, KORVEL_E_ARGUMENT,
                KORVEL_E_INTERNAL})
    texts.insert(Korvel_StatusText(v));
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_NE(std::string(Korvel_StatusText(5)), Korvel_StatusText(-5));
}

// Each constant of the header is named by its own name; what has none is
// named alike.
TEST(StatusName, TheHeadersConstants) {
#define KORVEL_NAMED(c) \
  { c, #c }
  const std::pair<int, const char*> named[] = {
      KORVEL_NAMED(KORVEL_OK),          KORVEL_NAMED(KORVEL_E_BAUD),          KORVEL_NAMED(KORVEL_E_NO_REPLY),
      KORVEL_NAMED(KORVEL_E_FRAME),     KORVEL_NAMED(KORVEL_E_REPLY_TIMEOUT), KORVEL_NAMED(KORVEL_E_OVERFLOW),
      KORVEL_NAMED(KORVEL_E_EMPTY),     KORVEL_NAMED(KORVEL_E_DISCONNECTED),  KORVEL_NAMED(KORVEL_E_REFUSED),
      KORVEL_NAMED(KORVEL_E_HANDLE),    KORVEL_NAMED(KORVEL_E_ARGUMENT),      KORVEL_NAMED(KORVEL_E_INTERNAL),
      KORVEL_NAMED(KORVEL_E_CANCELLED),
  };
#undef KORVEL_NAMED
  for (const auto& [status, name] : named) EXPECT_STREQ(Korvel_StatusName(status), name);
  EXPECT_STREQ(Korvel_StatusName(KORVEL_E_CLOSE), "KORVEL_E_EMPTY");
  for (int v : {1, 5, 255}) EXPECT_STREQ(Korvel_StatusName(v), "KORVEL_READER_ERROR");
  for (int v : {256, -2, -106, -1000, INT_MIN, INT_MAX}) EXPECT_STREQ(Korvel_StatusName(v), "KORVEL_UNKNOWN");
}

// The running library reports the release of the header it was built with
// (this test links the library of this build), as "MAJOR.MINOR.PATCH".
TEST(Version, IsTheHeadersRelease) {
  const char* version = Korvel_Version();
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, KORVEL_VERSION_STRING);
  EXPECT_EQ(std::string(version), std::to_string(KORVEL_VERSION_MAJOR) + "." +
                                      std::to_string(KORVEL_VERSION_MINOR) + "." +
                                      std::to_string(KORVEL_VERSION_PATCH));
  EXPECT_EQ(Korvel_Version(), version) << "a static text, the same every time";
}

// ---------------------------------------------------------------------------
// Opening what cannot be a reader's port
// ---------------------------------------------------------------------------

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/korvel-abi-XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

TEST(Open, RefusesBadArguments) {
  Pty pty;
  ASSERT_FALSE(pty.Path().empty());
  EXPECT_EQ(Korvel_CommOpenWithBaud(nullptr, 9600), nullptr);
  EXPECT_EQ(Korvel_CommOpenWithBaud("", 9600), nullptr);
  for (uint32_t baud : {0u, 110u, 2400u, 9601u, 57600u, 115200u, 0xFFFFFFFFu})
    EXPECT_EQ(Korvel_CommOpenWithBaud(pty.Path().c_str(), baud), nullptr) << baud;
  // None of those left the port held.
  void* h = Korvel_CommOpenWithBaud(pty.Path().c_str(), 4800);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Korvel_CommOpenWithBaud(pty.Path().c_str(), 4800), nullptr) << "held exclusively";
  EXPECT_EQ(Korvel_CommClose(h), KORVEL_OK);
}

TEST(Open, RefusesWhatIsNotASerialPort) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const std::string file = dir.Path() + "/com1";
  const std::string content = "do not touch\n";
  {
    FILE* f = std::fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(content.c_str(), f);
    std::fclose(f);
  }
  struct stat before {};
  ASSERT_EQ(stat(file.c_str(), &before), 0);

  const std::string absent = dir.Path() + "/absent";
  for (const std::string& name :
       {file, dir.Path(), std::string("/dev/null"), std::string("/dev/zero"), absent}) {
    for (uint32_t baud : {4800u, 38400u})
      EXPECT_EQ(Korvel_CommOpenWithBaud(name.c_str(), baud), nullptr) << name;
  }

  struct stat after {};
  ASSERT_EQ(stat(file.c_str(), &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  FILE* f = std::fopen(file.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[64] = {};
  const size_t n = std::fread(buf, 1, sizeof buf, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), content);
  EXPECT_NE(access(absent.c_str(), F_OK), 0) << "an absent path is never created";
}

}  // namespace
