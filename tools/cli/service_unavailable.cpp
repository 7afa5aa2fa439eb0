// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Where korveld does not run (Windows): korvel service and wedge --service
// say so and end with the usage error; a busy port is never the service's.
#include <cstdio>

#include "exit_codes.h"
#include "service_client.h"
#include "wedge_command.h"

namespace korvel::cli {

const bool kHaveService = false;

std::string ServiceSocket(const std::string& given) {
  return given;
}

int RunService(const std::vector<std::string>&, FILE*, FILE* err, const std::atomic<bool>&) {
  std::fprintf(err, "korvel: service: %s\n", kServiceLinuxOnly);
  return CodeOf(Exit::kUsage);
}

std::optional<std::string> ServedAs(const std::string&) {
  return std::nullopt;
}

int RunWedgeFromService(const WedgeRequest&, wedge::Typist&, const WedgeLog& log, const std::atomic<bool>&) {
  log(std::string("korvel: --service: ") + kServiceLinuxOnly);
  return CodeOf(Exit::kUsage);
}

}  // namespace korvel::cli
