// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "platform_text.h"

namespace korvel::cli {

const char kPortsDetails[] =
    "Lists the serial devices present, one a line: the names under\n"
    "/dev/serial/by-id with the device each points at (they stay the same\n"
    "wherever the adapter is plugged in), then /dev/ttyUSB*, /dev/ttyACM*,\n"
    "and the machine's own ports /dev/ttyS* with the comN name the library\n"
    "also opens them by.  The setup dialog lists the same devices.  Opens\n"
    "nothing.  With --simulate the simulated reader's port is listed last.\n";

const char kPortText[] =
    "PORT is any name the library opens: com1, com2, ... (/dev/ttyS0, ...), a\n"
    "device path (/dev/ttyUSB0, /dev/serial/by-id/...), or a reader on another\n"
    "machine behind a port server: rfc2217://HOST:PORT or tcp://HOST:PORT\n"
    "(card data crosses the network in the clear: keep it on a trusted network\n"
    "or a tunnel).  With --simulate there is no PORT: the command talks to a\n"
    "simulated reader that korvel starts in its own process, e.g.\n"
    "korvel --simulate probe.  Options may come before or after the command.\n";

const char kWedgeDescription[] =
    "Types each swipe into the window that has the keyboard focus, as if typed\n"
    "on the keyboard, from a template.  Puts the reader in active mode and runs\n"
    "until Ctrl-C (or SIGTERM, SIGHUP), --count swipes or --timeout seconds;\n"
    "the reader is then put back in the mode it was found in.  Works on X11\n"
    "(every character typed exactly whatever the keyboard layout); Wayland\n"
    "sessions are not covered.  Never uses the clipboard.\n";

const char kWedgeLogText[] =
    "Each swipe\n"
    "is logged on standard error, masked; a refused one also as a desktop\n"
    "notification (notify-send) where there is one.\n";

}  // namespace korvel::cli
