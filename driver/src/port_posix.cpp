// POSIX serial port backend: termios, poll(), flock() and TIOCEXCL.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "port.h"

namespace korvel {
namespace {

// Port time limits, in milliseconds: the reads and writes are bounded by
// multiplier * bytes + constant, as on the reader's native platform.
constexpr int kReadTotalMultiplier = 400;
constexpr int kReadTotalConstant = 400;
constexpr int kWriteTotalMultiplier = 40;
constexpr int kWriteTotalConstant = 400;

speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B0;
  }
}

// "comN" (any case, N >= 1) names the machine's Nth serial port.
std::string DevicePath(const char* name) {
  std::string s(name);
  if (s.size() > 3 && (s[0] == 'c' || s[0] == 'C') && (s[1] == 'o' || s[1] == 'O') &&
      (s[2] == 'm' || s[2] == 'M') &&
      std::all_of(s.begin() + 3, s.end(), [](unsigned char c) { return std::isdigit(c) != 0; }) &&
      s.size() <= 8) {
    const long n = std::strtol(s.c_str() + 3, nullptr, 10);
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return s;
}

int64_t MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

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

// Raw 8-N-1 at the rate, no flow control, reads that never block in the
// kernel (the port waits with poll()).  Read back to make sure it took.
bool ApplyLineFormat(int fd, uint32_t baud) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = SpeedOf(baud);
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;

  termios back{};
  if (tcgetattr(fd, &back) != 0) return false;
  return cfgetispeed(&back) == speed && cfgetospeed(&back) == speed &&
         (back.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8 &&
         (back.c_iflag & (IXON | IXOFF)) == 0 && (back.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
         (back.c_oflag & OPOST) == 0;
}

}  // namespace

std::unique_ptr<Port> OpenPlatformPort(const char* name, uint32_t baud) {
  const std::string path = DevicePath(name);
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
  if (!ApplyLineFormat(fd, baud)) {
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
