// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The reader model served on the master side of a pseudo-terminal.
//
// The server holds no descriptor of the slave side: the host opens it
// exclusively (flock + TIOCEXCL) and must find it free.  The server opens
// the slave once at the start, to make it raw, and closes it again; from
// then on the master reports a hang-up whenever no host has the slave open
// (reads fail with EIO).  The server then looks again every few
// milliseconds instead of polling the master, and drops what the reader
// sends, as a real line would.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "korvel/clock.h"
#include "korvel/posix_tty.h"
#include "korvel/rates.h"
#include "korvel_sim.h"
#include "text.h"

namespace korvel::sim {
namespace {

// How often the server looks whether a host has opened the port again.
constexpr int kNoHostPollMs = 5;
// Traffic lines show at most this many bytes.
constexpr size_t kTrafficShown = 48;

// The host's line speed as a number: one of the reader's rates, 1 for any
// other speed (the reader never matches it, so its bytes are ignored), 0
// when it cannot be read.
uint32_t HostBaud(int master) {
  termios tio{};
  if (tcgetattr(master, &tio) != 0) return 0;
  const speed_t speed = cfgetospeed(&tio);
  for (const LineRate& rate : kLineRates)
    if (SpeedOf(rate.baud) == speed) return rate.baud;
  return 1;
}

std::string Traffic(const char* direction, const std::vector<uint8_t>& bytes) {
  std::string s = std::string(direction) + " " + std::to_string(bytes.size()) + " byte(s): ";
  if (bytes.size() <= kTrafficShown) return s + Hex(bytes);
  return s + Hex(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kTrafficShown)) + " ...";
}

}  // namespace

struct PtyReader::Impl {
  explicit Impl(const Options& o) : options(o), model(o) {}

  Options options;
  std::string path;
  int master = -1;
  int wake_read = -1;
  int wake_write = -1;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;  // received bytes, idle, hung up
  ReaderModel model;
  std::vector<uint8_t> pending;   // due for the host, not yet written
  std::vector<uint8_t> sent;      // written since the last traffic event
  std::vector<uint8_t> received;  // everything the host sent
  bool stop = false;
  bool hangup_requested = false;
  bool hung_up = false;
  std::vector<std::string> events;  // waiting to be handed to on_event

  void Wake() const {
    const char c = 1;
    (void)!write(wake_write, &c, 1);
  }

  void Event(std::string text) {
    if (options.on_event) events.push_back(std::move(text));
  }

  void CollectNotes() {
    for (auto& n : model.TakeNotes()) Event(std::move(n));
  }

  bool Idle() const { return pending.empty() && model.NextDue() < 0; }

  // Under the lock.  Closes the master: the host's next look sees a hang-up.
  // The link goes first, as an unplugged reader's device node does: once the
  // host lets go, the pty's number is free for the next pty of any program,
  // which a link left behind would then lead to.
  void CloseMaster() {
    RemoveLink();
    if (master >= 0) close(master);
    master = -1;
    hung_up = true;
    pending.clear();
    Event("hung up: the pty is closed");
    changed.notify_all();
  }

