/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/* Links against Korvel_dll through its import library, from C, and calls
 * every export once with arguments the library must refuse without touching
 * any port.  Also looks every export up by its undecorated name.  Exit status
 * 0 when every answer is the documented one. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "export_names.h"
#include "korvel.h"
#include "korvel_card.h"

static int failures = 0;

static void Expect(const char* what, long got, long want) {
  if (got != want) {
    printf("FAIL %s: got %ld, want %ld\n", what, got, want);
    ++failures;
  } else {
    printf("ok   %s = %ld\n", what, got);
  }
}

int main(void) {
  static const char* const kExports[] = {KORVEL_EXPORT_NAMES};
  unsigned char area[KORVEL_DATA_AREA];
  static const char swipe[] = ";4111111111111111=2912101?";
  static Korvel_Card card;
  char masked[20];
  const unsigned char record[KORVEL_TRACK_RECORD] = {'%', '?', ';', '?', '+', '?', '7', '1'};
  uint32_t count = 0;
  HMODULE library;
  size_t i;

  memset(area, 0xEE, sizeof area);
  Expect("open with a null name", Korvel_CommOpenWithBaud(NULL, 9600) == NULL, 1);
  Expect("open at an unsupported rate", Korvel_CommOpenWithBaud("COM1", 1234) == NULL, 1);
  Expect("reason of the last open", Korvel_GetOpenError(NULL), KORVEL_OPEN_BAUD);
  Expect("close a null handle", Korvel_CommClose(NULL), KORVEL_E_CLOSE);
  Expect("set mode", Korvel_ReadMode(NULL, KORVEL_MODE_COMMAND), KORVEL_E_HANDLE);
  Expect("query mode", Korvel_Search(NULL, area), KORVEL_E_HANDLE);
  Expect("identification", Korvel_Reset(NULL, area), KORVEL_E_HANDLE);
  Expect("card data", Korvel_ReadData(NULL, area), KORVEL_E_HANDLE);
  Expect("reader rate, bad rate", Korvel_SetCommBaud(NULL, 0), KORVEL_E_BAUD);
  Expect("reader rate", Korvel_SetCommBaud(NULL, 9600), KORVEL_E_HANDLE);
  Expect("track settings", Korvel_SetTrack(NULL, record), KORVEL_E_HANDLE);
  Expect("capture", Korvel_GetTrack(NULL, area), KORVEL_E_HANDLE);
  Expect("wait for a swipe", Korvel_WaitTrack(NULL, area, 0), KORVEL_E_HANDLE);
  Expect("wait for a whole swipe", Korvel_WaitSwipe(NULL, area, 0, record, KORVEL_TRACKS_2, &count),
         KORVEL_E_HANDLE);
  Expect("end a wait", Korvel_CancelWait(NULL), KORVEL_E_HANDLE);
  Expect("length of a whole swipe", (long)Korvel_SwipeComplete(NULL, 0, record, KORVEL_TRACKS_2), 0);
  Expect("message pump", Korvel_SetMessagePump(NULL, NULL, NULL), KORVEL_E_HANDLE);
  Expect("status text", strcmp(Korvel_StatusText(KORVEL_OK), "Success"), 0);
  Expect("status name", strcmp(Korvel_StatusName(KORVEL_E_HANDLE), "KORVEL_E_HANDLE"), 0);
  Expect("version", strcmp(Korvel_Version(), KORVEL_VERSION_STRING), 0);
  Expect("area untouched", area[0] == 0xEE && area[KORVEL_DATA_AREA - 1] == 0xEE, 1);
  Expect("decode a card",
         Korvel_DecodeCard((const unsigned char*)swipe, sizeof swipe - 1,
                           (const unsigned char*)KORVEL_TRACK_DEFAULT, 2506, 0, &card),
         KORVEL_OK);
  Expect("decoded account masked", strcmp(card.account, "411111******1111"), 0);
  Expect("decode without a structure",
         Korvel_DecodeCard((const unsigned char*)swipe, 1, (const unsigned char*)KORVEL_TRACK_DEFAULT, 0, 0,
                           NULL),
         KORVEL_E_ARGUMENT);
  Expect("mask an account", Korvel_MaskAccount("378282246310005", masked, sizeof masked), KORVEL_OK);
  Expect("masked account", strcmp(masked, "378282*****0005"), 0);

  library = GetModuleHandleA("Korvel_dll.dll");
  Expect("Korvel_dll.dll loaded", library != NULL, 1);
  for (i = 0; library != NULL && i < sizeof kExports / sizeof kExports[0]; ++i)
    Expect(kExports[i], GetProcAddress(library, kExports[i]) != NULL, 1);

  printf("%s\n", failures == 0 ? "all exports answered as documented" : "FAILED");
  return failures == 0 ? 0 : 1;
}
