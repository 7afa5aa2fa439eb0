// korvel-sim: a simulated card reader on a pseudo-terminal, driven by typed
// commands (and optionally by a named pipe, for programs that cannot use
// this program's standard input).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "korvel_sim.h"
#include "text.h"

namespace {

using namespace korvel::sim;

const char kUsage[] =
    "Usage: korvel-sim [options]\n"
    "A simulated magnetic-stripe card reader on a pseudo-terminal.  Open the\n"
    "printed /dev/pts path (or the --link path) with the library at the\n"
    "reader's rate, then type commands here.\n"
    "\n"
    "Options:\n"
    "  --link PATH       keep a symbolic link PATH pointing at the pty\n"
    "  --baud N          the reader's rate: 4800, 9600 (default), 19200 or 38400\n"
    "  --id TEXT         identification text (default \"MSR-3T V2.10\")\n"
    "  --mode MODE       starting mode: active or command (default)\n"
    "  --control FIFO    also read commands from the named pipe FIFO (created,\n"
    "                    removed at exit); the program then runs until 'quit'\n"
    "                    or SIGTERM even when its standard input ends\n"
    "  --line-timing     send at the line rate (10 bit times a byte)\n"
    "  --quiet           do not print the traffic and events\n"
    "  --help            this text\n"
    "\n"
    "Without --control the program ends when its standard input ends.\n";

std::string Commands() {
  std::string text =
      "Commands (one a line, on standard input or the control pipe):\n"
      "  swipe [N]             swipe sample card N (default 1; see 'cards')\n"
      "  cards                 list the sample cards\n";
  for (const FaultInfo& f : FaultTable()) {
    std::string left = std::string("  fault ") + f.name;
    if (f.argument != FaultArgument::kNone) left += std::string(" [") + f.argument_name + "]";
    left.resize(std::max<size_t>(left.size() + 1, 24), ' ');
    FaultSettings defaults;
    defaults.fault = f.fault;
    const std::string argument = FaultArgumentText(defaults);
    text += left + f.help + (argument.empty() ? "" : " (default " + argument + ")") + "\n";
  }
  text +=
      "  hangup                hang up now (close the pty)\n"
      "  plug                  after a hang-up, start again on a new pty\n"
      "  state                 show what the reader holds\n"
      "  help                  this text\n"
      "  quit                  end the program (also: exit)";
  return text;
}

std::mutex g_out_mutex;
int g_signal_pipe[2] = {-1, -1};
const auto g_start = std::chrono::steady_clock::now();

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_out_mutex);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Event(const std::string& line) {
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%9.3f] ", t);
  Say(stamp + line);
}

void OnSignal(int) {
  const char c = 1;
  (void)!write(g_signal_pipe[1], &c, 1);
}

bool ParseUnsigned(const std::string& s, unsigned long* value) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && s[0] != '-';
}

std::string Mode(uint8_t mode) {
  return mode == '0' ? "active ('0')" : "command ('1')";
}

class Program {
 public:
  explicit Program(Options options) : options_(std::move(options)) {}

  bool Plug() {
    std::string error;
    reader_ = PtyReader::Start(options_, &error);
    if (!reader_) {
      Say("korvel-sim: cannot start the simulated reader: " + error);
      return false;
    }
    return true;
  }

  PtyReader* reader() { return reader_.get(); }

