// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The card decoder: finds the tracks, reads the account fields, runs the
// checks and masks what the caller may not see.  Works on fixed arrays only.
#include "card.h"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace korvel::card {
namespace {

bool IsDigit(uint8_t c) {
  return c >= '0' && c <= '9';
}
bool IsBreak(uint8_t c) {
  return c == '\r' || c == '\n';
}
// How a byte is shown in a track's text: printable ASCII as itself, the rest as '.'.
char Shown(uint8_t c) {
  return c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '.';
}
// Whether a byte, as shown, joins the digits on either side into one run
// (see "Masking" in korvel_card.h): a space, a dash or a dot.
bool Joins(uint8_t c) {
  const char shown = Shown(c);
  return shown == ' ' || shown == '-' || shown == '.';
}
bool AllDigits(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return IsDigit(static_cast<uint8_t>(c)); });
}

// Copies `s` into a text array, cut to fit and zero-terminated (the rest of
// the array is already zero).
template <size_t N>
void Put(char (&to)[N], std::string_view s) {
  const size_t n = std::min(s.size(), N - 1);
  if (n > 0) std::memcpy(to, s.data(), n);  // an empty view may have no data
  to[n] = '\0';
}

// Formats a reason into `area`, cut to its size (a reason's texts fit; the
// cut only guards the area).
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void SayInto(char* area, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(area, size, format, args);
  va_end(args);
}

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Say(Korvel_CardCheck& check, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(check.reason, sizeof check.reason, format, args);
  va_end(args);
}

void Set(Korvel_CardCheck& check, int result, const char* reason) {
  check.result = result;
  Put(check.reason, reason);
}

