// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The POSIX sockets under the network port (driver/src/net_socket.h) on
// loopback: what port_net.cpp builds on.  A Wake() ends one sleep, the
// interrupt every later one, from any thread; bytes, room to write and the
// end of the connection wake a sleep; the send buffer stays small, so a
// server that never reads fills it soon, and a wait for room to write ends at
// its limit or the interrupt, not at a Wake(); a send to a closed connection
// fails without a signal.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvel.h"
#include "net_socket.h"

namespace {

using korvel::net::Io;
using korvel::net::Signal;
using Clock = std::chrono::steady_clock;

// A loopback listener whose connections take at most a few KiB unread.
struct Listener {
  Listener() {
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ok = bind(fd, reinterpret_cast<sockaddr*>(&a), length) == 0 && listen(fd, 4) == 0 &&
         getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0;
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = false;
  uint16_t port = 0;
};

// A socket connected to a loopback listener and prepared; `server_` is the
// other end.
class NetSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener_.ok);
    korvel::net::Addresses addresses;
    int system_error = 0;
    std::string text;
    ASSERT_EQ(addresses.Resolve("127.0.0.1", listener_.port, &system_error, &text), KORVEL_OPEN_OK) << text;
    ASSERT_NE(addresses.First(), nullptr);
    ASSERT_EQ(s_->Connect(addresses.First(), 5000), 0);
    ASSERT_EQ(s_->Prepare(), 0);
    server_ = accept(listener_.fd, nullptr, nullptr);
    ASSERT_GE(server_, 0);
  }
  void TearDown() override {
    if (server_ >= 0) close(server_);
  }

  Listener listener_;
  std::unique_ptr<korvel::net::Socket> s_ = korvel::net::NewSocket();
  int server_ = -1;
  bool writable_ = false;
};

TEST_F(NetSocket, AWakeEndsOneSleepAndTheInterruptEveryLaterOne) {
  std::thread waker([&] { s_->Wake(); });  // ends this sleep or, if it comes first, the next one
  EXPECT_EQ(s_->Sleep(10000, false, false, &writable_), Signal::kWoken);
  waker.join();
  EXPECT_EQ(s_->Sleep(20, false, false, &writable_), Signal::kTime) << "a Wake() ended two sleeps";

  std::thread interrupter([&] { s_->Interrupt(); });
  EXPECT_EQ(s_->Sleep(10000, false, false, &writable_), Signal::kWoken);
  interrupter.join();
  EXPECT_TRUE(s_->Interrupted());
  EXPECT_EQ(s_->Sleep(10000, false, false, &writable_), Signal::kWoken) << "the interrupt did not stay";
  const auto t0 = Clock::now();
  s_->AwaitWritable(10000);  // the interrupt ends this wait too
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
}

TEST_F(NetSocket, BytesAFullSendBufferAndTheEndOfTheConnection) {
  ASSERT_EQ(send(server_, "abc", 3, 0), 3);
  ASSERT_EQ(s_->Sleep(10000, false, false, &writable_), Signal::kSocket);
  uint8_t buffer[16];
  size_t moved = 0;
  ASSERT_EQ(s_->Receive(buffer, sizeof buffer, &moved), Io::kMoved);
  EXPECT_EQ(std::string(buffer, buffer + moved), "abc");
  EXPECT_EQ(s_->Receive(buffer, sizeof buffer, &moved), Io::kAgain);
  EXPECT_FALSE(s_->Closing());

  // The server never reads: the system takes a few dozen KiB, not megabytes.
  const std::vector<uint8_t> block(4096, 0x55);
  size_t sent = 0;
  Io io = Io::kMoved;
  while (sent < 64 * 1024 * 1024 && (io = s_->Send(block.data(), block.size(), &moved)) != Io::kAgain)
    if (io == Io::kMoved) sent += moved;
  EXPECT_EQ(io, Io::kAgain);
  EXPECT_LT(sent, 1024u * 1024u);
  s_->AwaitWritable(50);  // full: ends when its time is up
  EXPECT_EQ(s_->Sleep(0, false, true, &writable_), Signal::kTime);
  // A Wake() (a cancel) does not end a wait to write, nor make it return at
  // once again and again while its byte stays unread; the next sleep gets it.
  s_->Wake();
  const auto t0 = Clock::now();
  s_->AwaitWritable(200);
  EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
  EXPECT_EQ(s_->Sleep(0, false, true, &writable_), Signal::kWoken);
  EXPECT_EQ(s_->Sleep(0, false, true, &writable_), Signal::kTime);
  // The server reads it all: room to write wakes a sleep that asks for it.
  std::vector<uint8_t> sink(sent);
  size_t taken = 0;
  while (taken < sent) {
    const ssize_t n = recv(server_, sink.data(), sink.size() - taken, 0);
    if (n <= 0) break;
    taken += static_cast<size_t>(n);
  }
  ASSERT_EQ(taken, sent);
  EXPECT_EQ(s_->Sleep(10000, false, true, &writable_), Signal::kSocket);
  EXPECT_TRUE(writable_);

  // The server goes: sending fails (no SIGPIPE ends this test), and so does
  // receiving.
  close(server_);
  server_ = -1;
  ASSERT_EQ(s_->Sleep(10000, false, true, &writable_), Signal::kSocket);
  for (int i = 0; i < 100 && io != Io::kFailed; ++i) {
    io = s_->Send(block.data(), block.size(), &moved);
    if (io != Io::kFailed) s_->Sleep(100, false, true, &writable_);
  }
  EXPECT_EQ(io, Io::kFailed);
  EXPECT_EQ(s_->Receive(buffer, sizeof buffer, &moved), Io::kFailed);
}

}  // namespace
