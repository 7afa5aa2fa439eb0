/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Card data understood: the tracks of a swipe found by the configured
// sentinels, their account fields, the checks, and masking for display.
// Pure code: bytes in, fields out.  No I/O, no clock, no allocation, nothing
// thrown; korvel_card.h describes every rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "korvel_card.h"

namespace korvel::card {

inline constexpr size_t kTracks = 3;
// Characters between the sentinels: the records of 79, 40 and 107 characters
// count both sentinels and the check character, which the reader drops.
inline constexpr size_t kMaxCharacters[kTracks] = {76, 37, 104};
inline constexpr size_t kMinAccountDigits = 8;
inline constexpr size_t kMaxAccountDigits = 19;
inline constexpr size_t kMinNameCharacters = 2;
inline constexpr size_t kMaxNameCharacters = 26;
// Display rule: at most the first six and last four digits, at least five hidden.
inline constexpr size_t kShowFirst = 6;
inline constexpr size_t kShowLast = 4;
inline constexpr size_t kHideAtLeast = 5;
// In text outside the account fields, runs of this many digits or more are
// masked: the shortest account number has eight.
inline constexpr size_t kMaskedRun = kMinAccountDigits;
inline constexpr char kHidden = '*';

// Where one track lies in the bytes.
struct TrackSpan {
  bool present = false;
  size_t begin = 0;          // index of its first character
  size_t length = 0;         // characters, sentinels excluded
  bool end_missing = false;  // an end sentinel is configured and did not come
};

struct Framing {
  TrackSpan track[kTracks];
  size_t stray = 0;  // bytes outside every track, CR and LF not counted
};

// Finds the tracks by the record's sentinels: record8[2k] starts and
// record8[2k + 1] ends track k + 1, 0 meaning none (a zero byte in its place
// is taken as it).  Trailing zero bytes are padding and ignored.
Framing FindTracks(const uint8_t* bytes, size_t count, const uint8_t* record8);

// Whether `c` belongs to the character set of track `index` (0, 1, 2).
bool InCharacterSet(size_t index, uint8_t c);

// The Luhn check over all of `digits` (false when empty or not all digits).
bool LuhnValid(std::string_view digits);

// How many leading and trailing digits of a number of `digits` digits stay
// visible when it is masked.
struct Visible {
  size_t first;
  size_t last;
};
Visible VisibleDigits(size_t digits);

// Masks the number in text[0, n): its digits are counted (other characters
// are left alone and do not count) and those VisibleDigits hides become '*'.
void MaskNumber(char* text, size_t n);

// Masks, in text[0, text_length), every run of kMaskedRun or more digits of
// `raw` as MaskNumber would; a run is digits in a row or groups of them, each
// joined to the next by one space, dash or dot as shown (a byte shown as '.'
// joins).  text holds raw's characters position for position (or a prefix of
// them), so a run cut by the end of text is masked by its whole length.
void MaskDigitRuns(std::string_view raw, char* text, size_t text_length);

// Where what follows the expiration date begins in the characters of track
// `index` (0 or 1) read as account data whatever they hold: on track 1 with
// format code 'B', the four characters (or the lone '^') after the '^' that
// ends the name; on track 2, after the first '='.  npos when the track has no
// such place (track 3, another format code, a separator missing); at most
// chars.size().
size_t AfterExpiration(size_t index, std::string_view chars);

// What a track's characters say about an account.
enum class Layout {
  kNone,     // not account data (another format code, no field separator)
  kAccount,  // the account fields were read
  kBroken,   // sets out to be account data, but a field is wrong
};

struct AccountFields {
  std::string_view account;
  std::string_view name;        // track 1 only
  std::string_view expiration;  // empty when the card has none
  std::string_view service_code;
  std::string_view discretionary;
};

struct LayoutResult {
  Layout layout = Layout::kNone;
  AccountFields fields;  // views into the characters, for kAccount
  char reason[KORVEL_CARD_REASON] = {};
};

LayoutResult ReadTrack1(std::string_view chars);
LayoutResult ReadTrack2(std::string_view chars);

// KORVEL_CARD_NO_DATE (0), or YYMM with a month 01 to 12.
bool ValidDate(uint32_t yymm);

// Whether a card whose expiration is `expiration` (YYMM, month 01 to 12) is
// still valid on `today` (the same), two-digit years read as the nearest.
bool ValidOn(uint32_t expiration, uint32_t today);

// Zeroes and fills `card`.  `today` must pass ValidDate.
void Decode(const uint8_t* bytes, size_t count, const uint8_t* record8, uint32_t today, bool reveal,
            Korvel_Card& card);

}  // namespace korvel::card
