/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* Waits for cards swiped through the reader on a port and prints each one,
 * its account number masked, as it comes.
 *   korvel-watch [PORT [COUNT]]     default /dev/ttyUSB0; stops after COUNT
 *                                   swipes (default: never; Ctrl+C ends) */
#include <korvel.h>
#include <korvel_card.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  const char* port = argc > 1 ? argv[1] : "/dev/ttyUSB0";
  long count = argc > 2 ? strtol(argv[2], NULL, 10) : -1;
  unsigned char data[KORVEL_DATA_AREA];
  static Korvel_Card card; /* about 5 KB: not on the stack */
  Korvel_OpenError error;
  int status;

  void* handle = Korvel_CommOpenWithBaud(port, 9600);
  if (handle == NULL) {
    Korvel_GetOpenError(&error);
    fprintf(stderr, "cannot open the reader: %s\n", error.text);
    return 1;
  }
  /* In active mode the reader sends every swipe by itself. */
  status = Korvel_ReadMode(handle, KORVEL_MODE_ACTIVE);
  if (status == KORVEL_OK) {
    printf("Waiting for swipes on %s\n", port);
    fflush(stdout);
  }
  while (status == KORVEL_OK && count != 0) {
    /* Asleep until a swipe comes; KORVEL_E_EMPTY after 10 s without one. */
    int swipe = Korvel_WaitTrack(handle, data, 10000);
    if (swipe == KORVEL_E_EMPTY) continue;
    if (swipe == KORVEL_E_OVERFLOW) {
      fputs("a swipe of more than 300 bytes was dropped\n", stderr);
      continue;
    }
    if (swipe != KORVEL_OK) {
      status = swipe;
      break;
    }
    /* Decoded with the reader's default track settings, masked. */
    Korvel_DecodeCard(data, sizeof data, (const unsigned char*)KORVEL_TRACK_DEFAULT, KORVEL_CARD_NO_DATE, 0,
                      &card);
    if (card.account_track != 0)
      printf("card %s, expires %s\n", card.account, card.expiration[0] ? card.expiration : "never");
    else
      printf("a swipe without an account number\n");
    fflush(stdout);
    if (count > 0) --count;
  }
  if (status != KORVEL_OK)
    fprintf(stderr, "%s: %s\n", port, Korvel_StatusText(status));
  else
    Korvel_ReadMode(handle, KORVEL_MODE_COMMAND);
  Korvel_CommClose(handle);
  return status == KORVEL_OK ? 0 : 1;
}