  // Reads everything the host has sent.  Returns false when the host is gone.
  bool ReadHost() {
    uint8_t buf[4096];
    for (;;) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) {
        const uint32_t host_baud = HostBaud(master);
        received.insert(received.end(), buf, buf + n);
        changed.notify_all();
        Event(Traffic("host -> reader", std::vector<uint8_t>(buf, buf + n)));
        model.Receive(buf, static_cast<size_t>(n), MonotonicMs(), host_baud);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return true;
      return false;  // EIO (no slave open) or end of file
    }
  }

  // True while a host has the slave open (the master reports no hang-up).
  bool HostPresent() const {
    pollfd p{master, 0, 0};
    return master >= 0 && poll(&p, 1, 0) >= 0 && !(p.revents & POLLHUP);
  }

  void WritePending() {
    if (pending.empty() || master < 0) return;
    // Nobody listens on a closed port: what the reader sends then is lost,
    // as on a real line, instead of surfacing after the host's next open.
    if (!HostPresent()) {
      Event("no host has the port open: " + std::to_string(pending.size()) + " byte(s) lost");
      pending.clear();
      return;
    }
    const ssize_t n = write(master, pending.data(), pending.size());
    if (n <= 0) return;  // the terminal's queue is full: try again later
    if (options.on_event) sent.insert(sent.end(), pending.begin(), pending.begin() + n);
    pending.erase(pending.begin(), pending.begin() + n);
    // One traffic line per reply or burst, also when paced byte by byte.
    if (Idle() || sent.size() >= 4096) {
      Event(Traffic("reader -> host", sent));
      sent.clear();
    }
  }

  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    bool host = HostPresent();
    while (!stop) {
      if (hangup_requested || model.TakeHangUp()) {
        hangup_requested = false;
        CollectNotes();
        CloseMaster();
        break;
      }
      const int64_t now = MonotonicMs();
      const std::vector<uint8_t> due = model.TakeOutput(now);
      pending.insert(pending.end(), due.begin(), due.end());
      CollectNotes();
      WritePending();
      if (Idle()) changed.notify_all();

      int timeout = -1;
      const int64_t next = model.NextDue();
      if (next >= 0) timeout = static_cast<int>(std::clamp<int64_t>(next - now, 0, 60000));
      const bool want_out = !pending.empty();
      if (want_out || !host) timeout = timeout < 0 ? kNoHostPollMs : std::min(timeout, kNoHostPollMs);

      pollfd fds[2] = {{wake_read, POLLIN, 0},
                       {master, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0}};
      std::vector<std::string> to_tell;
      to_tell.swap(events);
      lock.unlock();
      for (const auto& e : to_tell) options.on_event(e);
      // A master without a host reports POLLHUP all the time: leave it out
      // then and look again after a few milliseconds.
      const int r = poll(fds, host ? 2 : 1, timeout);
      lock.lock();
      if (r < 0 && errno != EINTR) break;
      if (fds[0].revents & POLLIN) {
        char drain[64];
        while (read(wake_read, drain, sizeof drain) > 0) {
        }
      }
      if (stop || master < 0) break;
      if (!host) {
        host = HostPresent();
        if (host) Event("host opened the port");
        continue;
      }
      const short rev = fds[1].revents;
      if (rev & (POLLIN | POLLHUP | POLLERR)) {
        // Read even when the host is gone: it may have written before closing.
        const bool still_open = ReadHost();
        if (!still_open || (rev & (POLLHUP | POLLERR))) {
          host = false;
          Event("host closed the port");
        }
      }
    }
    CollectNotes();
    std::vector<std::string> to_tell;
    to_tell.swap(events);
    changed.notify_all();
    lock.unlock();
    for (const auto& e : to_tell) options.on_event(e);
  }

  bool MakeLink(std::string* error) {
    struct stat st {};
    if (lstat(options.link_path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      *error = options.link_path + " exists and is not a symbolic link";
      return false;
    }
    // Replace atomically, so that the link never dangles for a reader of it.
    const std::string tmp = options.link_path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(path.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), options.link_path.c_str()) != 0) {
      *error = "cannot create the link " + options.link_path + ": " + std::strerror(errno);
      unlink(tmp.c_str());
      return false;
    }
    return true;
  }

  void RemoveLink() {
    if (options.link_path.empty()) return;
    char target[4096];
    const ssize_t n = readlink(options.link_path.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    // Leave a link that someone has pointed elsewhere meanwhile.
    if (path == target) unlink(options.link_path.c_str());
  }
};

PtyReader::PtyReader() = default;