  // Runs one command line; false when the program should end.
  bool Command(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string word; in >> word;) w.push_back(word);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help" || cmd == "?") {
      Say(Commands());
    } else if (cmd == "cards") {
      Cards();
    } else if (cmd == "swipe") {
      Swipe(w);
    } else if (cmd == "fault") {
      Fault(line.substr(line.find(cmd) + cmd.size()));
    } else if (cmd == "state") {
      State();
    } else if (cmd == "hangup") {
      if (Live()) reader_->HangUp();
    } else if (cmd == "plug") {
      if (reader_ && !reader_->HungUp()) {
        Say("The reader is plugged in on " + reader_->path() + ".");
      } else {
        reader_.reset();
        if (Plug()) Announce();
      }
    } else {
      Say("Unknown command '" + cmd + "'.  Type 'help' for the list.");
    }
    return true;
  }

  void Announce() {
    Say("Simulated reader on " + reader_->path());
    if (!options_.link_path.empty()) Say("Link: " + options_.link_path + " -> " + reader_->path());
  }

 private:
  bool Live() {
    if (reader_ && !reader_->HungUp()) return true;
    Say("The reader has hung up.  Type 'plug' to start again on a new pty.");
    return false;
  }

  void Cards() {
    const auto& cards = SampleCards();
    for (size_t i = 0; i < cards.size(); ++i) {
      Say("  " + std::to_string(i + 1) + "  " + cards[i].name);
      if (!cards[i].track1.empty()) Say("       track 1: " + cards[i].track1);
      if (!cards[i].track2.empty()) Say("       track 2: " + cards[i].track2);
      if (!cards[i].track3.empty()) Say("       track 3: " + cards[i].track3);
    }
  }

  void Swipe(const std::vector<std::string>& w) {
    unsigned long n = 1;
    const auto& cards = SampleCards();
    if (w.size() > 1 && (!ParseUnsigned(w[1], &n) || n < 1 || n > cards.size())) {
      Say("Card numbers are 1 to " + std::to_string(cards.size()) + " (see 'cards').");
      return;
    }
    if (Live()) reader_->Swipe(static_cast<size_t>(n - 1));
  }

  void Fault(const std::string& text) {
    FaultSettings f;
    std::string error;
    if (!ParseFault(text, &f, &error)) {
      Say("fault: " + error + ".  Type 'help' for the list.");
      return;
    }
    if (Live()) reader_->SetFault(f);
  }

  void State() {
    if (!reader_) return;
    const ReaderState s = reader_->State();
    const FaultSettings f = reader_->fault();
    const auto& t = s.track_settings;
    auto c = [](uint8_t b) { return Printable({b}); };
    Say("pty:            " + reader_->path() + (reader_->HungUp() ? " (hung up)" : ""));
    if (!options_.link_path.empty()) Say("link:           " + options_.link_path);
    Say("mode:           " + Mode(s.mode));
    Say("rate:           " + std::to_string(s.baud) + " baud");
    Say("identification: \"" + s.identification + "\"");
    Say("sentinels:      track 1 " + c(t[0]) + " " + c(t[1]) + "   track 2 " + c(t[2]) + " " + c(t[3]) +
        "   track 3 " + c(t[4]) + " " + c(t[5]) + "   byte 7 " + c(t[6]) + "   Enter mark " +
        (t[7] == '1' ? "on" : "off"));
    Say("last swipe:     " + (s.last_swipe.empty() ? std::string("none")
                                                   : std::to_string(s.last_swipe.size()) +
                                                         " byte(s): " + Printable(s.last_swipe)));
    Say("fault:          " + DescribeFault(f));
  }

  Options options_;
  std::unique_ptr<PtyReader> reader_;
};

// Lines from one input; a line without its newline counts once the input
// ends.
struct LineSource {
  int fd = -1;
  std::string partial;

  // Reads what is there; appends complete lines; true at end of input.
  bool Read(std::vector<std::string>* lines) {
    char buf[1024];
    for (;;) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        partial.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      const bool end = n == 0 || (errno != EAGAIN);
      size_t pos;
      while ((pos = partial.find_first_of("\r\n")) != std::string::npos) {
        lines->push_back(partial.substr(0, pos));
        partial.erase(0, pos + 1);
      }
      if (end && !partial.empty()) {
        lines->push_back(partial);
        partial.clear();
      }
      return end;
    }
  }
};

