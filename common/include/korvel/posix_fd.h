/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Descriptors a library keeps for itself must never be 0, 1 or 2: a program
// started with one of its standard streams closed would otherwise print into
// the device or the connection.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korvel {

// Returns `fd` itself when it is above 2; otherwise a close-on-exec duplicate
// above 2, closing `fd`.  -1 (errno set, `fd` closed) when no duplicate can be
// made; -1 stays -1.
inline int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  close(fd);
  errno = err;
  return moved;
}

// A pipe for waking a poll() from another thread: both ends non-blocking,
// close-on-exec and above 2.  0, or the errno with nothing left open (both
// ends -1).
inline int MakeWakePipe(int (&ends)[2]) {
  if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return errno;
  ends[0] = AboveStandardStreams(ends[0]);
  const int first_error = errno;
  ends[1] = AboveStandardStreams(ends[1]);
  if (ends[0] >= 0 && ends[1] >= 0) return 0;
  const int err = ends[0] < 0 ? first_error : errno;
  for (int& end : ends) {
    if (end >= 0) close(end);
    end = -1;
  }
  return err;
}

}  // namespace korvel
