// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Table tests of the card decoder: the sample cards as the simulated reader
// sends them under several track settings, other schemes' test numbers,
// malformed and foreign data, the checks and the masking rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "card.h"
#include "korvel_card.h"
#include "korvel_sim.h"

namespace korvel::card {
namespace {

using namespace std::string_literals;

constexpr uint32_t kToday = 2506;  // June 2025

Korvel_Card DecodeText(const std::string& bytes, const std::string& record = KORVEL_TRACK_DEFAULT,
                       uint32_t today = kToday, bool reveal = true) {
  Korvel_Card card;
  Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
         reinterpret_cast<const uint8_t*>(record.data()), today, reveal, card);
  return card;
}

// Every text of a result, for the masking invariants.
std::vector<std::string> Texts(const Korvel_Card& c) {
  std::vector<std::string> texts = {c.account, c.name, c.surname, c.given_name};
  for (const Korvel_CardTrack& t : c.track) {
    for (const char* s : {t.reason, t.text, t.account, t.name, t.discretionary}) texts.emplace_back(s);
  }
  for (const Korvel_CardCheck& k : c.check) texts.emplace_back(k.reason);
  return texts;
}

// The most digits of one run in any text: digits in a row, or groups of
// digits each joined to the next by one space, dash or dot.
size_t LongestDigitRun(const Korvel_Card& c) {
  size_t longest = 0;
  for (const std::string& s : Texts(c)) {
    const auto digit = [&s](size_t k) { return k < s.size() && s[k] >= '0' && s[k] <= '9'; };
    size_t run = 0;
    for (size_t k = 0; k < s.size(); ++k) {
      if (digit(k)) {
        longest = std::max(longest, ++run);
      } else if (std::string_view(" -.").find(s[k]) == std::string_view::npos || !digit(k - 1) ||
                 !digit(k + 1)) {
        run = 0;
      }
    }
  }
  return longest;
}

std::string Describe(const Korvel_Card& c) {
  std::string s;
  for (int i = 0; i < c.check_count; ++i)
    s += std::string(c.check[i].name) + "=" + std::to_string(c.check[i].result) + " (" + c.check[i].reason +
         ")\n";
  return s;
}

TEST(Decode, SampleCardsAsTheReaderSendsThemUnderEverySetting) {
  // Zero sentinels: this reader sends a zero byte in their place.
  // clang-format off
  const std::string records[] = {
      KORVEL_TRACK_DEFAULT,
      "%?;?+?70",                         // no CR LF
      "!?#?&?71",                         // custom start sentinels, one end sentinel for all
      "%\0;\0+\0"s "71",                  // no end sentinels
      "%\0;\0+\0"s "70",                  // no end sentinels, no CR LF
      "\0?;?+?"s "71",                    // no start sentinel on track 1
      "\x02\x03\x1C\x03\x1D\x03"s "71",   // control bytes as sentinels
  };
  // clang-format on
  for (const std::string& record : records) {
    sim::ReaderModel reader;
    const std::vector<uint8_t> request = sim::BuildRequest('5', {record.begin(), record.end()});
    reader.Receive(request.data(), request.size(), 0, 0);
    ASSERT_EQ(std::memcmp(reader.state().track_settings.data(), record.data(), 8), 0);
    // The well-formed payment cards; the ones made to be wrong follow them.
    for (const sim::Card& sample : std::span(sim::SampleCards()).first(sim::kWellFormedSampleCards)) {
      const std::vector<uint8_t> swipe = reader.TrackBytes(sample);
      const std::string bytes(swipe.begin(), swipe.end());
      SCOPED_TRACE(sample.name + " with record " + std::to_string(&record - records));
      const Korvel_Card c = DecodeText(bytes, record);
      const std::string tracks[3] = {sample.track1, sample.track2, sample.track3};
      for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(c.track[i].status, tracks[i].empty() ? KORVEL_TRACK_ABSENT : KORVEL_TRACK_OK) << i;
        EXPECT_EQ(c.track[i].text, tracks[i]);
      }
      for (int i = 0; i < c.check_count; ++i)
        EXPECT_NE(c.check[i].result, KORVEL_CHECK_FAILED) << Describe(c);
      EXPECT_EQ(c.check[KORVEL_CHECK_ACCOUNT_CHECK_DIGIT].result, KORVEL_CHECK_PASSED);
      EXPECT_EQ(c.check[KORVEL_CHECK_NOT_EXPIRED].result, KORVEL_CHECK_PASSED);
      EXPECT_EQ(c.account_track, 2);
      EXPECT_EQ(c.account, sample.track2.substr(0, sample.track2.find('=')));
      EXPECT_EQ(c.stray_bytes, 0);

      // Masked, nothing shows eight digits in a row; the fields stay readable.
      const Korvel_Card m = DecodeText(bytes, record, kToday, false);
      EXPECT_LE(LongestDigitRun(m), 7u);
      EXPECT_EQ(std::string(m.expiration), c.expiration);
      EXPECT_EQ(std::string(m.name), c.name);
    }
  }
}