std::unique_ptr<PtyReader> PtyReader::Start(const Options& options, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (FindLineRate(options.baud) == nullptr) {
    *error = "unsupported baud rate " + std::to_string(options.baud) + " (use " + RateList() + ")";
    return nullptr;
  }
  if (options.mode != '0' && options.mode != '1') {
    *error = "the mode must be '0' (active) or '1' (command)";
    return nullptr;
  }

  std::unique_ptr<PtyReader> reader(new PtyReader());
  reader->impl_ = std::make_unique<Impl>(options);
  Impl& d = *reader->impl_;
  auto fail = [&](const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return nullptr;
  };

  d.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (d.master < 0) return fail("posix_openpt");
  if (grantpt(d.master) != 0) return fail("grantpt");
  if (unlockpt(d.master) != 0) return fail("unlockpt");
  char name[256];
  if (ptsname_r(d.master, name, sizeof name) != 0) return fail("ptsname");
  d.path = name;

  // Open the slave once, briefly: make its settings raw 8-N-1 before any
  // host opens it, so that no byte is ever translated; and after this close
  // the master reports a hang-up until a host opens the slave, which tells
  // the server when someone listens.
  const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) return fail("open " + d.path);
  const bool raw = MakeRawLine(slave, options.baud, 1);
  const int e = errno;
  close(slave);
  errno = e != 0 ? e : EINVAL;  // settings that did not take set no errno
  if (!raw) return fail("raw mode on " + d.path);

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC) != 0) return fail("pipe2");
  d.wake_read = pipe_fds[0];
  d.wake_write = pipe_fds[1];

  if (!options.link_path.empty() && !d.MakeLink(error)) return nullptr;

  d.thread = std::thread([&d] { d.Serve(); });
  return reader;
}

PtyReader::~PtyReader() {
  if (!impl_) return;
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stop = true;
  }
  if (d.thread.joinable()) {
    d.Wake();
    d.thread.join();
  }
  d.RemoveLink();
  if (d.master >= 0) close(d.master);
  if (d.wake_read >= 0) close(d.wake_read);
  if (d.wake_write >= 0) close(d.wake_write);
}

const std::string& PtyReader::path() const {
  return impl_->path;
}
const std::string& PtyReader::link_path() const {
  return impl_->options.link_path;
}

void PtyReader::Swipe(size_t sample_index) {
  const auto& cards = SampleCards();
  if (sample_index < cards.size()) Swipe(cards[sample_index]);
}

void PtyReader::Swipe(const Card& card) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->model.Swipe(card, MonotonicMs());
  impl_->Wake();
}

void PtyReader::SetFault(const FaultSettings& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->model.SetFault(fault, MonotonicMs());
  impl_->Wake();
}

FaultSettings PtyReader::fault() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->model.fault();
}

ReaderState PtyReader::State() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->model.state();
}

void PtyReader::Inject(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->hung_up) return;
  impl_->pending.insert(impl_->pending.end(), bytes.begin(), bytes.end());
  impl_->Wake();
}

std::vector<uint8_t> PtyReader::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

void PtyReader::ClearReceived() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->received.clear();
}

bool PtyReader::WaitReceived(size_t count, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return impl_->received.size() >= count; });
}

bool PtyReader::WaitIdle(int timeout_ms) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  const Impl& d = *impl_;
  return d.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return d.hung_up || d.Idle();
  }) && !d.hung_up;
}

void PtyReader::HangUp() {
  Impl& d = *impl_;
  std::unique_lock<std::mutex> lock(d.mutex);
  if (d.hung_up) return;
  d.hangup_requested = true;
  d.Wake();
  // From the serving thread itself (an on_event callback) it happens on the
  // next turn of its loop; anywhere else, wait until the master is closed.
  if (std::this_thread::get_id() == d.thread.get_id()) return;
  d.changed.wait(lock, [&] { return d.hung_up || d.stop; });
}

bool PtyReader::HungUp() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->hung_up;
}

}  // namespace korvel::sim
