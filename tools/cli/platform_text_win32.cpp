// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "platform_text.h"

namespace korvel::cli {

const char kPortsDetails[] =
    "Lists the COM ports Windows knows (COM1, COM2, ..., COM10, ...), one a\n"
    "line, in order.  The setup dialog offers the same names.  Opens nothing.\n";

const char kPortText[] =
    "PORT is any name the library opens: COM1, COM2, ... (COM10 and above\n"
    "too), or a reader on another machine behind a port server:\n"
    "rfc2217://HOST:PORT or tcp://HOST:PORT (card data crosses the network in\n"
    "the clear: keep it on a trusted network or a tunnel).  This build has no\n"
    "simulated reader (--simulate) and no client of korveld (korvel service,\n"
    "wedge --service): both run on Linux only.  Options may come before or\n"
    "after the command.\n";

const char kWedgeDescription[] =
    "Types each swipe into the window that has the keyboard focus, as if typed\n"
    "on the keyboard, from a template.  Puts the reader in active mode and runs\n"
    "until Ctrl+C (or Ctrl+Break, or the console window closing), --count\n"
    "swipes or --timeout seconds; the reader is then put back in the mode it\n"
    "was found in.  Every character is typed exactly whatever the keyboard\n"
    "layout (Unicode keys, SendInput).  Never uses the clipboard.\n";

const char kWedgeLogText[] =
    "Each swipe\n"
    "is logged on standard error, masked; a refused one also as a balloon of\n"
    "the notification area.\n";

}  // namespace korvel::cli