TEST(Decode, VisaSampleFieldsAndMaskedTexts) {
  const std::string swipe =
      "%B4111111111111111^TEST/VISA CARD^2912101100000000000000000?\r\n"
      ";4111111111111111=29121011000000000000?\r\n";
  const Korvel_Card c = DecodeText(swipe, KORVEL_TRACK_DEFAULT, kToday, false);
  EXPECT_EQ(c.revealed, 0);
  EXPECT_STREQ(c.account, "411111******1111");
  EXPECT_STREQ(c.name, "TEST/VISA CARD");
  EXPECT_STREQ(c.surname, "TEST");
  EXPECT_STREQ(c.given_name, "VISA CARD");
  EXPECT_STREQ(c.expiration, "2912");
  EXPECT_STREQ(c.service_code, "101");
  EXPECT_STREQ(c.format_code, "B");
  EXPECT_STREQ(c.track[0].text, "B411111******1111^TEST/VISA CARD^2912101******************");
  EXPECT_STREQ(c.track[1].text, "411111******1111=2912101*************");
  EXPECT_STREQ(c.track[0].discretionary, "******************");
  EXPECT_STREQ(c.track[0].reason, "account data, format code B");
  EXPECT_EQ(c.check[KORVEL_CHECK_TRACKS_AGREE].result, KORVEL_CHECK_PASSED);
  EXPECT_STREQ(c.check[KORVEL_CHECK_NOT_EXPIRED].reason, "valid through 12/29 (today 06/25)");

  const Korvel_Card r = DecodeText(swipe);
  EXPECT_EQ(r.revealed, 1);
  EXPECT_STREQ(r.track[1].discretionary, "1000000000000");
  EXPECT_STREQ(r.track[0].text, "B4111111111111111^TEST/VISA CARD^2912101100000000000000000");
}

struct Case {
  const char* what;
  std::string bytes;
  // Per track: '-' absent, 'O' well formed, else malformed with its problem:
  // 'E' no end sentinel, '0' empty, 'C' characters, 'L' too long.
  const char* tracks;
  const char* account;      // revealed; "" when no track has the account layout
  const char* checks;       // "name=P|F|N ...": results that must hold
  const char* reason = "";  // a part of the first failed check's reason
  std::string record = KORVEL_TRACK_DEFAULT;
  uint32_t today = kToday;
};

int Problem(char c) {
  switch (c) {
    case 'E': return KORVEL_PROBLEM_NO_END_SENTINEL;
    case '0': return KORVEL_PROBLEM_EMPTY;
    case 'C': return KORVEL_PROBLEM_CHARACTERS;
    case 'L': return KORVEL_PROBLEM_TOO_LONG;
    default: return KORVEL_PROBLEM_NONE;
  }
}

