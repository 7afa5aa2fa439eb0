/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

/*
 * korvel_card.h - what a swiped card says: its tracks, its account fields,
 * checks of both, and the account number masked for display.
 *
 * This header is the manual of the card decoder.  It works on bytes a
 * program already has: the card data of Korvel_GetTrack() (active mode) or
 * Korvel_ReadData() (command mode), together with the eight-byte track output
 * settings record the reader was given with Korvel_SetTrack().  It needs no
 * handle, touches no port and keeps no state.  Usable from C and from C++.
 *
 * ---------------------------------------------------------------------------
 * What the reader sends, and how the decoder finds the tracks
 * ---------------------------------------------------------------------------
 * A swipe is, for each track the card holds, in the order 1, 2, 3: the
 * track's start sentinel, its characters, its end sentinel, then CR LF when
 * the record's Enter mark is '1'.  The sentinels are those of the record
 * ([0]/[1] track 1, [2]/[3] track 2, [4]/[5] track 3); they need not be the
 * usual ones, and one byte may end every track.
 *
 * The decoder walks the bytes once, expecting the tracks in that order:
 *   - A byte equal to the start sentinel of a track not yet found starts that
 *     track (the earliest such track when two tracks share the byte: a card
 *     with only track 3 reads as track 2 when both start with the same byte).
 *   - The track's characters run to its end sentinel.  A track missing its end
 *     sentinel ends at CR, LF or the end of the bytes and is malformed.
 *   - CR and LF between tracks are skipped whatever the Enter mark says, so
 *     the decoder needs neither the Enter mark nor the fixed '7' of the record.
 *   - Zero bytes at the end of the bytes are the padding of the caller's area
 *     and are ignored: the whole 300-byte area of Korvel_GetTrack() may be
 *     passed.  A zero byte anywhere else is an ordinary byte outside every
 *     character set, unless the record has a zero sentinel (below).
 *   - Any other byte belongs to no track and is counted in stray_bytes.
 * A sentinel byte of 0 in the record means "none".  A reader may then send
 * nothing or a zero byte in its place; both are understood:
 *   - start sentinel 0: a zero byte starts the track as a sentinel would.
 *     Without one the track is found by its place: where no start sentinel
 *     matches, the next byte that is not CR or LF starts the earliest track
 *     not yet found that has no start sentinel.
 *   - end sentinel 0: a zero byte ends the track; without one the track ends
 *     at CR, LF, the start sentinel of a later track, or the end of the
 *     bytes.  It is not malformed for either.
 *
 * Each track is then absent, present, or present but malformed (no end
 * sentinel, nothing between the sentinels, characters outside its set, too
 * long; Korvel_CardTrack.problem says which, .reason says it in words).
 *
 * ---------------------------------------------------------------------------
 * Account fields
 * ---------------------------------------------------------------------------
 * Track 1 with format code 'B':
 *   B  account number (8 to 19 digits)  ^  name (2 to 26 characters)  ^
 *   expiration date (YYMM, or '^' when there is none)
 *   service code (3 digits, or '^' when there is none)  discretionary data
 * Track 2:
 *   account number (8 to 19 digits)  =  expiration date (YYMM, or '=')
 *   service code (3 digits, or '=')  discretionary data
 * Track 3 is kept as its characters and checked; no account fields are read
 * from it.  A track that is not laid out this way (another format code, no
 * field separator, a field of the wrong length) gives its characters and no
 * account fields: the decoder never guesses.  The card's own fields (account
 * number, expiration date, service code) are those of track 2 when it has the
 * account layout, else those of track 1; the name is always track 1's.
 *
 * ---------------------------------------------------------------------------
 * Masking
 * ---------------------------------------------------------------------------
 * Unless the caller passes KORVEL_CARD_REVEAL, no text of the result holds an
 * account number in full:
 *   - an account number shows at most its first six and last four digits and
 *     always hides at least five (or all of a number of five digits or fewer):
 *     15 to 19 digits show 6 + 4, 14 show 5 + 4, 13 show 4 + 4, ... 9 show
 *     0 + 4, 8 show 0 + 3; every hidden digit is '*';
 *   - discretionary data is all '*' (its length stays visible);
 *   - in every other text (track characters outside the account fields,
 *     names, tracks without the account layout, track 3) each run of eight
 *     or more digits is masked the same way, since it may be an account
 *     number.  A run is digits in a row, or groups of digits each joined to
 *     the next by one space, dash or dot: "4111 1111-1111.1111" is one run of
 *     sixteen digits and shows as "4111 11**-****.1111" (the joining
 *     characters stay).  A byte shown as '.' joins as a dot does; two joining
 *     characters in a row, or any other character ('^', '=', '/', ','), end
 *     the run;
 *   - a track 1 with format code 'B' or a track 2 holding '=' whose account
 *     fields were not read (the track is malformed, or a field is wrong)
 *     shows nothing after its expiration date: every character after it is
 *     '*'.  The date is taken
 *     where the account layout puts it: the four characters (or the lone
 *     separator) after the '^' that ends the name on track 1, after the first
 *     '=' on track 2.  A track 1 without that second '^' has no such place
 *     and is masked by its runs only.  So a track 1 of
 *         B4111 1111 1111 1111^DOE/JOHN^2912101123456
 *     shows as
 *         B4111 11** **** 1111^DOE/JOHN^2912*********
 *   - the reasons never hold card data beyond a single character, and write
 *     counts with commas between groups of three digits ("after 12,345,678
 *     characters").
 * So a masked result has no run of eight or more digits anywhere, not even
 * one joined by single spaces, dashes or dots.  The expiration date, the name
 * (its runs aside) and the service code of a track whose fields were read
 * stay readable.
 * With KORVEL_CARD_REVEAL every text is as on the card.
 *
 * ---------------------------------------------------------------------------
 * Checks
 * ---------------------------------------------------------------------------
 * Every decode fills the same KORVEL_CARD_CHECK_COUNT checks (the index is
 * the check's KORVEL_CHECK_* number), each passed, failed or not applicable
 * with a short stable name (for programs, JSON keys) and one line of English
 * saying why (for people; it never holds account digits).  Programs can show
 * every check without knowing any rule.
 *
 * Threads: any thread, any number at once; the decoder has no state.  No
 * function throws across this interface, and nothing is printed.
 */