int OpenFifo(const std::string& path) {
  return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string control;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvel-sim: %s needs %s\n", a.c_str(), what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs((Commands() + "\n").c_str(), stdout);
      return 0;
    } else if (a == "--link") {
      options.link_path = value("a path");
    } else if (a == "--baud") {
      unsigned long b = 0;
      if (!ParseUnsigned(value("a rate"), &b) || b > UINT32_MAX ||
          korvel::FindLineRate(static_cast<uint32_t>(b)) == nullptr) {
        std::fprintf(stderr, "korvel-sim: the rate must be %s\n", RateList().c_str());
        return 2;
      }
      options.baud = static_cast<uint32_t>(b);
    } else if (a == "--id") {
      options.identification = value("a text");
    } else if (a == "--mode") {
      const std::string m = value("active or command");
      if (m == "active" || m == "0") {
        options.mode = '0';
      } else if (m == "command" || m == "1") {
        options.mode = '1';
      } else {
        std::fprintf(stderr, "korvel-sim: the mode is active or command\n");
        return 2;
      }
    } else if (a == "--control") {
      control = value("a path");
    } else if (a == "--line-timing") {
      options.line_timing = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr, "korvel-sim: unknown option %s (try --help)\n", a.c_str());
      return 2;
    }
  }
  if (!quiet) options.on_event = Event;

  if (pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::perror("korvel-sim: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  LineSource fifo;
  bool made_fifo = false;
  if (!control.empty()) {
    struct stat st {};
    if (lstat(control.c_str(), &st) == 0) {
      if (!S_ISFIFO(st.st_mode)) {
        std::fprintf(stderr, "korvel-sim: %s exists and is not a named pipe\n", control.c_str());
        return 1;
      }
    } else if (mkfifo(control.c_str(), 0666) != 0) {
      std::fprintf(stderr, "korvel-sim: cannot create %s: %s\n", control.c_str(), std::strerror(errno));
      return 1;
    } else {
      made_fifo = true;
    }
    fifo.fd = OpenFifo(control);
    if (fifo.fd < 0) {
      std::fprintf(stderr, "korvel-sim: cannot open %s: %s\n", control.c_str(), std::strerror(errno));
      if (made_fifo) unlink(control.c_str());
      return 1;
    }
  }

  Program program(options);
  if (!program.Plug()) {
    if (made_fifo) unlink(control.c_str());
    return 1;
  }
  program.Announce();
  if (!control.empty()) Say("Control pipe: " + control);
  Say("Reader at " + std::to_string(options.baud) + " baud, " + Mode(options.mode) +
      " mode.  Type 'help' for commands.");

  LineSource input;
  input.fd = STDIN_FILENO;
  // Standard input may be shared with a shell: give its flags back at the end.
  const int stdin_flags = fcntl(STDIN_FILENO, F_GETFL);
  if (stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, stdin_flags | O_NONBLOCK);
  bool running = true;
  while (running) {
    pollfd fds[3] = {{g_signal_pipe[0], POLLIN, 0}, {input.fd, POLLIN, 0}, {fifo.fd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) break;
    std::vector<std::string> lines;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (input.Read(&lines)) {
        input.fd = -1;  // poll() skips a negative descriptor
        if (control.empty()) running = false;
      }
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      // A writer closed the pipe: take its last line and open it afresh, so
      // that poll() waits for the next writer instead of reporting the end.
      // The new end opens before the old one closes: with no reader at all,
      // even for a moment, the kernel would drop what a writer that came in
      // between has already written.
      if (fifo.Read(&lines)) {
        const int fresh = OpenFifo(control);
        if (fresh < 0)
          std::fprintf(stderr, "korvel-sim: cannot reopen %s: %s\n", control.c_str(), std::strerror(errno));
        close(fifo.fd);
        fifo.fd = fresh;
      }
    }
    for (const auto& line : lines) {
      if (!program.Command(line)) {
        running = false;
        break;
      }
    }
  }

  if (stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, stdin_flags);
  if (fifo.fd >= 0) close(fifo.fd);
  if (made_fifo) unlink(control.c_str());
  // Destroying the reader closes the pty and removes the link.
  return 0;
}