TEST(Decode, LayoutsMalformedDataAndChecks) {
  const std::string t1 = "%B4111111111111111^DOE/JANE^2912101123?";
  const std::string t2 = ";4111111111111111=2912101123?";
  const std::string long1 = "%B4111111111111111^DOE/JANE^2912101" + std::string(42, '0') + "?";  // 76
  const std::string long2 = ";4111111111111111=" + std::string(20, '0') + "?";                   // 37
  const std::string pan = "4111111111111111";
  // clang-format off
  const Case cases[] = {
    {"track 3 only", "+015555555555554444=7247240000?\r\n", "--O", "", "track3_characters=P account_check_digit=N"},
    {"track 2 only, Mastercard", ";5555555555554444=30052010000000000000?", "-O-", "5555555555554444", "account_check_digit=P tracks_agree=N"},
    {"Amex, 15 digits", ";378282246310005=2811702000000000000?", "-O-", "378282246310005", "account_check_digit=P"},
    {"Visa debit", ";4000056655665556=2712101?", "-O-", "4000056655665556", "account_check_digit=P"},
    {"Diners, 14 digits", ";30569309025904=2712101?", "-O-", "30569309025904", "account_check_digit=P"},
    {"JCB on track 1 only", "%B3530111333300000^DOE/J^2712201?", "O--", "3530111333300000", "track1_layout=P account_check_digit=P"},
    {"wrong check digit", ";4111111111111112=2912101?", "-O-", "4111111111111112", "account_check_digit=F", "not the account number's check digit"},
    {"track 1 without its end sentinel", "%B4111111111111111^DOE/JANE^2912101\r\n" + t2 + "\r\n", "EO-", pan.c_str(), "track1_framing=F track1_layout=N tracks_agree=N", "no end sentinel (0x3F) after 34 characters"},
    {"lower case on track 1", "%B4111111111111111^doe/jane^2912101?", "C--", "", "track1_characters=F", "character 19 is 0x64, outside the six-bit"},
    {"'_' (0x5F) is in track 1's set", "%B4111111111111111^O_HARA/JANE^2912101?", "O--", pan.c_str(), "track1_characters=P track1_layout=P"},
    {"'`' (0x60) is not", "%B4111111111111111^O`HARA/JANE^2912101?", "C--", "", "track1_characters=F", "character 20 is 0x60"},
    {"a letter on track 2", ";41111111111111A1=2912101?", "-C-", "", "track2_characters=F", "character 15 is 0x41"},
    {"a zero byte inside track 2", ";4111111111\0"s "11111=2912101?", "-C-", "", "track2_characters=F", "character 11 is 0x00"},
    {"track 2 of 37 characters", long2, "-O-", pan.c_str(), "track2_length=P"},
    {"track 2 of 38 characters", long2.substr(0, 38) + "0?", "-L-", "", "track2_length=F", "38 characters between the sentinels (at most 37)"},
    {"track 1 of 76 characters", long1, "O--", pan.c_str(), "track1_length=P"},
    {"track 1 of 77 characters", long1.substr(0, 77) + "0?", "L--", "", "track1_length=F"},
    {"nothing between the sentinels", "%?" + t2, "0O-", pan.c_str(), "track1_framing=F track1_characters=N", "nothing between"},
    {"empty", "", "---", "", "no_stray_bytes=P track1_framing=N"},
    {"garbage", "hello, world", "---", "", "no_stray_bytes=F", "12 bytes belong to no track"},
    {"counts of eight digits and more in the reasons", std::string(12345678, '7') + ";" + std::string(10000000, '1') + "A", "-E-", "", "track2_framing=F track2_characters=F track2_length=F no_stray_bytes=F", "no end sentinel (0x3F) after 10,000,001 characters"},
    {"padding of the capture area", t1 + t2 + std::string(200, '\0'), "OO-", pan.c_str(), "no_stray_bytes=P tracks_agree=P"},
    {"stray bytes around the tracks", "xx" + t1 + "\r\nyy" + t2 + "z", "OO-", pan.c_str(), "no_stray_bytes=F", "5 bytes belong to no track"},
    {"a second track 1 is stray", t1 + t1, "O--", pan.c_str(), "no_stray_bytes=F"},
    {"membership card: format code A, digits without '='", "%AMEMBER 0042?;123456789012?", "OO-", "", "track1_layout=N track2_layout=N"},
    {"name of 27 characters", "%B4111111111111111^" + std::string(27, 'X') + "^2912101?" + t2, "OO-", pan.c_str(), "track1_layout=F tracks_agree=N", "the name has 27 characters (2 to 26)"},
    {"account number of 20 digits", ";41111111111111111111=2912101?", "-O-", "", "track2_layout=F", "the account number has 20 digits (8 to 19)"},
    {"expiration date cut short", ";4111111111111111=291?", "-O-", "", "track2_layout=F", "the expiration date is not four digits or '='"},
    {"no expiration date, no service code", ";4111111111111111===123?", "-O-", pan.c_str(), "expiration_month=N not_expired=N"},
    {"month 13", ";4111111111111111=2913101?", "-O-", pan.c_str(), "expiration_month=F not_expired=N", "the expiration month 13 is not 01 to 12"},
    {"month 00", ";4111111111111111=2900101?", "-O-", pan.c_str(), "expiration_month=F not_expired=N", "the expiration month 00 is not 01 to 12"},
    {"expired", ";4111111111111111=2505101?", "-O-", pan.c_str(), "not_expired=F", "expired at the end of 05/25 (today 06/25)"},
    {"valid through its month", ";4111111111111111=2506101?", "-O-", pan.c_str(), "not_expired=P"},
    {"no date given", t2, "-O-", pan.c_str(), "not_expired=N", "", KORVEL_TRACK_DEFAULT, KORVEL_CARD_NO_DATE},
    {"tracks disagree", "%B5555555555554444^DOE/JANE^3005101?" + t2, "OO-", pan.c_str(), "tracks_agree=F", "the account numbers and the expiration dates of tracks 1 and 2 differ"},
    {"tracks agree on the number, not on the date", "%B4111111111111111^DOE/JANE^3005101?" + t2, "OO-", pan.c_str(), "tracks_agree=F", "the expiration dates of tracks 1 and 2 differ"},
    {"eight digits on track 3", "+12345678?", "--O", "", "track3_characters=P"},
    {"eight digits in a name", "%B4111111111111111^DOE/12345678^2912101?", "O--", pan.c_str(), "track1_layout=P"},
    {"a number in groups on track 3", "+4111 1111 1111 1111?", "--C", "", "track3_characters=F"},
    {"tracks 2 and 3 share a start sentinel: a lone track is track 2", ";0155555555=1?", "-O-", "", "track2_layout=F", "", "%?;?;?71"},
    {"no sentinels at all: tracks by their place", "B4111111111111111^DOE/JANE^2912101\r\n4111111111111111=2912101\r\n", "OO-", pan.c_str(), "tracks_agree=P", "", "\0\0\0\0\0\0"s "71"},
  };
  // clang-format on
  for (const Case& e : cases) {
    SCOPED_TRACE(e.what);
    const Korvel_Card c = DecodeText(e.bytes, e.record, e.today);
    for (int i = 0; i < 3; ++i) {
      const char t = e.tracks[i];
      EXPECT_EQ(c.track[i].status, t == '-'   ? KORVEL_TRACK_ABSENT
                                   : t == 'O' ? KORVEL_TRACK_OK
                                              : KORVEL_TRACK_MALFORMED)
          << "track " << i + 1 << ": " << c.track[i].reason;
      EXPECT_EQ(c.track[i].problem, Problem(t)) << "track " << i + 1;
    }
    EXPECT_STREQ(c.account, e.account);
    EXPECT_EQ(c.account_track != 0, e.account[0] != '\0');
    std::istringstream checks(e.checks);
    for (std::string token; checks >> token;) {
      const std::string name = token.substr(0, token.find('='));
      const auto* k = std::find_if(std::begin(c.check), std::end(c.check),
                                   [&](const Korvel_CardCheck& check) { return name == check.name; });
      ASSERT_NE(k, std::end(c.check)) << "no check " << name;
      EXPECT_EQ("NPF"[k->result], token.back()) << Describe(c);
    }
    const auto* failed = std::find_if(std::begin(c.check), std::end(c.check), [](const Korvel_CardCheck& k) {
      return k.result == KORVEL_CHECK_FAILED;
    });
    const std::string reason = failed == std::end(c.check) ? "" : failed->reason;
    EXPECT_NE(reason.find(e.reason), std::string::npos) << reason;
    const Korvel_Card m = DecodeText(e.bytes, e.record, e.today, false);
    EXPECT_LE(LongestDigitRun(m), 7u) << Describe(m);
  }
}