#ifndef KORVEL_CARD_H
#define KORVEL_CARD_H

#include <stddef.h>
#include <stdint.h>

#include "korvel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The reader's default track output settings record, to pass as record8 when
 * the reader was never given another one:
 * (const unsigned char*)KORVEL_TRACK_DEFAULT ("%?;?+?71", eight bytes). */
#define KORVEL_TRACK_DEFAULT "%?;?+?71"

/* Flags of Korvel_DecodeCard(). */
#define KORVEL_CARD_REVEAL 0x1u /* texts as on the card, nothing masked */

/* today_yymm of Korvel_DecodeCard() when no date is given: the expiry check
 * is then not applicable. */
#define KORVEL_CARD_NO_DATE 0u

/* Korvel_CardTrack.status */
#define KORVEL_TRACK_ABSENT 0    /* not in the data (everything else empty, zero) */
#define KORVEL_TRACK_OK 1        /* found and well formed */
#define KORVEL_TRACK_MALFORMED 2 /* found, but see .problem */

/* Korvel_CardTrack.problem: the first that applies, in this order. */
#define KORVEL_PROBLEM_NONE 0
#define KORVEL_PROBLEM_NO_END_SENTINEL 1 /* the end sentinel is missing */
#define KORVEL_PROBLEM_EMPTY 2           /* nothing between the sentinels */
#define KORVEL_PROBLEM_CHARACTERS 3      /* a character outside the track's set */
#define KORVEL_PROBLEM_TOO_LONG 4        /* more characters than the track holds */

/* Korvel_CardCheck.result */
#define KORVEL_CHECK_NOT_APPLICABLE 0
#define KORVEL_CHECK_PASSED 1
#define KORVEL_CHECK_FAILED 2

