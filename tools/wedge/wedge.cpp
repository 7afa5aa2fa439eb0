// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "wedge.h"

#include <array>
#include <cstring>

#include "card.h"

namespace korvel::wedge {

namespace {

struct FieldInfo {
  Field field;
  const char* name;
  bool payment;  // carries the account number or discretionary data
};

constexpr std::array<FieldInfo, 9> kFields = {{
    {Field::kAccount, "account", true},
    {Field::kName, "name", false},
    {Field::kSurname, "surname", false},
    {Field::kGivenName, "given_name", false},
    {Field::kExpiration, "expiration", false},
    {Field::kServiceCode, "service_code", false},
    {Field::kTrack1, "track1", true},
    {Field::kTrack2, "track2", true},
    {Field::kTrack3, "track3", true},
}};

// Decodes one UTF-8 character at text[*at]; false on a bad sequence.
bool NextCharacter(std::string_view text, size_t* at, char32_t* out) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*at);
  size_t length = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    length = 1;
    c = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07u;
  } else {
    return false;
  }
  if (*at + length > text.size()) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(*at + i) & 0xC0u) != 0x80u) return false;
    c = (c << 6) | (byte(*at + i) & 0x3Fu);
  }
  // Overlong forms, surrogates and code points above U+10FFFF.
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return false;
  *at += length;
  *out = c;
  return true;
}

std::string Position(size_t character) {
  return " at character " + std::to_string(character);
}

// The text of a field on a card, or empty.
std::string FieldText(Field field, const Korvel_Card& card) {
  switch (field) {
    case Field::kAccount: return card.account;
    case Field::kName: return card.name;
    case Field::kSurname: return card.surname;
    case Field::kGivenName: return card.given_name;
    case Field::kExpiration: return card.expiration;
    case Field::kServiceCode: return card.service_code;
    case Field::kTrack1: return card.track[0].text;
    case Field::kTrack2: return card.track[1].text;
    case Field::kTrack3: return card.track[2].text;
  }
  return {};
}

int TrackOf(Field field) {
  switch (field) {
    case Field::kTrack1: return 1;
    case Field::kTrack2: return 2;
    case Field::kTrack3: return 3;
    default: return 0;
  }
}

// Why `field` cannot be typed from `masked`, or empty when it can.
std::string Missing(Field field, const Korvel_Card& masked) {
  const std::string name = std::string("{") + FieldName(field) + "}";
  if (const int track = TrackOf(field); track != 0) {
    const Korvel_CardTrack& t = masked.track[track - 1];
    if (t.status == KORVEL_TRACK_ABSENT) return name + ": the card has no track " + std::to_string(track);
    if (t.status == KORVEL_TRACK_MALFORMED)
      return name + ": track " + std::to_string(track) + " is malformed (" + t.reason + ")";
    return {};
  }
  if (!FieldText(field, masked).empty()) return {};
  switch (field) {
    case Field::kAccount: return name + ": the card has no account number";
    case Field::kName: return name + ": the card has no name (track 1 with format code B)";
    case Field::kSurname:
    case Field::kGivenName:
      return name + (masked.name[0] == '\0' ? ": the card has no name (track 1 with format code B)"
                                            : ": the card's name has no '/' between surname and given name");
    case Field::kExpiration: return name + ": the card has no expiration date";
    case Field::kServiceCode: return name + ": the card has no service code";
    default: return name + ": missing";
  }
}

// The account field of a track laid out as account data whose other fields
// were not read: track 1 "B" digits "^", track 2 digits "=".
bool PaymentNumberIn(const Korvel_CardTrack& track, int number) {
  if (track.status == KORVEL_TRACK_ABSENT) return false;
  std::string_view text = track.text;
  if (number == 1) {
    if (text.empty() || text[0] != 'B') return false;
    text.remove_prefix(1);
  }
  const size_t end = text.find(number == 1 ? '^' : '=');
  if (end == std::string_view::npos || (number != 1 && number != 2)) return false;
  const std::string_view digits = text.substr(0, end);
  return digits.size() >= 8 && digits.size() <= 19 && card::LuhnValid(digits);
}

bool IsPaymentCard(const Korvel_Card& revealed) {
  if (revealed.check[KORVEL_CHECK_ACCOUNT_CHECK_DIGIT].result == KORVEL_CHECK_PASSED) return true;
  return PaymentNumberIn(revealed.track[0], 1) || PaymentNumberIn(revealed.track[1], 2);
}

}  // namespace

const char* FieldName(Field field) {
  for (const FieldInfo& info : kFields)
    if (info.field == field) return info.name;
  return "";
}

bool CarriesPaymentData(Field field) {
  for (const FieldInfo& info : kFields)
    if (info.field == field) return info.payment;
  return true;
}

