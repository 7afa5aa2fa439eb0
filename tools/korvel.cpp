// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// korvel: the reader on the command line, for people and for scripts.
// `korvel --help` is its manual; tools/cli/ holds its parts.
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/console.h"
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

// Set by Ctrl-C and its kin (console::CatchStopRequests): a wait for a
// swipe ends, and the reader's mode is restored before the program ends.
std::atomic<bool> g_stop{false};

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
    console::CatchStopRequests(g_stop);
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
  console::CatchStopRequests(g_stop);
  return RunWedge(request, port, swiper, *typist, log, g_stop);
}

}  // namespace

int main(int argc, char** argv) {
  bool out_closed = false;
  if (!console::PrepareStandardStreams(&out_closed)) return CodeOf(Exit::kFailure);

  const std::vector<std::string> args = console::Arguments(argc, argv);
  // `korvel service ...`: a client of korveld, the reader service.
  if (!args.empty() && args[0] == "service") {
    console::CatchStopRequests(g_stop);
    return RunService(std::vector<std::string>(args.begin() + 1, args.end()), stdout, stderr, g_stop);
  }

  ParseContext context;
#ifdef KORVEL_HAVE_SIMULATOR
  context.have_simulator = true;
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) context.sample_cards.push_back(card.key);
#else
  context.have_simulator = false;
#endif
  context.have_service = kHaveService;
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

  Output output(request, g_stop);
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
  if (request.command == Command::kWatch || request.command == Command::kProbe)
    console::CatchStopRequests(g_stop);

  Result result = Run(request, port, swiper, output, g_stop);
  if (!output.Finish(result) && result.exit == Exit::kOk) return CodeOf(Exit::kFailure);
  return CodeOf(result.exit);
}