int Clamp(size_t n) {
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// A count for a reason's "%s", its digits in groups of three joined by commas
// ("12,345,678"): no reason may show eight digits in a row, and a comma does
// not join digits into a run.  (Not "%zu", which not every C library of
// Windows has.)
struct Count {
  explicit Count(size_t n) {
    char digits[24];
    size_t d = 0;
    do {
      digits[d++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n > 0);
    size_t k = 0;
    while (d > 0) {
      text[k++] = digits[--d];
      if (d > 0 && d % 3 == 0) text[k++] = ',';
    }
    text[k] = '\0';
  }
  char text[32];  // 20 digits and 6 commas at most
};

const char* const kCheckNames[KORVEL_CARD_CHECK_COUNT] = {
    "track1_framing",   "track1_characters", "track1_length", "track1_layout",
    "track2_framing",   "track2_characters", "track2_length", "track2_layout",
    "track3_framing",   "track3_characters", "track3_length", "account_check_digit",
    "expiration_month", "not_expired",       "tracks_agree",  "no_stray_bytes",
};

// Index of the first check of track `i`; track 3 has no layout check.
constexpr int kFirstTrackCheck[kTracks] = {KORVEL_CHECK_TRACK1_FRAMING, KORVEL_CHECK_TRACK2_FRAMING,
                                           KORVEL_CHECK_TRACK3_FRAMING};

const char* SetName(size_t index) {
  return index == 0 ? "the six-bit alphanumeric set (0x20 to 0x5F)" : "the numeric set (digits and '=')";
}

// Reads "YYMM or the separator" and "three digits or the separator" from the
// front of `rest`; false when neither is there.
bool TakeField(std::string_view& rest, size_t digits, char separator, std::string_view& field) {
  if (!rest.empty() && rest.front() == separator) {
    field = {};
    rest.remove_prefix(1);
    return true;
  }
  if (rest.size() < digits || !AllDigits(rest.substr(0, digits))) return false;
  field = rest.substr(0, digits);
  rest.remove_prefix(digits);
  return true;
}

// The expiration date, service code and discretionary data that follow the
// account number's field separator, on either track; false with the reason
// set when a field is wrong.
bool ReadDateAndRest(std::string_view rest, char separator, LayoutResult& out) {
  if (!TakeField(rest, 4, separator, out.fields.expiration)) {
    SayInto(out.reason, sizeof out.reason, "the expiration date is not four digits or '%c'", separator);
    return false;
  }
  if (!TakeField(rest, 3, separator, out.fields.service_code)) {
    SayInto(out.reason, sizeof out.reason, "the service code is not three digits or '%c'", separator);
    return false;
  }
  out.fields.discretionary = rest;
  return true;
}

bool AccountNumberFits(std::string_view account, LayoutResult& out) {
  if (!AllDigits(account)) {
    Put(out.reason, "the account number holds a character that is not a digit");
    return false;
  }
  if (account.size() < kMinAccountDigits || account.size() > kMaxAccountDigits) {
    SayInto(out.reason, sizeof out.reason, "the account number has %s digits (%s to %s)",
            Count(account.size()).text, Count(kMinAccountDigits).text, Count(kMaxAccountDigits).text);
    return false;
  }
  return true;
}

uint32_t Number(std::string_view digits) {
  uint32_t n = 0;
  for (char c : digits) n = n * 10 + static_cast<uint32_t>(c - '0');
  return n;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}
std::string_view Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  return TrimRight(s);
}

// Copies a field into a text array, masked for display unless revealed.
enum class Show { kNumber, kDigitRuns, kHidden };
template <size_t N>
void PutField(char (&to)[N], std::string_view s, bool reveal, Show show) {
  Put(to, s);
  const size_t n = std::strlen(to);
  if (reveal) return;
  switch (show) {
    case Show::kNumber: MaskNumber(to, n); break;
    case Show::kDigitRuns: MaskDigitRuns(s, to, n); break;
    case Show::kHidden: std::memset(to, kHidden, n); break;
  }
}

// Offset of a view into `chars` (the view must point into it: not an empty
// view, which may point nowhere).
size_t At(std::string_view chars, std::string_view field) {
  return static_cast<size_t>(field.data() - chars.data());
}

// Track `i` (present): framing, characters, length; fills status, problem,
// length and text (unmasked).  Returns whether the track is well formed.
bool CheckTrack(size_t i, std::string_view chars, const TrackSpan& span, const uint8_t* record8,
                Korvel_CardTrack& track, Korvel_CardCheck* checks) {
  Korvel_CardCheck& framing = checks[0];
  Korvel_CardCheck& characters = checks[1];
  Korvel_CardCheck& length = checks[2];
  const uint8_t start = record8[2 * i];
  const uint8_t end = record8[2 * i + 1];

  int problem = KORVEL_PROBLEM_NONE;
  if (span.end_missing) {
    problem = KORVEL_PROBLEM_NO_END_SENTINEL;
    Say(framing, "no end sentinel (0x%02X) after %s characters", end, Count(chars.size()).text);
    framing.result = KORVEL_CHECK_FAILED;
  } else if (chars.empty()) {
    problem = KORVEL_PROBLEM_EMPTY;
    Set(framing, KORVEL_CHECK_FAILED, "nothing between the sentinels");
  } else {
    Say(framing, "%s, %s", start != 0 ? "start sentinel found" : "taken by its place (no start sentinel set)",
        end != 0 ? "end sentinel found" : "no end sentinel set");
    framing.result = KORVEL_CHECK_PASSED;
  }

  const auto bad = std::find_if(chars.begin(), chars.end(),
                                [i](char c) { return !InCharacterSet(i, static_cast<uint8_t>(c)); });
  if (chars.empty()) {
    Set(characters, KORVEL_CHECK_NOT_APPLICABLE, "no characters");
  } else if (bad != chars.end()) {
    if (problem == KORVEL_PROBLEM_NONE) problem = KORVEL_PROBLEM_CHARACTERS;
    Say(characters, "character %s is 0x%02X, outside %s",
        Count(static_cast<size_t>(bad - chars.begin()) + 1).text, static_cast<uint8_t>(*bad), SetName(i));
    characters.result = KORVEL_CHECK_FAILED;
  } else {
    Say(characters, "all %s characters are in %s", Count(chars.size()).text, SetName(i));
    characters.result = KORVEL_CHECK_PASSED;
  }

  const bool too_long = chars.size() > kMaxCharacters[i];
  if (too_long && problem == KORVEL_PROBLEM_NONE) problem = KORVEL_PROBLEM_TOO_LONG;
  Say(length, "%s characters between the sentinels (at most %s)", Count(chars.size()).text,
      Count(kMaxCharacters[i]).text);
  length.result = too_long ? KORVEL_CHECK_FAILED : KORVEL_CHECK_PASSED;

  track.status = problem == KORVEL_PROBLEM_NONE ? KORVEL_TRACK_OK : KORVEL_TRACK_MALFORMED;
  track.problem = problem;
  track.length = Clamp(chars.size());
  const size_t shown = std::min(chars.size(), sizeof track.text - 1);
  for (size_t k = 0; k < shown; ++k) track.text[k] = Shown(static_cast<uint8_t>(chars[k]));
  if (problem != KORVEL_PROBLEM_NONE) {
    for (int k = 0; k < 3; ++k) {
      if (checks[k].result == KORVEL_CHECK_FAILED) {
        Put(track.reason, checks[k].reason);
        break;
      }
    }
  }
  return problem == KORVEL_PROBLEM_NONE;
}

// Fills the account fields of a track with the account layout, and masks its
// text field by field.
void PutAccountFields(std::string_view chars, const AccountFields& f, bool reveal, Korvel_CardTrack& track) {
  PutField(track.account, f.account, reveal, Show::kNumber);
  PutField(track.name, f.name, reveal, Show::kDigitRuns);
  Put(track.expiration, f.expiration);
  Put(track.service_code, f.service_code);
  PutField(track.discretionary, f.discretionary, reveal, Show::kHidden);
  if (reveal) return;
  char* text = track.text;  // holds all of a well-formed track
  MaskNumber(text + At(chars, f.account), f.account.size());
  if (!f.name.empty()) MaskDigitRuns(f.name, text + At(chars, f.name), f.name.size());
  if (!f.discretionary.empty())
    std::memset(text + At(chars, f.discretionary), kHidden, f.discretionary.size());
}

void CheckCard(const LayoutResult (&layouts)[2], uint32_t today, Korvel_Card& card) {
  Korvel_CardCheck* checks = card.check;
  Korvel_CardCheck& luhn = checks[KORVEL_CHECK_ACCOUNT_CHECK_DIGIT];
  Korvel_CardCheck& month = checks[KORVEL_CHECK_EXPIRATION_MONTH];
  Korvel_CardCheck& expired = checks[KORVEL_CHECK_NOT_EXPIRED];
  Korvel_CardCheck& agree = checks[KORVEL_CHECK_TRACKS_AGREE];

  if (card.account_track == 0) {
    for (Korvel_CardCheck* c : {&luhn, &month, &expired})
      Set(*c, KORVEL_CHECK_NOT_APPLICABLE, "no account number: neither track 1 nor 2 has the account layout");
  } else {
    const AccountFields& f = layouts[card.account_track - 1].fields;
    if (LuhnValid(f.account)) {
      Set(luhn, KORVEL_CHECK_PASSED, "the last digit is the account number's check digit (Luhn)");
    } else {
      Set(luhn, KORVEL_CHECK_FAILED, "the last digit is not the account number's check digit (Luhn)");
    }
    if (f.expiration.empty()) {
      Set(month, KORVEL_CHECK_NOT_APPLICABLE, "the card carries no expiration date");
      Set(expired, KORVEL_CHECK_NOT_APPLICABLE, "the card carries no expiration date");
    } else {
      const uint32_t expiration = Number(f.expiration);
      const uint32_t mm = expiration % 100;
      const bool month_ok = mm >= 1 && mm <= 12;
      Say(month,
          month_ok ? "the expiration month %02u is 01 to 12" : "the expiration month %02u is not 01 to 12",
          mm);
      month.result = month_ok ? KORVEL_CHECK_PASSED : KORVEL_CHECK_FAILED;
      if (!month_ok) {
        Set(expired, KORVEL_CHECK_NOT_APPLICABLE, "the expiration month is not 01 to 12");
      } else if (today == KORVEL_CARD_NO_DATE) {
        Set(expired, KORVEL_CHECK_NOT_APPLICABLE, "no date given to compare with");
      } else {
        const bool valid = ValidOn(expiration, today);
        Say(expired,
            valid ? "valid through %02u/%02u (today %02u/%02u)"
                  : "expired at the end of %02u/%02u (today %02u/%02u)",
            mm, expiration / 100, today % 100, today / 100);
        expired.result = valid ? KORVEL_CHECK_PASSED : KORVEL_CHECK_FAILED;
      }
    }
  }

  if (layouts[0].layout != Layout::kAccount || layouts[1].layout != Layout::kAccount) {
    Set(agree, KORVEL_CHECK_NOT_APPLICABLE, "needs the account layout on both tracks 1 and 2");
  } else {
    const AccountFields& one = layouts[0].fields;
    const AccountFields& two = layouts[1].fields;
    const bool same_account = one.account == two.account;
    const bool same_date = one.expiration == two.expiration;
    agree.result = same_account && same_date ? KORVEL_CHECK_PASSED : KORVEL_CHECK_FAILED;
    Set(agree, agree.result,
        same_account ? (same_date ? "tracks 1 and 2 carry the same account number and expiration date"
                                  : "the expiration dates of tracks 1 and 2 differ")
                     : (same_date ? "the account numbers of tracks 1 and 2 differ"
                                  : "the account numbers and the expiration dates of tracks 1 and 2 differ"));
  }
}

}  // namespace

