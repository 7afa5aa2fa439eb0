// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The wedge's core: templates read or refused with the place of the fault,
// and what each sample card types under the default rule and with payment
// data allowed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "korvel_card.h"
#include "korvel_sim.h"
#include "wedge.h"

namespace {

using korvel::wedge::Action;
using korvel::wedge::ActionsText;
using korvel::wedge::ExpandSwipe;
using korvel::wedge::Field;
using korvel::wedge::ParseTemplate;
using korvel::wedge::Part;
using korvel::wedge::Plan;
using korvel::wedge::Template;

// The account numbers of the sample cards: none may be in a log text.
const char* const kAccounts[] = {"4111111111111111", "5555555555554444", "378282246310005",
                                 "6011111111111117", "4111111111111112", "4012888888881881",
                                 "4000056655665556", "4242424242424242", "5105105105105100"};

Template Parse(const std::string& text) {
  std::string error;
  const std::optional<Template> templ = ParseTemplate(text, &error);
  EXPECT_TRUE(templ) << text << ": " << error;
  return templ.value_or(Template{});
}

// The bytes a reader sends for `card` with the default record.
std::string Swiped(const korvel::sim::Card& card) {
  std::string bytes;
  if (!card.track1.empty()) bytes += "%" + card.track1 + "?\r\n";
  if (!card.track2.empty()) bytes += ";" + card.track2 + "?\r\n";
  if (!card.track3.empty()) bytes += "+" + card.track3 + "?\r\n";
  return bytes;
}

Plan Expand(const std::string& templ, const std::string& key, bool allow) {
  const korvel::sim::Card* card = korvel::sim::FindSampleCard(key);
  EXPECT_NE(card, nullptr) << key;
  const std::string bytes = Swiped(*card);
  return ExpandSwipe(Parse(templ), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                     reinterpret_cast<const unsigned char*>(KORVEL_TRACK_DEFAULT), KORVEL_CARD_NO_DATE,
                     allow);
}

TEST(Template, PartsOfGoodTemplates) {
  auto text = [](const std::u32string& t) { return Part{Part::Kind::kText, t, Field::kAccount}; };
  auto field = [](Field f) { return Part{Part::Kind::kField, U"", f}; };
  const Part enter{Part::Kind::kEnter, U"", Field::kAccount}, tab{Part::Kind::kTab, U"", Field::kAccount};
  const struct {
    const char* text;
    std::vector<Part> parts;
  } cases[] = {
      {"{track2}{enter}", {field(Field::kTrack2), enter}},
      {"ID {account}{tab}{name}", {text(U"ID "), field(Field::kAccount), tab, field(Field::kName)}},
      {"{{{surname}}}", {text(U"{"), field(Field::kSurname), text(U"}")}},
      {"{given_name}/{expiration}/{service_code}",
       {field(Field::kGivenName), text(U"/"), field(Field::kExpiration), text(U"/"),
        field(Field::kServiceCode)}},
      {"€ß{track1}{track3}é😀", {text(U"€ß"), field(Field::kTrack1), field(Field::kTrack3), text(U"é😀")}},
      {"plain", {text(U"plain")}},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.text).parts, c.parts) << c.text;
}

TEST(Template, BadTemplatesNameThePlace) {
  const struct {
    std::string text;
    std::string error;  // the start of the message
  } cases[] = {
      {"", "the template is empty"},
      {"{track2}{acount}", "unknown field {acount} at character 9"},
      {"ab{TRACK2}", "unknown field {TRACK2} at character 3"},
      {"{}", "unknown field {} at character 1"},
      {"€{track2", "a '{' without its '}' at character 2"},
      {"{track{2}}", "a '{' without its '}' at character 1"},
      {"x}y", "a '}' without its '{' at character 2"},
      {"{track2}\n", "a control character at character 9"},
      {"a\tb", "a control character at character 2"},
      {"ok\xff", "the template is not valid UTF-8 at character 3"},
      {"\xc0\xaf", "the template is not valid UTF-8 at character 1"},      // overlong '/'
      {"\xed\xa0\x80", "the template is not valid UTF-8 at character 1"},  // a surrogate
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseTemplate(c.text, &error)) << c.text;
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.text;
  }
}

