// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "korvel/clock.h"
#include "korvel/rates.h"
#include "korvel_sim.h"
#include "output_queue.h"
#include "text.h"

namespace {

using namespace korvel::sim;

// A command line longer than this is ignored (with one message).
constexpr size_t kMaxLine = 4096;
// Output waiting for a reader that does not read: at most this much.
constexpr size_t kMaxQueuedLines = 2048;
constexpr size_t kMaxQueuedBytes = 256 * 1024;
// At the end, queued output gets this long to be written.
constexpr int kFinalOutputMs = 500;

std::string Usage() {
  return "Usage: korvel-sim [options]\n"
         "A simulated magnetic-stripe card reader on a pseudo-terminal.  Open the\n"
         "printed /dev/pts path (or the --link path) with the library at the\n"
         "reader's rate, then type commands here.\n"
         "\n"
         "Options:\n"
         "  --link PATH       keep a symbolic link PATH pointing at the pty (removed at exit)\n"
         "  --baud N          the reader's rate: " +
         RateList(true) +
         "\n"
         "  --id TEXT         identification text (default \"MSR-3T V2.10\")\n"
         "  --mode MODE       starting mode: active or command (default)\n"
         "  --card TRACKS     a card of your own, written as track texts (below); may\n"
         "                    be given more than once.  Own cards follow the sample\n"
         "                    cards in 'cards'; 'swipe' without N swipes the first.\n"
         "  --control FIFO    also read commands from the named pipe FIFO (created when\n"
         "                    it does not exist, and then removed at exit; anything but\n"
         "                    a named pipe is refused, also when it is replaced while\n"
         "                    the program runs); the program then runs until 'quit' or\n"
         "                    a signal even when its standard input ends\n"
         "  --line-timing     send at the line rate (10 bit times a byte)\n"
         "  --quiet           do not print the traffic and events\n"
         "  --help            this text\n"
         "  --version         show the version and exit\n"
         "\n"
         "Without --control the program ends when its standard input ends.  SIGINT,\n"
         "SIGTERM and SIGHUP end it at once, cleanly: the link and the control pipe it\n"
         "made are removed.  Output is never waited for: while nobody reads it, lines\n"
         "beyond a bounded queue are dropped, and a line says how many.\n"
         "\n"
         "Cards as track texts (--card, swipe-tracks):  1=TEXT 2=TEXT 3=TEXT\n"
         "  Any of the three tracks, in any order, without sentinels.  A text runs to\n"
         "  the next ' 1=', ' 2=' or ' 3=', so it may hold spaces and '='.  In a text\n"
         "  \\xNN is the byte NN (hex) and \\\\ a backslash.  For example:\n"
         "    --card '1=B4111111111111111^TEST/CARD^2912101 2=4111111111111111=2912101'\n";
}

std::string Commands() {
  std::string text = "Commands (one a line, at most " + std::to_string(kMaxLine) +
                     " bytes, on standard input or the control pipe):\n"
                     "  swipe [N|KEY]         swipe card N, or the card named KEY (see 'cards');\n"
                     "                        without one, the first --card, else card 1\n"
                     "  swipe-tracks TRACKS   swipe a card written as track texts: 1=TEXT 2=TEXT 3=TEXT\n"
                     "  cards                 list the cards: the sample cards with their tracks,\n"
                     "                        your own (--card) with their tracks' lengths\n";
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

int g_signal_pipe[2] = {-1, -1};
const int64_t g_start_ms = korvel::MonotonicMs();

// A line of the reader's log, stamped with the seconds since the start.
std::string Stamped(const std::string& line) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%9.3f] ",
                static_cast<double>(korvel::MonotonicMs() - g_start_ms) / 1000);
  return stamp + line;
}

void OnSignal(int signal_number) {
  const char c = 1;
  (void)!write(g_signal_pipe[1], &c, 1);
  // A second signal ends the program the hard way, should the clean end hang.
  ::signal(signal_number, SIG_DFL);
}

