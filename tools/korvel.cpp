// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel: the reader on the command line, for people and for scripts.
// `korvel --help` is its manual; tools/cli/ holds its parts.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/report.h"
#include "cli/request.h"
#include "cli/service_client.h"
#include "cli/wedge_command.h"
#include "korvel.h"
#ifdef KORVEL_HAVE_SIMULATOR
#include "cli/simulated_reader.h"
#endif

namespace {

using namespace korvel::cli;

std::atomic<bool> g_stop{false};

void OnSignal(int) {
  g_stop.store(true);
}

// Ctrl-C, SIGTERM and SIGHUP end a wait for a swipe, and the reader's mode
// is restored before the program ends.  A second signal ends it at once.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// Descriptors 0, 1 and 2 are opened on /dev/null when they are closed, before
// anything else is opened: a port must never become standard output or
// error, where everything korvel prints would go down the line to the
// reader.  Returns whether standard output was closed; false in *ok when
// /dev/null could not be opened.
bool OpenStandardDescriptors(bool* ok) {
  bool out_closed = false;
  *ok = true;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: `fd`, as the ones below it are open.
    const int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (null != fd) {
      if (null >= 0) close(null);
      *ok = false;
    }
    if (fd == STDOUT_FILENO) out_closed = true;
  }
  return out_closed;
}

// The exit code after writing help or the version: 1 when it did not all go out.
int Flushed(FILE* out) {
  return std::fflush(out) == 0 && !std::ferror(out) ? CodeOf(Exit::kOk) : CodeOf(Exit::kFailure);
}

int UsageError(const Parsed& parsed) {
  std::fprintf(stderr, "korvel: %s\n", parsed.text.c_str());
  if (parsed.command.empty())
    std::fprintf(stderr, "Run 'korvel --help' for the commands and options.\n");
  else
    std::fprintf(stderr, "Run 'korvel %s --help' for its arguments and options.\n", parsed.command.c_str());
  if (parsed.json) std::printf("%s\n", JsonLine(UsageErrorJson(parsed.command, parsed.text)).c_str());
  return CodeOf(Exit::kUsage);
}

// korvel wedge: its own command line, a typist for the display, then the
// reader (or the simulated one).
int Wedge(const std::vector<std::string>& args, const ParseContext& context) {
  const WedgeParsed parsed = ParseWedgeArguments(args, context);
  if (parsed.kind == WedgeParsed::Kind::kUsageError) {
    std::fprintf(stderr, "korvel: %s\nRun 'korvel wedge --help' for its arguments and options.\n",
                 parsed.text.c_str());
    return CodeOf(Exit::kUsage);
  }
  if (parsed.kind == WedgeParsed::Kind::kHelp) {
    std::fputs(parsed.text.c_str(), stdout);
    return Flushed(stdout);
  }
  const WedgeRequest& request = parsed.request;
  std::string error;
  std::unique_ptr<korvel::wedge::Typist> typist = korvel::wedge::OpenTypist(&error);
  if (!typist) {
    std::fprintf(stderr, "korvel: %s\n", error.c_str());
    return CodeOf(Exit::kFailure);
  }
  const WedgeLog log = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  if (!request.service.empty()) {
    CatchStopSignals();
    return RunWedgeFromService(request, *typist, log, g_stop);
  }
  std::string port = request.port;
  Swiper* swiper = nullptr;
#ifdef KORVEL_HAVE_SIMULATOR
  std::unique_ptr<SimulatedReader> simulated;
  if (request.simulate) {
    simulated = SimulatedReader::Start(request.baud, request.card, &error);
    if (!simulated) {
      std::fprintf(stderr, "korvel: the simulated reader did not start: %s\n", error.c_str());
      return CodeOf(Exit::kFailure);
    }
    port = simulated->path();
    swiper = simulated.get();
  }
#endif
  CatchStopSignals();
  return RunWedge(request, port, swiper, *typist, log, g_stop);
}

}  // namespace

int main(int argc, char** argv) {
  bool descriptors_ok = true;
  const bool out_closed = OpenStandardDescriptors(&descriptors_ok);
  if (!descriptors_ok) return CodeOf(Exit::kFailure);
  // A closed standard output is noticed as a failed write (watch then
  // restores the reader's mode) instead of ending the program.
  signal(SIGPIPE, SIG_IGN);

  // `korvel service ...`: a client of korveld, the reader service.
  if (argc > 1 && std::string(argv[1]) == "service") {
    CatchStopSignals();
    return RunService(std::vector<std::string>(argv + 2, argv + argc), stdout, stderr, g_stop);
  }

  ParseContext context;
#ifdef KORVEL_HAVE_SIMULATOR
  context.have_simulator = true;
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) context.sample_cards.push_back(card.key);
#else
  context.have_simulator = false;
#endif
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (IsWedgeCommand(args)) {
    if (out_closed) {
      std::fprintf(stderr, "korvel: standard output is closed: nothing was done\n");
      return CodeOf(Exit::kFailure);
    }
    return Wedge(args, context);
  }
  const Parsed parsed = ParseArguments(args, context);
  if (parsed.kind == Parsed::Kind::kUsageError) return UsageError(parsed);
  // Nothing is done that could not be reported: a script that closed
  // standard output learns it from the exit code.
  if (out_closed) {
    std::fprintf(stderr,
                 "korvel: standard output is closed: nothing was done (send it to /dev/null to "
                 "discard the output)\n");
    return CodeOf(Exit::kFailure);
  }
  switch (parsed.kind) {
    case Parsed::Kind::kHelp: std::fputs(parsed.text.c_str(), stdout); return Flushed(stdout);
    case Parsed::Kind::kVersion: std::printf("korvel %s\n", Korvel_Version()); return Flushed(stdout);
    case Parsed::Kind::kUsageError:
    case Parsed::Kind::kRun: break;
  }
  const Request& request = parsed.request;
  if (request.reveal && (request.command == Command::kRead || request.command == Command::kWatch ||
                         request.command == Command::kProbe))
    std::fprintf(stderr,
                 "korvel: warning: --reveal shows card data in full (account numbers, discretionary data);\n"
                 "korvel: do not keep this output in logs, files or shared terminals.\n");

  Output output(request, STDOUT_FILENO, STDERR_FILENO, g_stop);
  std::string port = request.port;
  Swiper* swiper = nullptr;
#ifdef KORVEL_HAVE_SIMULATOR
  std::unique_ptr<SimulatedReader> simulated;
  if (request.simulate) {
    std::string error;
    simulated = SimulatedReader::Start(request.baud, request.card, &error);
    if (!simulated) {
      Result result;
      result.command = request.command;
      result.simulated = true;
      result.baud = request.baud;
      result.exit = Exit::kFailure;
      result.reason = "the simulated reader did not start: " + error;
      output.Finish(result);
      return CodeOf(result.exit);
    }
    port = simulated->path();
    swiper = simulated.get();
    if (request.command != Command::kPorts && request.command != Command::kProbe)
      output.Note("Simulated reader on " + port);
  }
#endif
  if (request.command == Command::kWatch || request.command == Command::kProbe) CatchStopSignals();

  Result result = Run(request, port, swiper, output, g_stop);
  if (!output.Finish(result) && result.exit == Exit::kOk) return CodeOf(Exit::kFailure);
  return CodeOf(result.exit);
}
