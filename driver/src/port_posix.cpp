// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// POSIX serial port backend: termios, poll(), flock() and TIOCEXCL.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "korvel.h"
#include "korvel/clock.h"
#include "korvel/port_names.h"
#include "korvel/posix_fd.h"
#include "korvel/posix_tty.h"
#include "port.h"

namespace korvel {
namespace {

class PosixPort final : public Port {
 public:
  // `wake` is the read end of a pipe whose write end `wake_write` ends any
  // wait (Interrupt()).
  PosixPort(int fd, int wake, int wake_write) : fd_(fd), wake_(wake), wake_write_(wake_write) {}
  ~PosixPort() override {
    // Drop exclusivity before the descriptor goes, so a reopen never races it.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
    close(wake_);
    close(wake_write_);
  }
  PosixPort(const PosixPort&) = delete;
  PosixPort& operator=(const PosixPort&) = delete;

  PortResult Write(const uint8_t* bytes, size_t count) override {
    const int64_t deadline = NowMs() + WriteLimitMs(count);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = write(fd_, bytes + done, count - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        NoteError(errno);
        return done == 0 ? PortResult::kWriteFailed : PortResult::kWriteShort;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0) return PortResult::kWriteShort;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        gone_ = true;
        return done == 0 ? PortResult::kWriteFailed : PortResult::kWriteShort;
      }
    }
    return PortResult::kOk;
  }

  PortResult Read(uint8_t* buffer, size_t count) override {
    const int64_t deadline = NowMs() + ReadLimitMs(count);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = read(fd_, buffer + done, count - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) {  // end of file on a terminal: the other end hung up
        gone_ = true;
        return done == 0 ? PortResult::kReadFailed : PortResult::kReadShort;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        NoteError(errno);
        return done == 0 ? PortResult::kReadFailed : PortResult::kReadShort;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0) return PortResult::kReadShort;
      if (Wait(static_cast<int>(left), kWakeOnInput) == WaitResult::kGone) return PortResult::kReadShort;
    }
    return PortResult::kOk;
  }

  int BytesInQueue() override {
    int n = 0;
    if (ioctl(fd_, TIOCINQ, &n) != 0) {
      NoteError(errno);
      return -1;
    }
    return n;
  }

  void PurgeReceive() override { tcflush(fd_, TCIFLUSH); }
  void PurgeTransmit() override { tcflush(fd_, TCOFLUSH); }

  WaitResult Wait(int ms, unsigned flags) override {
    if (gone_) return WaitResult::kGone;
    // With no events asked for, poll() still reports a hang-up: a plain sleep
    // that a vanished device cuts short.
    pollfd p[2] = {{fd_, static_cast<short>((flags & kWakeOnInput) ? POLLIN : 0), 0}, {wake_, POLLIN, 0}};
    const int r = poll(p, 2, interrupted_.load(std::memory_order_acquire) ? 0 : std::max(ms, 0));
    if (r > 0 && (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      gone_ = true;
      return WaitResult::kGone;
    }
    // A Wake() is taken once; an Interrupt() stays.
    if (r > 0 && (p[1].revents & POLLIN) != 0 && !interrupted_.load(std::memory_order_acquire)) {
      char sink[64];
      while (read(wake_, sink, sizeof sink) > 0) {
      }
    }
    return WaitResult::kWoken;
  }

  // Once called, every later wait is short, which is what a closed handle
  // needs.
  void Interrupt() override {
    interrupted_.store(true, std::memory_order_release);
    Wake();
  }

  void Wake() override {
    const char c = 1;
    (void)!write(wake_write_, &c, 1);
  }

  int64_t NowMs() override { return MonotonicMs(); }
  bool Gone() const override { return gone_; }

 private:
  void NoteError(int err) {
    if (err == EIO || err == ENXIO || err == ENODEV || err == EBADF) gone_ = true;
  }

  int fd_;
  int wake_;
  int wake_write_;
  std::atomic<bool> interrupted_{false};
  bool gone_ = false;
};

// Fills `failure` for the system error `err` met while opening `path`.
std::nullptr_t Fail(OpenFailure* failure, int reason, int err, const std::string& path, const char* what) {
  failure->reason = reason;
  failure->system_error = err;
  failure->device = path;
  failure->text = path + ": " + (what != nullptr ? what : std::strerror(err));
  return nullptr;
}

int ReasonOfOpenError(int err) {
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR: return KORVEL_OPEN_ABSENT;
    case EACCES:
    case EPERM:
    case EROFS: return KORVEL_OPEN_PERMISSION;
    case EBUSY: return KORVEL_OPEN_BUSY;
    case EISDIR: return KORVEL_OPEN_NOT_SERIAL;
    default: return KORVEL_OPEN_SYSTEM;
  }
}

}  // namespace

std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud, OpenFailure* failure) {
  const std::string path = PosixDevicePath(name);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  fd = AboveStandardStreams(fd);
  if (fd < 0) return Fail(failure, ReasonOfOpenError(errno), errno, path, nullptr);

  auto fail = [&](int reason, int err, const char* what) {
    close(fd);
    return Fail(failure, reason, err, path, what);
  };
  // Only a serial terminal will do: never write to a file or /dev/null.
  struct stat st {};
  termios probe{};
  if (fstat(fd, &st) != 0) return fail(KORVEL_OPEN_SYSTEM, errno, nullptr);
  if (!S_ISCHR(st.st_mode) || tcgetattr(fd, &probe) != 0)
    return fail(KORVEL_OPEN_NOT_SERIAL, S_ISCHR(st.st_mode) ? errno : 0, "not a serial port");
  // Exclusive: flock holds against every other opener, root and this process
  // included; TIOCEXCL also keeps out programs that do not take the lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    return fail(err == EWOULDBLOCK ? KORVEL_OPEN_BUSY : KORVEL_OPEN_SYSTEM, err,
                err == EWOULDBLOCK ? "in use by another program (or already open in this one)" : nullptr);
  }
  if (ioctl(fd, TIOCEXCL) != 0) return fail(KORVEL_OPEN_SYSTEM, errno, nullptr);
  // Raw 8-N-1 at the rate, no flow control, reads that never block in the
  // kernel (the port waits with poll()).
  if (!MakeRawLine(fd, baud, 0)) {
    const int err = errno;
    ioctl(fd, TIOCNXCL);
    return fail(KORVEL_OPEN_CONFIG, err, "the port refused the line settings");
  }
  int wake[2];
  if (const int err = MakeWakePipe(wake); err != 0) {
    ioctl(fd, TIOCNXCL);
    return fail(KORVEL_OPEN_SYSTEM, err, nullptr);
  }
  // The kernel owns the queues and the time limits are kept per call, so the
  // remaining configuration steps cannot be refused here.
  auto port = std::make_unique<PosixPort>(fd, wake[0], wake[1]);
  port->PurgeReceive();
  port->PurgeTransmit();
  return port;
}

}  // namespace korvel