Framing FindTracks(const uint8_t* bytes, size_t count, const uint8_t* record8) {
  Framing framing;
  while (count > 0 && bytes[count - 1] == 0) --count;
  const auto start = [record8](size_t k) { return record8[2 * k]; };
  const auto end = [record8](size_t k) { return record8[2 * k + 1]; };

  size_t next = 0;  // the first track not yet found
  size_t p = 0;
  while (p < count) {
    const uint8_t c = bytes[p];
    size_t k = kTracks;
    size_t first = p + 1;
    // A zero start sentinel matches a zero byte: some readers send one.
    for (size_t t = next; t < kTracks; ++t) {
      if (c == start(t)) {
        k = t;
        break;
      }
    }
    if (k == kTracks) {
      if (IsBreak(c)) {
        ++p;
        continue;
      }
      for (size_t t = next; t < kTracks; ++t) {
        if (start(t) == 0) {
          k = t;
          first = p;
          break;
        }
      }
    }
    if (k == kTracks) {
      ++framing.stray;
      ++p;
      continue;
    }

    // A track without an end sentinel also ends where a later track starts.
    const auto starts_later = [&](uint8_t b) {
      for (size_t t = k + 1; t < kTracks; ++t)
        if (start(t) != 0 && b == start(t)) return true;
      return false;
    };
    size_t q = first;
    bool ended = false;
    while (q < count) {
      const uint8_t b = bytes[q];
      if (b == end(k)) {
        ended = true;
        break;
      }
      if (IsBreak(b) || (end(k) == 0 && starts_later(b))) break;
      ++q;
    }
    TrackSpan& span = framing.track[k];
    span.present = true;
    span.begin = first;
    span.length = q - first;
    span.end_missing = end(k) != 0 && !ended;
    p = ended ? q + 1 : q;
    next = k + 1;
  }
  return framing;
}