TEST(Decode, NamesAndTheCenturyOfTwoDigitYears) {
  const Korvel_Card c = DecodeText("%B4111111111111111^SMITH/ JOHN Q.MR   ^2912101?");
  EXPECT_STREQ(c.track[0].name, "SMITH/ JOHN Q.MR   ");
  EXPECT_STREQ(c.name, "SMITH/ JOHN Q.MR");
  EXPECT_STREQ(c.surname, "SMITH");
  EXPECT_STREQ(c.given_name, "JOHN Q.MR");
  const Korvel_Card no_slash = DecodeText("%B4111111111111111^TEST CARD^2912101?");
  EXPECT_STREQ(no_slash.surname, "");

  struct Case {
    uint32_t expiration, today;
    bool valid;
  } const cases[] = {{2506, 2506, true}, {2505, 2506, false}, {2601, 2512, true}, {9912, 2501, false},
                     {7412, 2501, true}, {7512, 2501, false}, {101, 9912, true},  {9901, 102, false}};
  for (const Case& k : cases)
    EXPECT_EQ(ValidOn(k.expiration, k.today), k.valid) << k.expiration << " " << k.today;
}

TEST(Decode, MaskedTextsOutsideTheFieldsRead) {
  const std::string long_name(27, 'X');
  const std::string grouped_name = "%B4111111111111111^DOE/4111 1111 1111 1111^2912101?";
  struct Row {
    const char* what;
    std::string bytes;
    int track;  // 0 for track 1
    std::string masked;
  } const rows[] = {
      {"a number in groups: no fields read, what follows the date starred",
       "%B4111 1111 1111 1111^DOE/JOHN^2912101123456?", 0, "B4111 11** **** 1111^DOE/JOHN^2912*********"},
      {"name too long", "%B4111111111111111^" + long_name + "^2912101123456?", 0,
       "B411111******1111^" + long_name + "^2912*********"},
      {"no expiration date on a broken track 1", "%B4111111111111111^X^^101123456?", 0,
       "B411111******1111^X^^*********"},
      {"malformed track 1", "%B4111111111111111^doe/jane^2912101123456?", 0,
       "B411111******1111^doe/jane^2912*********"},
      {"no '^' after the name: runs only", "%B4111111111111111^DOE/JOHN 2912101123?", 0,
       "B411111******1111^DOE/JOHN 2*****1123"},
      {"a number in groups on track 2", ";4111-1111-1111-1111=2912101123456?", 1,
       "4111-11**-****-1111=2912*********"},
      {"a name in groups", grouped_name, 0, "B411111******1111^DOE/4111 11** **** 1111^2912101"},
      {"eight digits on track 3", "+12345678?", 2, "*****678"},
      {"eight digits joined by a dot", "+1234.5678?", 2, "****.*678"},
      {"a byte shown as '.' joins", "+1234\x01" + "5678?"s, 2, "****.*678"},
      {"two joining characters end a run", "+1234  5678?", 2, "1234  5678"},
      {"seven digits stay", "+1234 567-?", 2, "1234 567-"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Korvel_Card m = DecodeText(row.bytes, KORVEL_TRACK_DEFAULT, kToday, false);
    EXPECT_EQ(m.track[row.track].text, row.masked);
  }
  const Korvel_Card name = DecodeText(grouped_name, KORVEL_TRACK_DEFAULT, kToday, false);
  EXPECT_STREQ(name.name, "DOE/4111 11** **** 1111");
  EXPECT_STREQ(name.given_name, "4111 11** **** 1111");
}

TEST(Mask, NeverMoreThanFirstSixAndLastFourNorTheWholeNumber) {
  const std::pair<size_t, Visible> table[] = {{19, {6, 4}}, {16, {6, 4}}, {15, {6, 4}}, {14, {5, 4}},
                                              {13, {4, 4}}, {9, {0, 4}},  {8, {0, 3}},  {6, {0, 1}},
                                              {5, {0, 0}},  {1, {0, 0}},  {0, {0, 0}}};
  for (const auto& [digits, want] : table) {
    const Visible v = VisibleDigits(digits);
    EXPECT_EQ(v.first, want.first) << digits;
    EXPECT_EQ(v.last, want.last) << digits;
  }

  std::mt19937 random(7);
  for (size_t n = 1; n <= 40; ++n) {
    for (int round = 0; round < 200; ++round) {
      std::string number(n, '0');
      for (char& ch : number) ch = static_cast<char>('0' + random() % 10);
      std::string masked = number;
      MaskNumber(masked.data(), masked.size());
      const Visible v = VisibleDigits(n);
      ASSERT_LE(v.first, kShowFirst);
      ASSERT_LE(v.last, kShowLast);
      size_t hidden = 0;
      for (size_t k = 0; k < n; ++k) {
        const bool shown = k < v.first || k >= n - v.last;
        ASSERT_EQ(masked[k], shown ? number[k] : '*') << number;
        hidden += shown ? 0 : 1;
      }
      ASSERT_GE(hidden, std::min<size_t>(n, kHideAtLeast)) << number;
    }
  }

  std::string spaced = "4111 1111 1111 1111";
  MaskNumber(spaced.data(), spaced.size());
  EXPECT_EQ(spaced, "4111 11** **** 1111");
}

TEST(Decode, NoiseDecodesWithoutClaims) {
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::string noise(300, '\0');
    for (char& ch : noise) ch = static_cast<char>(random() % 256);
    const Korvel_Card m = DecodeText(noise, KORVEL_TRACK_DEFAULT, kToday, false);
    EXPECT_LE(LongestDigitRun(m), 7u);
    for (const Korvel_CardTrack& t : m.track) EXPECT_LT(std::strlen(t.text), sizeof t.text);
  }
}

}  // namespace
}  // namespace korvel::card