// Every sample card under the default template and a few others: typed
// exactly, or refused with the reason.  Payment cards are refused for the
// fields that carry their number, typed for the others, and typed whole
// with payment data allowed.
TEST(Expand, EverySampleCard) {
  const struct {
    const char* key;
    const char* templ;
    bool allow;
    const char* typed;    // what is typed; null when refused
    const char* refused;  // the start of the reason
  } cases[] = {
      {"visa", "{track2}{enter}", false, nullptr, "a payment card: {track2}"},
      {"visa", "{track2}{enter}", true, "4111111111111111=29121011000000000000\n", nullptr},
      {"visa", "{name}{tab}{expiration}", false, "TEST/VISA CARD\t2912", nullptr},
      {"visa", "{surname},{given_name};{service_code}", false, "TEST,VISA CARD;101", nullptr},
      {"visa", "{account}", false, nullptr, "a payment card: {account}"},
      {"visa", "{name}{track1}", false, nullptr, "a payment card: {track1}"},
      {"visa", "{track3}", true, nullptr, "{track3}: the card has no track 3"},
      {"mastercard", "{track3}", false, nullptr, "a payment card: {track3}"},
      {"mastercard", "{account}{enter}", true, "5555555555554444\n", nullptr},
      {"amex", "{track1}", true, "B378282246310005^TEST/AMEX^281170200000000000000", nullptr},
      {"discover", "{name}", false, nullptr, "{name}: the card has no name"},
      {"discover", "{expiration}", false, "2712", nullptr},
      {"discover", "{track1}", true, nullptr, "{track1}: the card has no track 1"},
      {"luhn-fail", "{track2}", false, "4111111111111112=29121011000000000000", nullptr},
      {"expired", "{track2}", false, nullptr, "a payment card: {track2}"},
      {"expired", "{expiration}", false, "1912", nullptr},
      {"mismatch", "{track1}", false, nullptr, "a payment card: {track1}"},
      {"member", "{track2}{enter}", false, "0000123450000099\n", nullptr},
      {"member", "M:{track1}{tab}", false, "M:A000012345^TEST/MEMBER^GOLD CLUB\t", nullptr},
      {"member", "{account}", true, nullptr, "{account}: the card has no account number"},
      {"member", "{name}", false, nullptr, "{name}: the card has no name"},
      {"bad-chars", "{track2}", true, nullptr, "{track2}: track 2 is malformed"},
      {"bad-chars", "{track1}", true, nullptr, "{track1}: track 1 is malformed"},
      {"bad-chars", "{{ok}}{enter}", false, "{ok}\n", nullptr},
  };
  for (const auto& c : cases) {
    const Plan plan = Expand(c.templ, c.key, c.allow);
    const std::string where = std::string(c.key) + " " + c.templ;
    if (c.typed != nullptr) {
      EXPECT_EQ(plan.refused, "") << where;
      EXPECT_EQ(ActionsText(plan.actions), c.typed) << where;
    } else {
      EXPECT_TRUE(plan.actions.empty()) << where;
      EXPECT_EQ(plan.refused.substr(0, std::string(c.refused).size()), c.refused) << where;
    }
  }
}

// Each well-formed payment card is one, the member card is not; the log
// texts (masked, reasons) never hold an account number, allowed or not.
TEST(Expand, PaymentCardsAndMaskedLogs) {
  for (const korvel::sim::Card& card : korvel::sim::SampleCards()) {
    for (const bool allow : {false, true}) {
      for (const char* templ : {"{track1}{track2}{track3}", "{account}{enter}", "{track2}", "{track1}"}) {
        const Plan plan = Expand(templ, card.key, allow);
        for (const char* account : kAccounts) {
          EXPECT_EQ(plan.masked.find(account), std::string::npos) << card.key << " " << templ;
          EXPECT_EQ(plan.refused.find(account), std::string::npos) << card.key << " " << templ;
        }
      }
    }
  }
  for (size_t i = 0; i < korvel::sim::kWellFormedSampleCards; ++i)
    EXPECT_TRUE(Expand("{expiration}", korvel::sim::SampleCards()[i].key, false).payment_card) << i;
  EXPECT_FALSE(Expand("{track2}", "member", false).payment_card);
  EXPECT_EQ(Expand("{track2}{enter}", "member", false).masked, "000012******0099{enter}");
}

// A track laid out as account data whose other fields are wrong still
// carries the number: the card counts as a payment card.
TEST(Expand, AccountNumberOfATrackWithAWrongField) {
  const std::string bytes = ";4111111111111111=29?\r\n";  // expiration date too short
  const Plan plan =
      ExpandSwipe(Parse("{track2}"), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                  reinterpret_cast<const unsigned char*>(KORVEL_TRACK_DEFAULT), KORVEL_CARD_NO_DATE, false);
  EXPECT_TRUE(plan.payment_card);
  EXPECT_TRUE(plan.actions.empty());
}

TEST(Expand, LiteralCharactersBeyondAscii) {
  const Plan plan = Expand("€ß😀{tab}", "member", false);
  ASSERT_EQ(plan.actions.size(), 4u);
  EXPECT_EQ(plan.actions[0], (Action{Action::Kind::kCharacter, U'€'}));
  EXPECT_EQ(plan.actions[2], (Action{Action::Kind::kCharacter, U'😀'}));
  EXPECT_EQ(plan.actions[3], (Action{Action::Kind::kTab, 0}));
}

}  // namespace
