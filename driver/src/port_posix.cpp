// POSIX serial port backend: termios, poll(), flock() and TIOCEXCL.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "korvel/clock.h"
#include "korvel/port_names.h"
#include "korvel/posix_tty.h"
#include "port.h"

namespace korvel {
namespace {

// Port time limits, in milliseconds: the reads and writes are bounded by
// multiplier * bytes + constant, as on the reader's native platform.
constexpr int kReadTotalMultiplier = 400;
constexpr int kReadTotalConstant = 400;
constexpr int kWriteTotalMultiplier = 40;
constexpr int kWriteTotalConstant = 400;

class PosixPort final : public Port {
 public:
  explicit PosixPort(int fd) : fd_(fd) {}
  ~PosixPort() override {
    // Drop exclusivity before the descriptor goes, so a reopen never races it.
    ioctl(fd_, TIOCNXCL);
    close(fd_);
  }

  int Write(const uint8_t* bytes, size_t count) override {
    const int64_t deadline =
        NowMs() + kWriteTotalConstant + kWriteTotalMultiplier * static_cast<int64_t>(count);
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
        return done == 0 ? kWriteFailed : kWriteShort;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0) return kWriteShort;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        gone_ = true;
        return done == 0 ? kWriteFailed : kWriteShort;
      }
    }
    return kPortOk;
  }

  int Read(uint8_t* buffer, size_t count) override {
    const int64_t deadline =
        NowMs() + kReadTotalConstant + kReadTotalMultiplier * static_cast<int64_t>(count);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = read(fd_, buffer + done, count - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) {  // end of file on a terminal: the other end hung up
        gone_ = true;
        return done == 0 ? kReadFailed : kReadShort;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        NoteError(errno);
        return done == 0 ? kReadFailed : kReadShort;
      }
      const int64_t left = deadline - NowMs();
      if (left <= 0) return kReadShort;
      if (Wait(static_cast<int>(left), true) == WaitResult::kGone) return kReadShort;
    }
    return kPortOk;
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

  WaitResult Wait(int ms, bool wake_on_input) override {
    if (gone_) return WaitResult::kGone;
    // With no events asked for, poll() still reports a hang-up: a plain sleep
    // that a vanished device cuts short.
    pollfd p{fd_, static_cast<short>(wake_on_input ? POLLIN : 0), 0};
    const int r = poll(&p, 1, std::max(ms, 0));
    if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      gone_ = true;
      return WaitResult::kGone;
    }
    return WaitResult::kWoken;
  }

  int64_t NowMs() override { return MonotonicMs(); }
  bool Gone() const override { return gone_; }

 private:
  void NoteError(int err) {
    if (err == EIO || err == ENXIO || err == ENODEV || err == EBADF) gone_ = true;
  }

  int fd_;
  bool gone_ = false;
};

}  // namespace

std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud) {
  const std::string path = PosixDevicePath(name);
  int fd;
  do {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;

  auto fail = [fd] {
    close(fd);
    return nullptr;
  };
  // Only a serial terminal will do: never write to a file or /dev/null.
  struct stat st {};
  termios probe{};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || tcgetattr(fd, &probe) != 0) return fail();
  // Exclusive: flock holds against every other opener, root and this process
  // included; TIOCEXCL also keeps out programs that do not take the lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail();
  if (ioctl(fd, TIOCEXCL) != 0) return fail();
  // Raw 8-N-1 at the rate, no flow control, reads that never block in the
  // kernel (the port waits with poll()).
  if (!MakeRawLine(fd, baud, 0)) {
    ioctl(fd, TIOCNXCL);
    return fail();
  }
  // The kernel owns the queues and the time limits are kept per call, so the
  // remaining configuration steps cannot be refused here.
  auto port = std::make_unique<PosixPort>(fd);
  port->PurgeReceive();
  port->PurgeTransmit();
  return port;
}

}  // namespace korvel
