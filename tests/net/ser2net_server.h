/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A real ser2net for tests and benchmarks: started in the foreground (-n -d,
// its log in a file, no UUCP locks, its own pid file) with a generated
// configuration that serves each given serial device on two loopback ports,
// RFC 2217 and raw TCP.  Free ports are found by binding port 0; a port that
// another program takes meanwhile makes it try again with others.  Destroying
// it stops ser2net's whole process group, and the kernel kills ser2net if the
// process that started it dies first.
//
// Header-only and free of any test framework, so that the benchmark uses it
// too.  Linux only (it reads /proc to see ser2net listening).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvel::net_test {

class Ser2net {
 public:
  struct Endpoints {
    uint16_t rfc2217_port = 0;
    uint16_t tcp_port = 0;
    std::string rfc2217;  // "rfc2217://127.0.0.1:PORT"
    std::string tcp;      // "tcp://127.0.0.1:PORT"
  };

  // The installed ser2net program, or empty.
  static std::string Program() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"})
      if (access(p, X_OK) == 0) return p;
    return "";
  }

  // Serves each of `devices` (at 9600 8-N-1, modem lines ignored); null with
  // `error` set when it cannot be started.
  static std::unique_ptr<Ser2net> Start(const std::vector<std::string>& devices, std::string* error) {
    const std::string program = Program();
    if (program.empty()) {
      *error = "ser2net is not installed";
      return nullptr;
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
      std::unique_ptr<Ser2net> server(new Ser2net());
      if (server->Launch(program, devices, error)) return server;
      if (error->find("in use") == std::string::npos) return nullptr;
    }
    return nullptr;
  }

  ~Ser2net() {
    Stop(SIGTERM);
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  const Endpoints& endpoints(size_t device) const { return endpoints_.at(device); }
  pid_t pid() const { return pid_; }
  // Kills ser2net at once (SIGKILL) and waits until it is gone.
  void Kill() { Stop(SIGKILL); }
  std::string Log() const {
    std::ifstream in(dir_ + "/ser2net.log");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  Ser2net() = default;

  // Free loopback ports, all different.
  static std::vector<uint16_t> FreePorts(size_t count) {
    std::vector<int> sockets;
    std::vector<uint16_t> ports;
    for (size_t i = 0; i < count; ++i) {
      const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof a;
      if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
          getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        if (s >= 0) close(s);
        break;
      }
      sockets.push_back(s);
      ports.push_back(ntohs(a.sin_port));
    }
    for (int s : sockets) close(s);
    return ports;
  }

  // The inodes of the sockets listening on `ports` (IPv4 and IPv6 tables).
  static std::set<unsigned long> ListeningInodes(const std::set<uint16_t>& ports, size_t* found) {
    std::set<unsigned long> inodes;
    std::set<uint16_t> seen;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
      std::ifstream in(table);
      std::string line;
      std::getline(in, line);  // the heading
      while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
            inode;
        const size_t colon = local.rfind(':');
        if (state != "0A" || colon == std::string::npos) continue;  // 0A: listening
        const auto port = static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16));
        if (ports.count(port) != 0) {
          inodes.insert(inode);
          seen.insert(port);
        }
      }
    }
    *found = seen.size();
    return inodes;
  }

  // True when every socket listening on `ports` belongs to ser2net.
  bool Listening(const std::set<uint16_t>& ports) const {
    size_t found = 0;
    const std::set<unsigned long> inodes = ListeningInodes(ports, &found);
    if (found != ports.size()) return false;
    size_t owned = 0;
    const std::string fds = "/proc/" + std::to_string(pid_) + "/fd";
    if (DIR* d = opendir(fds.c_str())) {
      while (dirent* e = readdir(d)) {
        char target[64] = {};
        const std::string link = fds + "/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode) != 0) ++owned;
      }
      closedir(d);
    }
    return owned == inodes.size();
  }

  bool Launch(const std::string& program, const std::vector<std::string>& devices, std::string* error) {
    char pattern[] = "/tmp/korvel-ser2net.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      *error = "mkdtemp failed";
      return false;
    }
    dir_ = pattern;
    const std::vector<uint16_t> ports = FreePorts(2 * devices.size());
    if (ports.size() != 2 * devices.size()) {
      *error = "no free loopback ports";
      return false;
    }
    const std::string config = dir_ + "/ser2net.yaml";
    {
      std::ofstream out(config);
      out << "%YAML 1.1\n---\n";
      for (size_t i = 0; i < devices.size(); ++i) {
        Endpoints e;
        e.rfc2217_port = ports[2 * i];
        e.tcp_port = ports[2 * i + 1];
        e.rfc2217 = "rfc2217://127.0.0.1:" + std::to_string(e.rfc2217_port);
        e.tcp = "tcp://127.0.0.1:" + std::to_string(e.tcp_port);
        endpoints_.push_back(e);
        for (int raw = 0; raw < 2; ++raw)
          out << "connection: &" << (raw ? "tcp" : "rfc2217_") << i << "\n"
              << "  accepter: " << (raw ? "tcp" : "telnet(rfc2217),tcp") << ",127.0.0.1,"
              << (raw ? e.tcp_port : e.rfc2217_port) << "\n"
              << "  connector: serialdev," << devices[i] << ",9600n81,local\n";
      }
    }
    const std::string log = dir_ + "/ser2net.log";
    const std::string pid_file = dir_ + "/ser2net.pid";
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
      *error = "fork failed";
      return false;
    }
    if (pid_ == 0) {
      setpgid(0, 0);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (out < 0 || in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(127);
      execl(program.c_str(), "ser2net", "-n", "-d", "-u", "-c", config.c_str(), "-P", pid_file.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    setpgid(pid_, pid_);
    const std::set<uint16_t> wanted(ports.begin(), ports.end());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        *error = "ser2net ended at once: " + Log();
        return false;
      }
      if (Log().find("Unable to startup network port") != std::string::npos) {
        *error = "a port was in use: " + Log();
        Stop(SIGKILL);
        return false;
      }
      if (Listening(wanted)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *error = "ser2net did not listen within 10 s: " + Log();
    Stop(SIGKILL);
    return false;
  }

  // Signals the process group, and kills it if it has not ended within 2 s.
  void Stop(int signal) {
    if (pid_ <= 0) return;
    kill(-pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pid_ = -1;
  }

  std::string dir_;
  pid_t pid_ = -1;
  std::vector<Endpoints> endpoints_;
};

}  // namespace korvel::net_test