/* The checks, by their index in Korvel_Card.check (name in quotes).
 *
 * Per track (not applicable when the track is absent):
 *   FRAMING     "trackN_framing": the track has its end sentinel (when one is
 *               configured) and at least one character.
 *   CHARACTERS  "trackN_characters": every character is in the track's set.
 *               Track 1: the six-bit alphanumeric set, 0x20 (space) to 0x5F
 *               ('_').  Tracks 2 and 3: the digits and the field separator
 *               '='.
 *   LENGTH      "trackN_length": at most 76, 37 and 104 characters between the
 *               sentinels for tracks 1, 2 and 3 (records of at most 79, 40 and
 *               107 characters counting both sentinels and the check
 *               character, which the reader does not pass on).
 *   LAYOUT      "trackN_layout", tracks 1 and 2: passed when the account
 *               fields were found; failed when the track sets out to be
 *               account data (track 1 starts with format code 'B', track 2
 *               holds '=') but a field is wrong; not applicable for other
 *               data and for malformed tracks.
 * For the card (not applicable without an account number, or without an
 * expiration date for the date checks):
 *   "account_check_digit"  the account number's last digit is its Luhn check
 *                          digit;
 *   "expiration_month"     the expiration month is 01 to 12;
 *   "not_expired"          the card is valid on today_yymm: through the end of
 *                          its expiration month (two-digit years are read
 *                          as the nearest: within 49 years after today's year
 *                          is ahead, 50 or more is past); not applicable
 *                          without a date or with an invalid month;
 *   "tracks_agree"         tracks 1 and 2 carry the same account number and
 *                          expiration date (applicable when both have the
 *                          account layout);
 *   "no_stray_bytes"       every byte belongs to a track or is CR/LF
 *                          (always applicable). */
#define KORVEL_CHECK_TRACK1_FRAMING 0
#define KORVEL_CHECK_TRACK1_CHARACTERS 1
#define KORVEL_CHECK_TRACK1_LENGTH 2
#define KORVEL_CHECK_TRACK1_LAYOUT 3
#define KORVEL_CHECK_TRACK2_FRAMING 4
#define KORVEL_CHECK_TRACK2_CHARACTERS 5
#define KORVEL_CHECK_TRACK2_LENGTH 6
#define KORVEL_CHECK_TRACK2_LAYOUT 7
#define KORVEL_CHECK_TRACK3_FRAMING 8
#define KORVEL_CHECK_TRACK3_CHARACTERS 9
#define KORVEL_CHECK_TRACK3_LENGTH 10
#define KORVEL_CHECK_ACCOUNT_CHECK_DIGIT 11
#define KORVEL_CHECK_EXPIRATION_MONTH 12
#define KORVEL_CHECK_NOT_EXPIRED 13
#define KORVEL_CHECK_TRACKS_AGREE 14
#define KORVEL_CHECK_NO_STRAY_BYTES 15
#define KORVEL_CARD_CHECK_COUNT 16 /* checks filled by this version */
/* Room in Korvel_Card.check: later versions add checks at the end and never
 * renumber them. */
#define KORVEL_CARD_CHECKS 24

/* Sizes of the text arrays, terminating zero included.  Every text is
 * zero-terminated inside its array and zero-filled after it; every size is a
 * multiple of four, so the structures have no padding and the same layout
 * with every compiler (sizeof(Korvel_Card) is 4888 bytes). */
#define KORVEL_CARD_TEXT 304   /* a track's characters: up to 303 */
#define KORVEL_CARD_REASON 96  /* one line of English: up to 95 */
#define KORVEL_CARD_ACCOUNT 20 /* up to 19 digits */
#define KORVEL_CARD_NAME 28    /* up to 26 characters */
#define KORVEL_CARD_DISCRETIONARY 80
#define KORVEL_CARD_CHECK_NAME 28

typedef struct Korvel_CardCheck {
  int result;                        /* KORVEL_CHECK_PASSED / _FAILED / _NOT_APPLICABLE */
  char name[KORVEL_CARD_CHECK_NAME]; /* e.g. "account_check_digit" */
  char reason[KORVEL_CARD_REASON];   /* e.g. "the last digit is not the account
                                        number's check digit" */
} Korvel_CardCheck;

typedef struct Korvel_CardTrack {
  int status;         /* KORVEL_TRACK_* */
  int problem;        /* KORVEL_PROBLEM_*, NONE unless MALFORMED */
  int account_layout; /* 1 when the account fields below were read from the
                         track, else 0 (and they are empty) */
  int length;         /* characters between the sentinels, as received
                         (text holds the first 303 of them) */
  /* What the track is, in words: why it is malformed, or what its layout
   * says ("account data, format code B", "no field separator '=': no
   * account fields read"); empty when absent. */
  char reason[KORVEL_CARD_REASON];
  /* The characters between the sentinels, masked (see "Masking").  Bytes
   * outside printable ASCII (0x20 to 0x7E) are shown as '.'. */
  char text[KORVEL_CARD_TEXT];
  char format_code[4];                           /* track 1: its first character when it is a
                                                    letter A to Z ("B"); else empty */
  char account[KORVEL_CARD_ACCOUNT];             /* masked unless revealed */
  char name[KORVEL_CARD_NAME];                   /* track 1, as on the card */
  char expiration[8];                            /* "YYMM", empty when the card has none */
  char service_code[4];                          /* three digits, empty when none */
  char discretionary[KORVEL_CARD_DISCRETIONARY]; /* all '*' unless revealed */
} Korvel_CardTrack;

