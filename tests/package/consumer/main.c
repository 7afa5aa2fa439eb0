/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* A program that uses the installed library the way any other program
 * would: through the installed header and the shared library. */
#include <korvel.h>
#include <korvel_card.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  const char* text = Korvel_StatusText(KORVEL_E_NO_REPLY);
  if (text == NULL || strlen(text) == 0) {
    fputs("no status text\n", stderr);
    return 1;
  }
  /* Neither of these is a serial port: both opens must fail. */
  if (Korvel_CommOpenWithBaud("/nonexistent/korvel-port", 9600) != NULL) {
    fputs("opened a missing port\n", stderr);
    return 2;
  }
  if (Korvel_CommOpenWithBaud("/dev/null", 9600) != NULL) {
    fputs("opened /dev/null\n", stderr);
    return 3;
  }
  if (Korvel_CommClose(NULL) != KORVEL_E_CLOSE) {
    fputs("closing a null handle did not fail\n", stderr);
    return 4;
  }
  {
    /* The card decoder from C: a test card, masked. */
    static const char swipe[] = ";4111111111111111=29121011000000000000?\r\n";
    static Korvel_Card card;
    if (Korvel_DecodeCard((const unsigned char*)swipe, sizeof swipe - 1,
                          (const unsigned char*)KORVEL_TRACK_DEFAULT, 2506, 0, &card) != KORVEL_OK ||
        strcmp(card.account, "411111******1111") != 0 ||
        card.check[KORVEL_CHECK_ACCOUNT_CHECK_DIGIT].result != KORVEL_CHECK_PASSED) {
      fputs("the card did not decode\n", stderr);
      return 5;
    }
  }
  /* The installed library is the release of the installed header. */
  if (strcmp(Korvel_Version(), KORVEL_VERSION_STRING) != 0) {
    fprintf(stderr, "library %s, header %s\n", Korvel_Version(), KORVEL_VERSION_STRING);
    return 6;
  }
  printf("consumer ok (%s): %s\n", Korvel_Version(), text);
  return 0;
}
