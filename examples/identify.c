/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* Prints the identification text of the reader on a port.
 *   korvel-identify [PORT [BAUD]]     default /dev/ttyUSB0 at 9600 baud */
#include <korvel.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "/dev/ttyUSB0";
  uint32_t baud = argc > 2 ? (uint32_t)strtoul(argv[2], NULL, 10) : 9600;
  unsigned char text[KORVEL_VERSION_AREA]; /* Korvel_Reset writes 30 bytes */
  Korvel_OpenError error;
  int status;

  void* handle = Korvel_CommOpenWithBaud(port, baud); /* null on failure */
  if (handle == NULL) {
    Korvel_GetOpenError(&error);
    fprintf(stderr, "cannot open the reader: %s\n", error.text);
    return 1;
  }
  status = Korvel_Reset(handle, text);
  if (status == KORVEL_OK)
    printf("%s\n", (const char*)text);
  else
    fprintf(stderr, "%s: %s\n", port, Korvel_StatusText(status));
  Korvel_CommClose(handle);
  return status == KORVEL_OK ? 0 : 1;
}