std::optional<Template> ParseTemplate(std::string_view text, std::string* error) {
  Template result;
  auto fail = [&](const std::string& why) -> std::optional<Template> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  auto literal = [&](char32_t c) {
    if (result.parts.empty() || result.parts.back().kind != Part::Kind::kText) result.parts.push_back({});
    result.parts.back().text += c;
  };
  if (text.empty()) return fail("the template is empty");
  size_t at = 0, character = 0;
  while (at < text.size()) {
    ++character;
    const size_t start = at;
    char32_t c = 0;
    if (!NextCharacter(text, &at, &c)) return fail("the template is not valid UTF-8" + Position(character));
    if (c == '}') {
      if (at < text.size() && text[at] == '}') {
        ++at;
        ++character;
        literal('}');
        continue;
      }
      return fail("a '}' without its '{'" + Position(character) + " (write '}}' for a brace)");
    }
    if (c != '{') {
      if (c < 0x20 || (c >= 0x7F && c < 0xA0))
        return fail("a control character" + Position(character) + " (use {enter} or {tab} for keys)");
      literal(c);
      continue;
    }
    if (at < text.size() && text[at] == '{') {
      ++at;
      ++character;
      literal('{');
      continue;
    }
    const size_t close = text.find('}', at);
    const size_t open = text.find('{', at);
    if (close == std::string_view::npos || (open != std::string_view::npos && open < close))
      return fail("a '{' without its '}'" + Position(character) + " (write '{{' for a brace)");
    const std::string_view name = text.substr(at, close - at);
    Part part;
    if (name == "enter") {
      part.kind = Part::Kind::kEnter;
    } else if (name == "tab") {
      part.kind = Part::Kind::kTab;
    } else {
      const FieldInfo* found = nullptr;
      for (const FieldInfo& info : kFields)
        if (name == info.name) found = &info;
      if (found == nullptr) {
        std::string shown;
        for (const char n : name) shown += (n >= 0x20 && n < 0x7F) ? n : '?';
        return fail("unknown field {" + shown + "}" + Position(character) +
                    " (fields: account, name, surname, given_name, expiration, service_code, track1, "
                    "track2, track3; keys: enter, tab)");
      }
      part.kind = Part::Kind::kField;
      part.field = found->field;
    }
    result.parts.push_back(part);
    // Every character of the field counts, the braces too.
    size_t skip = close + 1;
    for (size_t i = start + 1; i < skip;) {
      char32_t ignored = 0;
      if (!NextCharacter(text, &i, &ignored))
        return fail("the template is not valid UTF-8" + Position(character));
      ++character;
    }
    at = skip;
  }
  return result;
}

Plan Expand(const Template& templ, const Korvel_Card& revealed, const Korvel_Card& masked,
            bool allow_payment_data) {
  Plan plan;
  plan.payment_card = IsPaymentCard(revealed);
  for (const Part& part : templ.parts) {
    if (part.kind != Part::Kind::kField) continue;
    if (std::string missing = Missing(part.field, masked); !missing.empty()) {
      plan.refused = missing;
      return plan;
    }
    if (plan.payment_card && CarriesPaymentData(part.field) && !allow_payment_data) {
      plan.refused = std::string("a payment card: {") + FieldName(part.field) +
                     "} would type its account number or discretionary data, and payment data is not allowed";
      return plan;
    }
  }
  for (const Part& part : templ.parts) {
    switch (part.kind) {
      case Part::Kind::kText:
        for (const char32_t c : part.text) {
          plan.actions.push_back({Action::Kind::kCharacter, c});
          plan.masked += Utf8(c);
        }
        break;
      case Part::Kind::kEnter:
        plan.actions.push_back({Action::Kind::kEnter, 0});
        plan.masked += "{enter}";
        break;
      case Part::Kind::kTab:
        plan.actions.push_back({Action::Kind::kTab, 0});
        plan.masked += "{tab}";
        break;
      case Part::Kind::kField:
        // The texts are ASCII: the decoder shows other bytes as '.'.
        for (const char c : FieldText(part.field, revealed))
          plan.actions.push_back({Action::Kind::kCharacter, static_cast<unsigned char>(c)});
        plan.masked += FieldText(part.field, masked);
        break;
    }
  }
  return plan;
}

Plan ExpandSwipe(const Template& templ, const unsigned char* bytes, size_t count,
                 const unsigned char* record8, uint32_t today_yymm, bool allow_payment_data) {
  Korvel_Card revealed{}, masked{};
  if (Korvel_DecodeCard(bytes, count, record8, today_yymm, KORVEL_CARD_REVEAL, &revealed) != KORVEL_OK ||
      Korvel_DecodeCard(bytes, count, record8, today_yymm, 0, &masked) != KORVEL_OK) {
    Plan plan;
    plan.refused = "the swipe could not be decoded";
    return plan;
  }
  return Expand(templ, revealed, masked, allow_payment_data);
}

std::string ActionsText(const std::vector<Action>& actions) {
  std::string text;
  for (const Action& action : actions) {
    switch (action.kind) {
      case Action::Kind::kCharacter: text += Utf8(action.character); break;
      case Action::Kind::kEnter: text += '\n'; break;
      case Action::Kind::kTab: text += '\t'; break;
    }
  }
  return text;
}

std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace korvel::wedge
