/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Raw serial lines on a POSIX terminal device: the speed constants of the
// four line rates and the one raw 8-N-1 setup that the library's port and the
// simulator's pseudo-terminal both use.
#pragma once

#include <termios.h>

#include <cstdint>

namespace korvel {

// The speed constant of a supported rate, or B0.
inline speed_t SpeedOf(uint32_t baud) {
  switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B0;
  }
}

// Raw 8 data bits, no parity, one stop bit at `baud`, no flow control, no
// translation of any byte; reads return with `vmin` bytes (0: at once).
// Reads the settings back to make sure they took.  False on any failure.
inline bool MakeRawLine(int fd, uint32_t baud, cc_t vmin) {
  const speed_t speed = SpeedOf(baud);
  termios tio{};
  if (speed == B0 || tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = vmin;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;

  termios back{};
  if (tcgetattr(fd, &back) != 0) return false;
  return cfgetispeed(&back) == speed && cfgetospeed(&back) == speed &&
         (back.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS)) == CS8 &&
         (back.c_iflag & (IXON | IXOFF)) == 0 && (back.c_lflag & (ICANON | ECHO | ISIG)) == 0 &&
         (back.c_oflag & OPOST) == 0;
}

}  // namespace korvel
