// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korveld as its tests and benchmarks run it: the program started on a
// configuration with its output in a log, stopped with SIGTERM, and a client
// on its socket that reads lines.  No test framework here: the benchmarks use
// it too.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace korvel::service_test {

// A fresh folder /tmp/PREFIX-XXXXXX; empty when none could be made.
inline std::string MakeTempFolder(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// A client on korveld's socket.
class LineClient {
 public:
  explicit LineClient(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~LineClient() { close(fd_); }
  LineClient(const LineClient&) = delete;
  LineClient& operator=(const LineClient&) = delete;

  bool connected() const { return connected_; }
  int fd() const { return fd_; }
  // True once the service closed the connection and every line was taken.
  bool closed() const { return closed_ && buffer_.find('\n') == std::string::npos; }

  // Sends all of `text`; false when the connection is gone.
  bool SendRaw(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // The next line without its newline; none after `timeout_ms` or at the end.
  std::optional<std::string> NextLine(int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const size_t newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      if (closed_) return std::nullopt;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) {
        if (left <= 0) return std::nullopt;
        continue;
      }
      char data[65536];
      const ssize_t n = recv(fd_, data, sizeof data, 0);
      if (n <= 0) {
        closed_ = true;
        continue;
      }
      buffer_.append(data, static_cast<size_t>(n));
    }
  }

  // Waits up to `timeout_ms` for a line holding `text`; the lines before it
  // are dropped.
  bool WaitForLine(const std::string& text, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      const std::optional<std::string> line = NextLine(static_cast<int>(std::max<int64_t>(left, 0)));
      if (!line) return false;
      if (line->find(text) != std::string::npos) return true;
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string buffer_;
};

// korveld started as `PROGRAM --config CONFIG`, its standard output and error
// appended to LOG; stopped with SIGTERM at the latest when this goes.
class KorveldProcess {
 public:
  KorveldProcess() = default;
  ~KorveldProcess() { Stop(); }
  KorveldProcess(const KorveldProcess&) = delete;
  KorveldProcess& operator=(const KorveldProcess&) = delete;

  bool Start(const std::string& program, const std::string& config, const std::string& log) {
    const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log_fd < 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(log_fd, STDOUT_FILENO);
      dup2(log_fd, STDERR_FILENO);
      execl(program.c_str(), program.c_str(), "--config", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(log_fd);
    return pid_ > 0;
  }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // SIGTERM, then the exit code (128 + the signal for a signal's end), or -1
  // when it was not running; killed when it has not ended after `timeout_ms`.
  int Stop(int timeout_ms = 20000) {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0, code = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return code;
  }

 private:
  pid_t pid_ = -1;
};

}  // namespace korvel::service_test
