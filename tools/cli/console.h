/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// korvel's console, the platform's way: the standard streams made safe
// before a port is opened, the stop flag that Ctrl-C and its kin set, and
// writes to standard output and error.  One backend per platform
// (console_posix.cpp, console_win32.cpp); the commands see only this.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace korvel::cli::console {

// The program's arguments after its name, in UTF-8: POSIX takes `argv` as it
// is; Windows reads the command line in UTF-16 (so that a template with ä or
// € arrives whatever the code page) and falls back on `argv`.
std::vector<std::string> Arguments(int argc, char** argv);

// Readies the standard streams before anything else is opened.  POSIX:
// descriptors 0, 1 and 2 that are closed are opened on /dev/null (a port
// must never become standard output, where everything korvel prints would go
// down the line to the reader), and a write to a pipe whose reader has gone
// fails instead of ending the program (SIGPIPE ignored).  Windows: nothing to
// open (a port never becomes a standard handle).  False when the streams
// could not be readied; *out_closed tells whether standard output was closed
// (Windows: the process has no standard output handle).
bool PrepareStandardStreams(bool* out_closed);

// From now on a stop request sets `stop`: Ctrl-C, SIGTERM and SIGHUP on
// POSIX; Ctrl+C, Ctrl+Break and closing the console window on Windows.  A
// second request ends the program at once.  `stop` must live until the
// program ends.  From the main thread, once or more (same flag).
void CatchStopRequests(std::atomic<bool>& stop);

enum class Stream { kOut, kErr };

// Waits at most `wait_ms` for room on `stream` and writes what fits of the
// `size` bytes at `data`.  Returns the bytes written; 0 when no room came in
// time or a signal cut the wait short (try again); -1 when the stream failed
// (a pipe whose reader has gone, a closed console, any other error).  On
// Windows a write waits until the stream takes it.
long WriteSome(Stream stream, const char* data, size_t size, int wait_ms);

// True when `stream` is known to be unwritable now (POSIX: a pipe whose
// reader has gone, a terminal that hung up); Windows learns it from a
// failed write only.
bool Broken(Stream stream);

}  // namespace korvel::cli::console
