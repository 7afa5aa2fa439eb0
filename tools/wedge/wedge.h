/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// The keyboard wedge's core: a template ("{track2}{enter}") read into parts,
// and a swipe turned into the keys to type, or into the reason it types
// nothing.  Pure: no display, no clock, no port; the card decoder
// (korvel_card.h) is its only dependency.
//
// Templates: literal text (UTF-8) with fields in braces.  Card fields:
// {account} {name} {surname} {given_name} {expiration} {service_code}
// {track1} {track2} {track3} (a track's characters between its sentinels);
// keys: {enter} {tab}; "{{" and "}}" stand for a brace.  Control characters
// are not literal text: {enter} and {tab} are the keys.
//
// Safe by default: on a payment card (its account number passes the check
// digit; also when a track laid out as account data, track 1 with format
// code 'B' or track 2 with '=', has an account field of 8 to 19 digits that
// passes it but some other field of the track is wrong) the fields that
// carry the account number or the discretionary data ({account}, {track1},
// {track2}, {track3}) are refused unless payment data is allowed.  Whatever
// is refused, nothing of the swipe is typed: a template is typed whole or not
// at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvel_card.h"

namespace korvel::wedge {

enum class Field {
  kAccount,
  kName,
  kSurname,
  kGivenName,
  kExpiration,
  kServiceCode,
  kTrack1,
  kTrack2,
  kTrack3
};

// The field's name in a template, without braces ("account", "track2").
const char* FieldName(Field field);

// True for the fields that carry a payment card's account number or
// discretionary data.
bool CarriesPaymentData(Field field);

// One part of a template.
struct Part {
  enum class Kind { kText, kField, kEnter, kTab };
  Kind kind = Kind::kText;
  std::u32string text;            // kText: its characters
  Field field = Field::kAccount;  // kField
  bool operator==(const Part&) const = default;
};

struct Template {
  std::vector<Part> parts;
};

// The delay between keys unless told otherwise: programs that read keys
// slowly drop some when they come faster.
inline constexpr int kDefaultKeyDelayMs = 5;
inline constexpr int kMaxKeyDelayMs = 1000;

// The default template: track 2, then Enter.
inline constexpr char kDefaultTemplate[] = "{track2}{enter}";

// Reads a template.  Empty with `error` set on a bad one; the error names the
// character where it went wrong, counted from 1 ("unknown field {acount} at
// character 3").
std::optional<Template> ParseTemplate(std::string_view text, std::string* error);

// One key to type: a character, or Enter or Tab.
struct Action {
  enum class Kind { kCharacter, kEnter, kTab };
  Kind kind = Kind::kCharacter;
  char32_t character = 0;  // kCharacter
  bool operator==(const Action&) const = default;
};

// What a swipe types.
struct Plan {
  std::vector<Action> actions;  // empty when refused
  std::string refused;          // why nothing is typed, in words (masked); empty when typed
  std::string masked;           // what is typed, masked as the decoder masks (for logs);
                                // Enter and Tab as {enter} and {tab}
  bool payment_card = false;    // the card is a payment card (see above)
};

// Turns a swipe into keys.  `revealed` and `masked` are the same swipe
// decoded with and without KORVEL_CARD_REVEAL.  The plan is refused when a
// field the template needs is missing or its track malformed, or when the
// template would type payment data of a payment card and
// `allow_payment_data` is false.
Plan Expand(const Template& templ, const Korvel_Card& revealed, const Korvel_Card& masked,
            bool allow_payment_data);

// The same from the reader's bytes: decodes them both ways with `record8`
// (eight bytes) and `today_yymm` (or KORVEL_CARD_NO_DATE), then Expand.
Plan ExpandSwipe(const Template& templ, const unsigned char* bytes, size_t count,
                 const unsigned char* record8, uint32_t today_yymm, bool allow_payment_data);

// UTF-8 of one character, and of a plan's keys (Enter as "\n", Tab as "\t").
std::string Utf8(char32_t character);
std::string ActionsText(const std::vector<Action>& actions);

}  // namespace korvel::wedge