typedef struct Korvel_Card {
  int revealed;      /* 1 when KORVEL_CARD_REVEAL was given, else 0 */
  int account_track; /* 2 or 1: the track the card's fields come from;
                        0 when no track has the account layout */
  int stray_bytes;   /* bytes outside every track (CR, LF and trailing
                        zero bytes not counted) */
  int check_count;   /* KORVEL_CARD_CHECK_COUNT */
  /* The card's fields (see "Account fields"); empty when account_track is 0. */
  char account[KORVEL_CARD_ACCOUNT];          /* masked unless revealed */
  char name[KORVEL_CARD_NAME];                /* track 1's name, trailing spaces removed */
  char surname[KORVEL_CARD_NAME];             /* the name before its first '/', when it has one */
  char given_name[KORVEL_CARD_NAME];          /* the name after that '/' */
  char expiration[8];                         /* "YYMM" or empty */
  char service_code[4];                       /* three digits or empty */
  char format_code[4];                        /* track 1's format code, e.g. "B", or empty */
  Korvel_CardTrack track[3];                  /* track[0] is track 1 */
  Korvel_CardCheck check[KORVEL_CARD_CHECKS]; /* the first check_count are filled,
                                                 the rest are zero */
} Korvel_Card;

/* Decodes the data of one swipe.
 *
 * bytes, count: the bytes as the reader delivered them (count may be 0; any
 *   count is accepted, and trailing zero bytes are ignored).
 * record8: the eight-byte track output settings record the reader was given
 *   (see Korvel_SetTrack), or (const unsigned char*)KORVEL_TRACK_DEFAULT.
 * today_yymm: today's date as the number YYMM (2506 for June 2025), for the
 *   "not_expired" check; KORVEL_CARD_NO_DATE (0) when there is none.  Taking
 *   the date from the caller keeps the decoder free of clocks.
 * flags: 0, or KORVEL_CARD_REVEAL to show every text in full.  Reveal only
 *   when the user explicitly asked to see the card's data.
 * card: the caller's structure.
 *
 * Returns KORVEL_OK after zeroing *card and filling it: every track, the
 * card's fields and all KORVEL_CARD_CHECK_COUNT checks.  A card that is not a
 * payment card, data that is malformed or pure noise still decodes with
 * KORVEL_OK: the tracks and checks say what was found.  Returns
 * KORVEL_E_ARGUMENT, leaving *card untouched, when bytes, record8 or card is
 * null, flags holds an unknown bit, or today_yymm is neither 0 nor a YYMM
 * date (month 01 to 12, at most 9912); KORVEL_E_INTERNAL if the library
 * failed inside (never expected).  Reads exactly count bytes and eight bytes
 * of the record; writes sizeof(Korvel_Card) bytes; allocates nothing. */
KORVEL_API int KORVEL_CALL Korvel_DecodeCard(const unsigned char* bytes, size_t count,
                                             const unsigned char* record8, uint32_t today_yymm,
                                             uint32_t flags, Korvel_Card* card);

/* Masks an account number for display as the decoder does (see "Masking"),
 * for numbers a program has from elsewhere (typed in, from a receipt).
 *
 * digits: zero-terminated; masked: the caller's area of masked_size bytes.
 * Returns KORVEL_OK after writing the masked number, zero-terminated (the
 * same length as digits; every digit that is hidden becomes '*', any
 * character that is not a digit is copied and does not count).  Returns
 * KORVEL_E_ARGUMENT, leaving the area untouched, when a pointer is null or
 * the area is shorter than digits plus its terminating zero. */
KORVEL_API int KORVEL_CALL Korvel_MaskAccount(const char* digits, char* masked, size_t masked_size);

#ifdef __cplusplus
}
#endif

#endif /* KORVEL_CARD_H */
