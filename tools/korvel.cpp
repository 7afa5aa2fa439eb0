// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel: the reader on the command line, for people and for scripts.
// `korvel --help` is its manual; tools/cli/ holds its parts.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "cli/report.h"
#include "cli/request.h"
#include "cli/service_client.h"
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

int UsageError(const Parsed& parsed) {
  std::fprintf(stderr, "korvel: %s\n", parsed.text.c_str());
  if (parsed.command.empty())
    std::fprintf(stderr, "Run 'korvel --help' for the commands and options.\n");
  else
    std::fprintf(stderr, "Run 'korvel %s --help' for its arguments and options.\n", parsed.command.c_str());
  if (parsed.json) std::printf("%s\n", JsonLine(UsageErrorJson(parsed.command, parsed.text)).c_str());
  return CodeOf(Exit::kUsage);
}

}  // namespace

int main(int argc, char** argv) {
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
  const Parsed parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc), context);
  switch (parsed.kind) {
    case Parsed::Kind::kHelp: std::fputs(parsed.text.c_str(), stdout); return 0;
    case Parsed::Kind::kVersion: std::printf("korvel %s\n", Korvel_Version()); return 0;
    case Parsed::Kind::kUsageError: return UsageError(parsed);
    case Parsed::Kind::kRun: break;
  }
  const Request& request = parsed.request;
  if (request.reveal && (request.command == Command::kRead || request.command == Command::kWatch ||
                         request.command == Command::kProbe))
    std::fprintf(stderr,
                 "korvel: warning: --reveal shows card data in full (account numbers, discretionary data);\n"
                 "korvel: do not keep this output in logs, files or shared terminals.\n");

  Output output(request, stdout, stderr);
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
