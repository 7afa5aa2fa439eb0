/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* Decodes the data of one swipe, read from standard input as the reader sent
 * it, and prints the card's fields and every check.  The account number is
 * masked unless --reveal is given.
 *   korvel-decode [--reveal] [YYMM] < swipe
 *   printf ';4111111111111111=29121011000000000000?\r\n' | korvel-decode 2506 */
#include <korvel_card.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  static unsigned char bytes[4096];
  static Korvel_Card card; /* about 5 KB: not on the stack */
  static const char* const results[] = {"n/a", "passed", "FAILED"};
  uint32_t flags = 0, today = KORVEL_CARD_NO_DATE;
  size_t count;
  int i, status;

  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--reveal") == 0)
      flags |= KORVEL_CARD_REVEAL; /* the user asked to see the card's data */
    else
      today = (uint32_t)strtoul(argv[i], NULL, 10); /* e.g. 2506 for June 2025 */
  }
  count = fread(bytes, 1, sizeof bytes, stdin);
  status = Korvel_DecodeCard(bytes, count, (const unsigned char*)KORVEL_TRACK_DEFAULT, today, flags, &card);
  if (status != KORVEL_OK) {
    fprintf(stderr, "cannot decode: %s\n", Korvel_StatusText(status));
    return 2;
  }
  if (card.account_track != 0) {
    printf("account      %s (track %d)\n", card.account, card.account_track);
    printf("name         %s\n", card.name);
    printf("expires      %s\n", card.expiration);
    printf("service code %s\n", card.service_code);
  } else {
    printf("no account number\n");
  }
  for (i = 0; i < 3; ++i) {
    if (card.track[i].status != KORVEL_TRACK_ABSENT)
      printf("track %d      %s (%s)\n", i + 1, card.track[i].text, card.track[i].reason);
  }
  for (i = 0; i < card.check_count; ++i) {
    const Korvel_CardCheck* check = &card.check[i];
    printf("%-7s %-22s %s\n", results[check->result], check->name, check->reason);
  }
  return 0;
}