bool InCharacterSet(size_t index, uint8_t c) {
  if (index == 0) return c >= 0x20 && c <= 0x5F;
  return IsDigit(c) || c == '=';
}

bool LuhnValid(std::string_view digits) {
  if (digits.empty() || !AllDigits(digits)) return false;
  unsigned sum = 0;
  bool twice = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    unsigned d = static_cast<unsigned>(*it - '0');
    if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

Visible VisibleDigits(size_t digits) {
  if (digits <= kHideAtLeast) return {0, 0};
  const size_t shown = digits - kHideAtLeast;
  const size_t last = std::min(kShowLast, shown);
  return {std::min(kShowFirst, shown - last), last};
}

namespace {

// Hides, in text[0, text_length), the digits VisibleDigits hides of the
// number whose characters are `raw` (its digits counted, other characters
// left alone); text holds raw's characters position for position, or a prefix
// of them.  text may be raw itself: each position is read before it is written.
void HideDigits(std::string_view raw, char* text, size_t text_length) {
  size_t digits = 0;
  for (char c : raw) digits += IsDigit(static_cast<uint8_t>(c)) ? 1 : 0;
  const Visible v = VisibleDigits(digits);
  size_t d = 0;
  for (size_t k = 0; k < raw.size() && k < text_length; ++k) {
    if (!IsDigit(static_cast<uint8_t>(raw[k]))) continue;
    if (d >= v.first && d < digits - v.last) text[k] = kHidden;
    ++d;
  }
}

}  // namespace

void MaskNumber(char* text, size_t n) {
  HideDigits({text, n}, text, n);
}

void MaskDigitRuns(std::string_view raw, char* text, size_t text_length) {
  const auto digit = [raw](size_t k) { return k < raw.size() && IsDigit(static_cast<uint8_t>(raw[k])); };
  size_t k = 0;
  while (k < raw.size() && k < text_length) {
    if (!digit(k)) {
      ++k;
      continue;
    }
    // The run: digits, and single joining characters with a digit on each side.
    size_t run_end = k + 1;
    size_t digits = 1;
    for (;;) {
      if (digit(run_end)) {
        ++run_end;
      } else if (run_end < raw.size() && Joins(static_cast<uint8_t>(raw[run_end])) && digit(run_end + 1)) {
        run_end += 2;
      } else {
        break;
      }
      ++digits;
    }
    if (digits >= kMaskedRun) HideDigits(raw.substr(k, run_end - k), text + k, text_length - k);
    k = run_end;
  }
}

size_t AfterExpiration(size_t index, std::string_view chars) {
  constexpr size_t kNone = std::string_view::npos;
  char separator = '=';
  size_t date = chars.find('=');  // track 2: after the first '='
  if (index == 0) {
    separator = '^';
    const size_t account_end = chars.empty() || chars.front() != 'B' ? kNone : chars.find('^');
    date = account_end == kNone ? kNone : chars.find('^', account_end + 1);
  } else if (index != 1) {
    return kNone;
  }
  if (date == kNone) return kNone;
  ++date;
  const size_t length = date < chars.size() && chars[date] == separator ? 1 : 4;
  return std::min(date + length, chars.size());
}

LayoutResult ReadTrack1(std::string_view chars) {
  LayoutResult out;
  if (chars.empty() || chars.front() != 'B') {
    SayInto(out.reason, sizeof out.reason, "format code '%c' is not B: no account fields read",
            chars.empty() ? ' ' : chars.front());
    return out;
  }
  out.layout = Layout::kBroken;
  std::string_view rest = chars.substr(1);
  const size_t first_separator = rest.find('^');
  if (first_separator == std::string_view::npos) {
    Put(out.reason, "format code B, but no field separator '^' after the account number");
    return out;
  }
  const std::string_view account = rest.substr(0, first_separator);
  if (!AccountNumberFits(account, out)) return out;
  rest.remove_prefix(first_separator + 1);
  const size_t second_separator = rest.find('^');
  if (second_separator == std::string_view::npos) {
    Put(out.reason, "format code B, but no field separator '^' after the name");
    return out;
  }
  const std::string_view name = rest.substr(0, second_separator);
  if (name.size() < kMinNameCharacters || name.size() > kMaxNameCharacters) {
    SayInto(out.reason, sizeof out.reason, "the name has %s characters (%s to %s)", Count(name.size()).text,
            Count(kMinNameCharacters).text, Count(kMaxNameCharacters).text);
    return out;
  }
  rest.remove_prefix(second_separator + 1);
  if (!ReadDateAndRest(rest, '^', out)) return out;
  out.fields.account = account;
  out.fields.name = name;
  out.layout = Layout::kAccount;
  Put(out.reason, "account data, format code B");
  return out;
}

LayoutResult ReadTrack2(std::string_view chars) {
  LayoutResult out;
  const size_t separator = chars.find('=');
  if (separator == std::string_view::npos) {
    Put(out.reason, "no field separator '=': no account fields read");
    return out;
  }
  out.layout = Layout::kBroken;
  const std::string_view account = chars.substr(0, separator);
  if (!AccountNumberFits(account, out)) return out;
  if (!ReadDateAndRest(chars.substr(separator + 1), '=', out)) return out;
  out.fields.account = account;
  out.layout = Layout::kAccount;
  Put(out.reason, "account data");
  return out;
}

bool ValidDate(uint32_t yymm) {
  if (yymm == KORVEL_CARD_NO_DATE) return true;
  const uint32_t mm = yymm % 100;
  return yymm <= 9912 && mm >= 1 && mm <= 12;
}

bool ValidOn(uint32_t expiration, uint32_t today) {
  const uint32_t years_ahead = (expiration / 100 + 100 - today / 100) % 100;
  if (years_ahead == 0) return expiration % 100 >= today % 100;
  return years_ahead < 50;
}

void Decode(const uint8_t* bytes, size_t count, const uint8_t* record8, uint32_t today, bool reveal,
            Korvel_Card& card) {
  std::memset(&card, 0, sizeof card);
  card.revealed = reveal ? 1 : 0;
  card.check_count = KORVEL_CARD_CHECK_COUNT;
  for (int k = 0; k < KORVEL_CARD_CHECK_COUNT; ++k) Put(card.check[k].name, kCheckNames[k]);

  const Framing framing = FindTracks(bytes, count, record8);
  LayoutResult layouts[2];
  for (size_t i = 0; i < kTracks; ++i) {
    const TrackSpan& span = framing.track[i];
    Korvel_CardTrack& track = card.track[i];
    Korvel_CardCheck* checks = card.check + kFirstTrackCheck[i];
    const int check_count = i < 2 ? 4 : 3;
    if (!span.present) {
      for (int k = 0; k < check_count; ++k) Say(checks[k], "track %s is not on the card", Count(i + 1).text);
      continue;
    }
    const std::string_view chars(reinterpret_cast<const char*>(bytes) + span.begin, span.length);
    const bool well_formed = CheckTrack(i, chars, span, record8, track, checks);
    if (i == 0 && !chars.empty() && chars.front() >= 'A' && chars.front() <= 'Z')
      Put(track.format_code, chars.substr(0, 1));

    if (i == 2) {
      if (well_formed) Put(track.reason, "data only: no account fields are read from track 3");
      if (!reveal) MaskDigitRuns(chars, track.text, std::strlen(track.text));
      continue;
    }
    Korvel_CardCheck& layout = checks[3];
    if (!well_formed) {
      Set(layout, KORVEL_CHECK_NOT_APPLICABLE, "the track is malformed");
    } else {
      layouts[i] = i == 0 ? ReadTrack1(chars) : ReadTrack2(chars);
      const LayoutResult& read = layouts[i];
      layout.result = read.layout == Layout::kAccount  ? KORVEL_CHECK_PASSED
                      : read.layout == Layout::kBroken ? KORVEL_CHECK_FAILED
                                                       : KORVEL_CHECK_NOT_APPLICABLE;
      Put(layout.reason, read.reason);
      Put(track.reason, read.reason);
      if (read.layout == Layout::kAccount) {
        track.account_layout = 1;
        PutAccountFields(chars, read.fields, reveal, track);
        continue;
      }
    }
    // No account fields read: the runs are masked and, on a track that sets
    // out to be account data, what follows the date may be discretionary data.
    if (reveal) continue;
    const size_t shown = std::strlen(track.text);
    MaskDigitRuns(chars, track.text, shown);
    const size_t after = AfterExpiration(i, chars);
    if (after < shown) std::memset(track.text + after, kHidden, shown - after);
  }

  // The card's fields: track 2's account data, else track 1's; the name is track 1's.
  card.account_track = layouts[1].layout == Layout::kAccount   ? 2
                       : layouts[0].layout == Layout::kAccount ? 1
                                                               : 0;
  if (card.account_track != 0) {
    const AccountFields& f = layouts[card.account_track - 1].fields;
    PutField(card.account, f.account, reveal, Show::kNumber);
    Put(card.expiration, f.expiration);
    Put(card.service_code, f.service_code);
  }
  Put(card.format_code, card.track[0].format_code);
  if (layouts[0].layout == Layout::kAccount) {
    const std::string_view name = TrimRight(layouts[0].fields.name);
    PutField(card.name, name, reveal, Show::kDigitRuns);
    const size_t slash = name.find('/');
    if (slash != std::string_view::npos) {
      PutField(card.surname, Trim(name.substr(0, slash)), reveal, Show::kDigitRuns);
      PutField(card.given_name, Trim(name.substr(slash + 1)), reveal, Show::kDigitRuns);
    }
  }

  CheckCard(layouts, today, card);
  Korvel_CardCheck& stray = card.check[KORVEL_CHECK_NO_STRAY_BYTES];
  if (framing.stray == 0) {
    Set(stray, KORVEL_CHECK_PASSED, "every byte belongs to a track");
  } else {
    Say(stray, "%s bytes belong to no track", Count(framing.stray).text);
    stray.result = KORVEL_CHECK_FAILED;
  }
  card.stray_bytes = Clamp(framing.stray);
}

}  // namespace korvel::card