bool ParseUnsigned(const std::string& s, unsigned long* value) {
  if (s.empty() || s[0] < '0' || s[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(s.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

std::string Mode(uint8_t mode) {
  return mode == '0' ? "active ('0')" : "command ('1')";
}

// A word of the user's for a message, not too long.
std::string Quoted(const std::string& word) {
  return "'" + (word.size() > 40 ? word.substr(0, 40) + "..." : word) + "'";
}

class Program {
 public:
  // All output goes through `out`: it never waits for whoever reads it.
  Program(Options options, std::vector<Card> own_cards, OutputQueue& out)
      : options_(std::move(options)), own_cards_(std::move(own_cards)), out_(out) {}

  void Say(const std::string& text) { out_.Line(text); }

  bool Plug() {
    std::string error;
    reader_ = PtyReader::Start(options_, &error);
    if (!reader_) {
      Say("korvel-sim: cannot start the simulated reader: " + error);
      return false;
    }
    return true;
  }

  // Runs one command line; false when the program should end.
  bool Command(const std::string& line) {
    const std::vector<std::string> w = Words(line);
    if (w.empty()) return true;
    const std::string& cmd = w[0];
    // What follows the command word, as typed.
    const std::string rest = line.substr(std::min(line.size(), line.find(cmd) + cmd.size()));
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help" || cmd == "?") {
      Say(Commands());
    } else if (cmd == "cards") {
      Cards();
    } else if (cmd == "swipe") {
      Swipe(w);
    } else if (cmd == "swipe-tracks") {
      SwipeTracks(rest);
    } else if (cmd == "fault") {
      Fault(rest);
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
      Say("Unknown command " + Quoted(cmd) + ".  Type 'help' for the list.");
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

  // The sample cards, then the own ones: the numbers 'swipe' takes.
  std::vector<const Card*> AllCards() const {
    std::vector<const Card*> all;
    for (const Card& c : SampleCards()) all.push_back(&c);
    for (const Card& c : own_cards_) all.push_back(&c);
    return all;
  }

  void Cards() {
    const auto all = AllCards();
    const size_t samples = SampleCards().size();
    for (size_t i = 0; i < all.size(); ++i) {
      const Card& c = *all[i];
      std::string key = c.key;
      key.resize(std::max<size_t>(key.size() + 1, 11), ' ');
      Say("  " + std::to_string(i + 1) + (i + 1 < 10 ? "   " : "  ") + key + c.name);
      const std::string* tracks[3] = {&c.track1, &c.track2, &c.track3};
      for (int t = 0; t < 3; ++t) {
        if (tracks[t]->empty()) continue;
        const std::string label = "        track " + std::to_string(t + 1) + ": ";
        if (i < samples) {
          Say(label + Printable({tracks[t]->begin(), tracks[t]->end()}));
        } else {
          Say(label + std::to_string(tracks[t]->size()) + " character(s)");
        }
      }
    }
  }

  void Swipe(const std::vector<std::string>& w) {
    const auto all = AllCards();
    const Card* card = own_cards_.empty() ? all[0] : &own_cards_[0];
    if (w.size() > 2) {
      Say("Swipe one card: 'swipe N' or 'swipe KEY' (see 'cards').");
      return;
    }
    if (w.size() == 2) {
      unsigned long n = 0;
      card = nullptr;
      if (ParseUnsigned(w[1], &n)) {
        if (n >= 1 && n <= all.size()) card = all[n - 1];
      } else {
        for (const Card* c : all)
          if (c->key == w[1]) card = c;
      }
      if (card == nullptr) {
        Say("No card " + Quoted(w[1]) + ": the cards are 1 to " + std::to_string(all.size()) +
            " or their keys (see 'cards').");
        return;
      }
    }
    if (Live()) reader_->Swipe(*card);
  }

  void SwipeTracks(const std::string& text) {
    Card card;
    std::string error;
    if (!ParseTracks(text, &card, &error)) {
      Say("swipe-tracks: " + error + ".  Write e.g. 'swipe-tracks 2=4111111111111111=2912'.");
      return;
    }
    card.name = "tracks given by swipe-tracks";
    card.key = "swipe-tracks";
    if (Live()) reader_->Swipe(card);
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
    Say("fault:          " + DescribeFault(reader_->fault()));
  }

  Options options_;
  std::vector<Card> own_cards_;
  std::unique_ptr<PtyReader> reader_;
  OutputQueue& out_;
};

// Lines from one input, each at most kMaxLine bytes; a longer line is
// dropped whole.  A line without its newline counts once the input ends.
struct LineSource {
  int fd = -1;
  std::string partial;
  bool discarding = false;  // inside a line that is too long
  size_t too_long = 0;      // lines dropped for their length, not yet told

  // Reads what is there, but not without end (an input that never runs
  // dry must not hold up the rest); appends complete lines; true at the end
  // of the input.
  bool Read(std::vector<std::string>* lines) {
    char buf[4096];
    for (int reads = 0; reads < 16; ++reads) {
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        Take(buf, static_cast<size_t>(n), lines);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return false;
      if (!discarding && !partial.empty()) lines->push_back(partial);
      partial.clear();
      discarding = false;
      return true;  // the end, or an error that ends it
    }
    return false;
  }

  void Take(const char* bytes, size_t count, std::vector<std::string>* lines) {
    for (size_t i = 0; i < count; ++i) {
      const char c = bytes[i];
      if (c == '\n' || c == '\r') {
        if (!discarding) lines->push_back(partial);
        partial.clear();
        discarding = false;
      } else if (discarding) {
        continue;
      } else if (partial.size() == kMaxLine) {
        partial.clear();
        discarding = true;
        ++too_long;
      } else {
        partial.push_back(c);
      }
    }
  }
};

// The --control pipe.  Only a named pipe is read: the path is checked when
// the program starts and every descriptor opened on it is checked again, so
// that a regular file put in its place is never read (a file never blocks:
// its commands would run again and again).  At the end the program removes
// the pipe only when it made it and it is still the same one.
class ControlPipe {
 public:
  explicit ControlPipe(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  // Makes the pipe when nothing is there and opens it; false with `error`.
  bool Start(std::string* error) {
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0) {
      if (!S_ISFIFO(st.st_mode)) {
        *error = path_ + " exists and is not a named pipe";
        return false;
      }
    } else if (mkfifo(path_.c_str(), 0666) != 0) {
      *error = "cannot create " + path_ + ": " + std::strerror(errno);
      return false;
    } else if (lstat(path_.c_str(), &st) == 0) {
      made_ = true;
      made_dev_ = st.st_dev;
      made_ino_ = st.st_ino;
    }
    const int fd = Open(error);
    if (fd < 0) {
      Remove();
      return false;
    }
    source.fd = fd;
    return true;
  }

  // After a writer closed it: open it afresh, so that poll() waits for the
  // next writer instead of reporting the end.  The new descriptor opens
  // before the old one closes: with no reader at all, even for a moment,
  // the kernel would drop what a writer that came in between has already
  // written.  False (and no more reading) when it cannot be opened or is
  // no named pipe any more.
  bool Reopen(std::string* error) {
    const int fresh = Open(error);
    close(source.fd);
    source.fd = fresh;
    return fresh >= 0;
  }

  // Removes the pipe if this program made it and it is still that pipe.
  void Remove() {
    if (source.fd >= 0) close(source.fd);
    source.fd = -1;
    struct stat st {};
    if (made_ && lstat(path_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) && st.st_dev == made_dev_ &&
        st.st_ino == made_ino_)
      unlink(path_.c_str());
    made_ = false;
  }

  LineSource source;

 private:
  int Open(std::string* error) const {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      *error = "cannot open " + path_ + ": " + std::strerror(errno);
      return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      close(fd);
      *error = path_ + " is not a named pipe";
      return -1;
    }
    return fd;
  }

  std::string path_;
  bool made_ = false;
  dev_t made_dev_ = 0;
  ino_t made_ino_ = 0;
};

[[noreturn]] void Fail(const std::string& message, int code) {
  std::fprintf(stderr, "korvel-sim: %s\n", message.c_str());
  std::exit(code);
}

// What the command line asks for.
struct Arguments {
  Options options;
  std::string control_path;
  std::vector<Card> own_cards;
  bool quiet = false;
};

// Reads the command line; --help and --version answer and end the program,
// a wrong argument ends it with status 2.
Arguments ParseArguments(int argc, char** argv) {
  Arguments args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> std::string {
      if (i + 1 >= argc) Fail(a + " needs " + what, 2);
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs((Usage() + "\n" + Commands() + "\n").c_str(), stdout);
      std::exit(0);
    } else if (a == "--version") {
      std::printf("korvel-sim %s\n", KORVEL_SIM_VERSION);
      std::exit(0);
    } else if (a == "--link") {
      args.options.link_path = value("a path");
    } else if (a == "--baud") {
      unsigned long b = 0;
      if (!ParseUnsigned(value("a rate"), &b) || b > UINT32_MAX ||
          korvel::FindLineRate(static_cast<uint32_t>(b)) == nullptr)
        Fail("the rate is one of " + RateList(), 2);
      args.options.baud = static_cast<uint32_t>(b);
    } else if (a == "--id") {
      args.options.identification = value("a text");
    } else if (a == "--mode") {
      const std::string m = value("active or command");
      if (m == "active" || m == "0") {
        args.options.mode = '0';
      } else if (m == "command" || m == "1") {
        args.options.mode = '1';
      } else {
        Fail("the mode is active or command", 2);
      }
    } else if (a == "--card") {
      Card card;
      std::string error;
      if (!ParseTracks(value("track texts (1=TEXT 2=TEXT 3=TEXT)"), &card, &error))
        Fail("--card: " + error + " (see --help)", 2);
      const std::string n = std::to_string(args.own_cards.size() + 1);
      card.name = "card " + n + " from --card";
      card.key = "card-" + n;
      args.own_cards.push_back(std::move(card));
    } else if (a == "--control") {
      args.control_path = value("a path");
    } else if (a == "--line-timing") {
      args.options.line_timing = true;
    } else if (a == "--quiet") {
      args.quiet = true;
    } else {
      Fail("unknown option " + a + " (try --help)", 2);
    }
  }
  return args;
}

// SIGINT, SIGTERM and SIGHUP end the command loop through a pipe it polls;
// a closed output does not end the program.
void CatchSignals() {
  if (pipe2(g_signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
    Fail(std::string("pipe: ") + std::strerror(errno), 1);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Runs the commands of standard input and of the control pipe (if any)
// until 'quit', a signal, or the end of standard input without a control
// pipe.
void RunCommands(Program& program, ControlPipe* control) {
  LineSource input;
  input.fd = STDIN_FILENO;
  // Standard input may be shared with a shell: give its flags back at the end.
  const int stdin_flags = fcntl(STDIN_FILENO, F_GETFL);
  if (stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, stdin_flags | O_NONBLOCK);
  bool running = true;
  while (running) {
    const int control_fd = control ? control->source.fd : -1;
    pollfd fds[3] = {{g_signal_pipe[0], POLLIN, 0}, {input.fd, POLLIN, 0}, {control_fd, POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) break;
    std::vector<std::string> lines;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (input.Read(&lines)) {
        input.fd = -1;  // poll() skips a negative descriptor
        if (!control) running = false;
      }
    }
    if (control && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      // A writer closed the pipe: take its last line and open it afresh.
      std::string error;
      if (control->source.Read(&lines) && !control->Reopen(&error))
        program.Say("korvel-sim: " + error + ": commands from it are no longer read");
    }
    for (LineSource* source : {&input, control ? &control->source : nullptr}) {
      if (source == nullptr || source->too_long == 0) continue;
      program.Say("korvel-sim: " + std::to_string(source->too_long) + " line(s) longer than " +
                  std::to_string(kMaxLine) + " bytes ignored");
      source->too_long = 0;
    }
    for (const auto& line : lines) {
      if (!program.Command(line)) {
        running = false;
        break;
      }
    }
  }
  if (stdin_flags >= 0) fcntl(STDIN_FILENO, F_SETFL, stdin_flags);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args = ParseArguments(argc, argv);
  CatchSignals();
  std::unique_ptr<ControlPipe> control;
  if (!args.control_path.empty()) {
    control = std::make_unique<ControlPipe>(args.control_path);
    std::string error;
    if (!control->Start(&error)) Fail(error, 1);
  }

  OutputQueue out(STDOUT_FILENO, kMaxQueuedLines, kMaxQueuedBytes);
  if (!args.quiet) args.options.on_event = [&out](const std::string& line) { out.Line(Stamped(line)); };
  bool clean = true;
  {
    Program program(args.options, std::move(args.own_cards), out);
    clean = program.Plug();
    if (clean) {
      program.Announce();
      if (control) program.Say("Control pipe: " + control->path());
      program.Say("Reader at " + std::to_string(args.options.baud) + " baud, " + Mode(args.options.mode) +
                  " mode.  Type 'help' for commands.");
      RunCommands(program, control.get());
    }
    // Leaving the scope destroys the reader: it closes the pty and removes the link.
  }
  if (control) control->Remove();
  out.Finish(kFinalOutputMs);
  return clean ? 0 : 1;
}
