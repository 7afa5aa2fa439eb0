// korvel-probe: a short command-line probe of a reader through the library.
//
//   korvel-probe PORT [BAUD]     probe the reader on PORT (default 9600 baud)
//   korvel-probe --simulate      start the built-in simulated reader and probe it
//
// The probe asks for the reading mode and the identification text, switches
// the reader to active mode, waits for a swipe (made by the simulator itself
// with --simulate) and prints the card data, then puts the reader back into
// command mode.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "korvel.h"
#ifdef KORVEL_HAVE_SIMULATOR
#include "korvel_sim.h"
#endif

namespace {

int Usage(FILE* out) {
  std::fprintf(out,
               "usage: korvel-probe PORT [BAUD]\n"
               "       korvel-probe --simulate\n"
               "PORT is com1..com8 or a device path such as /dev/ttyUSB0; BAUD is\n"
               "4800, 9600 (default), 19200 or 38400.\n");
  return out == stdout ? 0 : 2;
}

bool Check(const char* what, int status) {
  std::printf("%-28s %s\n", what, status == KORVEL_OK ? "ok" : Korvel_StatusText(status));
  return status == KORVEL_OK;
}

// Prints reader bytes, showing control characters as escapes.
void PrintBytes(const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const unsigned char c = bytes[i];
    if (c == '\r')
      std::fputs("\\r", stdout);
    else if (c == '\n')
      std::fputs(i + 1 < count ? "\\n\n    " : "\\n", stdout);
    else if (c < 0x20 || c == 0x7F)
      std::printf("\\x%02X", c);
    else
      std::putchar(c);
  }
  std::putchar('\n');
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) return Usage(stderr);
  std::string port = argv[1];
  if (port == "-h" || port == "--help") return Usage(stdout);
  uint32_t baud = argc == 3 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 9600;

#ifdef KORVEL_HAVE_SIMULATOR
  std::unique_ptr<korvel::sim::PtyReader> simulated;
  if (port == "--simulate") {
    std::string error;
    simulated = korvel::sim::PtyReader::Start({}, &error);
    if (!simulated) {
      std::fprintf(stderr, "korvel-probe: cannot start the simulated reader: %s\n", error.c_str());
      return 1;
    }
    port = simulated->path();
    std::printf("Simulated reader on %s\n", port.c_str());
  }
#else
  if (port == "--simulate") {
    std::fprintf(stderr, "korvel-probe: this build has no simulated reader\n");
    return 2;
  }
#endif

  void* handle = Korvel_CommOpenWithBaud(port.c_str(), baud);
  if (handle == nullptr) {
    std::fprintf(stderr,
                 "korvel-probe: cannot open %s at %u baud (absent, in use, not a serial port,\n"
                 "or no permission: on Linux your user needs to be in the 'dialout' group)\n",
                 port.c_str(), baud);
    return 1;
  }
  std::printf("Opened %s at %u baud\n", port.c_str(), baud);

  int failures = 0;
  unsigned char mode[12] = {};
  if (Check("Query mode", Korvel_Search(handle, mode)))
    std::printf("    the reader is in %s mode\n", mode[0] == '0' ? "active" : "command");
  else
    ++failures;

  unsigned char text[32] = {};
  if (Check("Identification text", Korvel_Reset(handle, text)))
    std::printf("    \"%s\"\n", reinterpret_cast<const char*>(text));
  else
    ++failures;

  if (Check("Switch to active mode", Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE))) {
#ifdef KORVEL_HAVE_SIMULATOR
    if (simulated) {
      std::printf("    swiping sample card \"%s\"\n", korvel::sim::SampleCards()[0].name.c_str());
      simulated->Swipe(size_t{0});
    } else
#endif
      std::printf("    swipe a card within 10 seconds...\n");
    unsigned char data[KORVEL_DATA_AREA + 1] = {};
    int status = KORVEL_E_EMPTY;
    for (int tick = 0; tick < 100 && status == KORVEL_E_EMPTY; ++tick) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      status = Korvel_GetTrack(handle, data);
    }
    if (Check("Card data", status)) {
      std::fputs("    ", stdout);
      PrintBytes(data, strnlen(reinterpret_cast<const char*>(data), KORVEL_DATA_AREA));
    } else {
      ++failures;
    }
    if (!Check("Back to command mode", Korvel_ReadMode(handle, KORVEL_MODE_COMMAND))) ++failures;
  } else {
    ++failures;
  }

  Korvel_CommClose(handle);
  std::printf("%s\n", failures == 0 ? "The reader answers." : "The reader did not answer every request.");
  return failures == 0 ? 0 : 1;
}
