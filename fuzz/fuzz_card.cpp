// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// libFuzzer target: arbitrary bytes and track settings through the card
// decoder's exported gate, decoded masked and revealed.
//
// Input layout:
//   [0] bit 0: use the reader's default record instead of bytes [3..10]
//   [1] [2] today: year [1] % 100, month [2] % 13 (month 0 with year 0 is
//       "no date"; month 0 otherwise is a date the gate must refuse)
//   [3..10] the track output settings record (unless bit 0 of [0])
//   then the bytes of the swipe.
//
// Checked on every input: the gate returns KORVEL_OK, or KORVEL_E_ARGUMENT
// exactly for a refused date; it writes the whole structure and nothing
// around it; every text is zero-terminated inside its array and zero after
// it; the masked result never holds a run of eight digits (not even one
// joined by single spaces, dashes or dots) in a text nor the account number
// in full anywhere in its bytes, and shows the account number by the display
// rule; masked and revealed results agree on everything else that is
// not a text; and the fields keep their documented shapes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "card.h"
#include "guarded_area.h"
#include "korvel.h"
#include "korvel_card.h"

namespace {

using korvel::fake::GuardedArea;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

template <size_t N>
std::string_view Text(const char (&text)[N]) {
  const size_t n = strnlen(text, N);
  Check(n < N, "a text is not terminated inside its array");
  for (size_t k = n; k < N; ++k) Check(text[k] == 0, "bytes after a text's end are not zero");
  return {text, n};
}

bool AllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Calls `fn` with every text of the structure (checking its termination).
template <typename Fn>
void ForEachText(const Korvel_Card& c, Fn&& fn) {
  for (std::string_view s : {Text(c.account), Text(c.name), Text(c.surname), Text(c.given_name),
                             Text(c.expiration), Text(c.service_code), Text(c.format_code)})
    fn(s);
  for (const Korvel_CardTrack& t : c.track) {
    for (std::string_view s : {Text(t.reason), Text(t.text), Text(t.format_code), Text(t.account),
                               Text(t.name), Text(t.expiration), Text(t.service_code), Text(t.discretionary)})
      fn(s);
  }
  for (const Korvel_CardCheck& k : c.check) {
    fn(Text(k.name));
    fn(Text(k.reason));
  }
}

void CheckShapes(const Korvel_Card& c) {
  Check(c.check_count == KORVEL_CARD_CHECK_COUNT, "check count");
  for (int k = 0; k < KORVEL_CARD_CHECKS; ++k) {
    const Korvel_CardCheck& check = c.check[k];
    Check(check.result >= KORVEL_CHECK_NOT_APPLICABLE && check.result <= KORVEL_CHECK_FAILED, "check result");
    Check((check.name[0] != 0) == (k < KORVEL_CARD_CHECK_COUNT), "check names");
    Check(k >= KORVEL_CARD_CHECK_COUNT || check.reason[0] != 0, "a check without a reason");
  }
  for (const Korvel_CardTrack& t : c.track) {
    Check((t.status == KORVEL_TRACK_MALFORMED) == (t.problem != KORVEL_PROBLEM_NONE), "status and problem");
    if (t.status == KORVEL_TRACK_ABSENT) Check(t.length == 0 && t.text[0] == 0, "an absent track with data");
    if (t.account_layout == 0) Check(t.account[0] == 0 && t.expiration[0] == 0, "fields without a layout");
    Check(t.expiration[0] == 0 || Text(t.expiration).size() == 4, "expiration of four digits");
  }
  Check(c.account_track >= 0 && c.account_track <= 2, "account track");
  Check((c.account_track == 0) == (c.account[0] == 0), "account without its track");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool default_record = (data[0] & 1) != 0;
  const uint32_t year = data[1] % 100u;
  const uint32_t month = data[2] % 13u;
  const uint32_t today = year * 100 + month;
  const bool date_ok = today == 0 || month != 0;
  const uint8_t* record = reinterpret_cast<const uint8_t*>(KORVEL_TRACK_DEFAULT);
  size_t at = 3;
  if (!default_record) {
    if (size < at + 8) return 0;
    record = data + at;
    at += 8;
  }
  const uint8_t* bytes = data + at;
  const size_t count = size - at;

  GuardedArea masked_area(sizeof(Korvel_Card)), revealed_area(sizeof(Korvel_Card));
  auto* masked = reinterpret_cast<Korvel_Card*>(masked_area.data());
  auto* revealed = reinterpret_cast<Korvel_Card*>(revealed_area.data());
  const int s1 = Korvel_DecodeCard(bytes, count, record, today, 0, masked);
  const int s2 = Korvel_DecodeCard(bytes, count, record, today, KORVEL_CARD_REVEAL, revealed);
  Check(masked_area.GuardsIntact() && revealed_area.GuardsIntact(), "wrote outside the caller's structure");
  if (!date_ok) {
    Check(s1 == KORVEL_E_ARGUMENT && s2 == KORVEL_E_ARGUMENT, "a date without a month was accepted");
    Check(masked_area.Untouched() && revealed_area.Untouched(), "structure written on a refusal");
    return 0;
  }
  Check(s1 == KORVEL_OK && s2 == KORVEL_OK, "a valid call failed");
  Check(masked->revealed == 0 && revealed->revealed == 1, "revealed flag");
  CheckShapes(*masked);
  CheckShapes(*revealed);

  // Masked: no run of eight digits in any text, a run being digits in a row
  // or groups of them joined by one space, dash or dot.
  ForEachText(*masked, [](std::string_view s) {
    const auto digit = [s](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    size_t run = 0;
    for (size_t k = 0; k < s.size(); ++k) {
      if (digit(k)) {
        Check(++run < korvel::card::kMaskedRun, "a run of eight digits in a masked result");
      } else if (std::string_view(" -.").find(s[k]) == std::string_view::npos || !digit(k - 1) ||
                 !digit(k + 1)) {
        run = 0;
      }
    }
  });
  ForEachText(*revealed, [](std::string_view) {});

  // The account number: its shape, and never in full in the masked bytes.
  const std::string_view account = Text(revealed->account);
  if (!account.empty()) {
    Check(AllDigits(account) && account.size() >= 8 && account.size() <= 19, "account number shape");
    std::string rule(account);
    korvel::card::MaskNumber(rule.data(), rule.size());
    Check(Text(masked->account) == rule, "masked account differs from the display rule");
    const std::string_view all(reinterpret_cast<const char*>(masked_area.data()), masked_area.size());
    Check(all.find(account) == std::string_view::npos, "the full account number in a masked result");
  }

  // Masking changes texts only.
  Check(masked->account_track == revealed->account_track && masked->stray_bytes == revealed->stray_bytes,
        "masked and revealed differ");
  for (int i = 0; i < 3; ++i) {
    const Korvel_CardTrack& m = masked->track[i];
    const Korvel_CardTrack& r = revealed->track[i];
    Check(m.status == r.status && m.problem == r.problem && m.length == r.length &&
              m.account_layout == r.account_layout,
          "masked and revealed tracks differ");
    Check(Text(m.text).size() == Text(r.text).size(), "masking changed a text's length");
  }
  for (int k = 0; k < KORVEL_CARD_CHECKS; ++k)
    Check(masked->check[k].result == revealed->check[k].result, "masked and revealed checks differ");
  return 0;
}
