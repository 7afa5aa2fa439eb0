// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The card decoder's exported interface through the library: argument
// checks, the caller's structure written whole, nothing written outside it or
// on a refusal.  (The fuzzer checks every text's termination.)
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "guarded_area.h"
#include "korvel.h"
#include "korvel_card.h"

namespace {

using korvel::fake::GuardedArea;

const auto* const kDefault = reinterpret_cast<const unsigned char*>(KORVEL_TRACK_DEFAULT);
const std::string kSwipe =
    "%B5555555555554444^TEST/MASTERCARD^3005201000000000000000000?\r\n"
    ";5555555555554444=30052010000000000000?\r\n"
    "+015555555555554444=724724000000000000003005000000000000000000=000000000000=0000000000000?\r\n";

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
Korvel_Card* AsCard(GuardedArea& area) {
  return reinterpret_cast<Korvel_Card*>(area.data());
}

TEST(DecodeCard, FillsTheCallersStructureAndNothingElse) {
  for (uint32_t flags : {0u, KORVEL_CARD_REVEAL}) {
    GuardedArea area(sizeof(Korvel_Card));
    ASSERT_EQ(Korvel_DecodeCard(Bytes(kSwipe), kSwipe.size(), kDefault, 2506, flags, AsCard(area)),
              KORVEL_OK);
    ASSERT_TRUE(area.GuardsIntact());
    const Korvel_Card& c = *AsCard(area);
    EXPECT_EQ(c.check_count, KORVEL_CARD_CHECK_COUNT);
    for (int k = 0; k < KORVEL_CARD_CHECKS; ++k) {
      EXPECT_EQ(c.check[k].name[0] != 0, k < KORVEL_CARD_CHECK_COUNT) << k;
      if (k < KORVEL_CARD_CHECK_COUNT) {
        EXPECT_NE(c.check[k].reason[0], 0) << c.check[k].name;
      }
      EXPECT_NE(c.check[k].result, KORVEL_CHECK_FAILED) << c.check[k].name << ": " << c.check[k].reason;
    }
    EXPECT_STREQ(c.check[KORVEL_CHECK_ACCOUNT_CHECK_DIGIT].name, "account_check_digit");
    EXPECT_EQ(c.account_track, 2);
    for (const Korvel_CardTrack& t : c.track) EXPECT_EQ(t.status, KORVEL_TRACK_OK);
    if (flags == 0) {
      EXPECT_STREQ(c.account, "555555******4444");
      EXPECT_STREQ(
          c.track[2].text,
          "015555********4444=724724********************************0000=000*****0000=0000*****0000");
      // The full account number is nowhere in the masked structure.
      const std::string bytes(reinterpret_cast<const char*>(area.data()), area.size());
      EXPECT_EQ(bytes.find("5555555555554444"), std::string::npos);
    } else {
      EXPECT_STREQ(c.account, "5555555555554444");
      EXPECT_STREQ(c.track[1].discretionary, "0000000000000");
    }
  }

  // The whole capture area of Korvel_GetTrack, zero padded, decodes the same.
  std::string area300 = kSwipe;
  area300.resize(KORVEL_DATA_AREA, '\0');
  Korvel_Card padded;
  ASSERT_EQ(Korvel_DecodeCard(Bytes(area300), area300.size(), kDefault, 0, 0, &padded), KORVEL_OK);
  EXPECT_EQ(padded.stray_bytes, 0);
  EXPECT_EQ(padded.check[KORVEL_CHECK_NOT_EXPIRED].result, KORVEL_CHECK_NOT_APPLICABLE);
}

TEST(DecodeCard, RefusesBadArgumentsWithoutWriting) {
  GuardedArea area(sizeof(Korvel_Card));
  const unsigned char* b = Bytes(kSwipe);
  const size_t n = kSwipe.size();
  EXPECT_EQ(Korvel_DecodeCard(nullptr, n, kDefault, 2506, 0, AsCard(area)), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_DecodeCard(nullptr, 0, kDefault, 2506, 0, AsCard(area)), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_DecodeCard(b, n, nullptr, 2506, 0, AsCard(area)), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_DecodeCard(b, n, kDefault, 2506, 0, nullptr), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_DecodeCard(b, n, kDefault, 2506, 0x2, AsCard(area)), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_DecodeCard(b, n, kDefault, 2506, 0x80000001u, AsCard(area)), KORVEL_E_ARGUMENT);
  for (uint32_t bad_date : {2500u, 2513u, 9913u, 10001u, 99u, 0xFFFFFFFFu})
    EXPECT_EQ(Korvel_DecodeCard(b, n, kDefault, bad_date, 0, AsCard(area)), KORVEL_E_ARGUMENT) << bad_date;
  EXPECT_TRUE(area.Untouched());
  EXPECT_TRUE(area.GuardsIntact());
  for (uint32_t good_date : {0u, 1u, 112u, 9912u})
    EXPECT_EQ(Korvel_DecodeCard(b, n, kDefault, good_date, 0, AsCard(area)), KORVEL_OK) << good_date;
  EXPECT_EQ(Korvel_DecodeCard(b, 0, kDefault, 2506, 0, AsCard(area)), KORVEL_OK);
  EXPECT_EQ(AsCard(area)->track[0].status, KORVEL_TRACK_ABSENT);
}

TEST(MaskAccount, MasksIntoAnAreaThatFits) {
  struct Case {
    const char* digits;
    const char* masked;
  } const cases[] = {
      {"4111111111111111", "411111******1111"},
      {"378282246310005", "378282*****0005"},
      {"30569309025904", "30569*****5904"},
      {"12345678", "*****678"},
      {"12345", "*****"},
      {"", ""},
      {"4111 1111 1111 1111", "4111 11** **** 1111"},
  };
  for (const Case& c : cases) {
    const size_t n = std::strlen(c.digits);
    GuardedArea exact(n + 1);
    EXPECT_EQ(Korvel_MaskAccount(c.digits, reinterpret_cast<char*>(exact.data()), n + 1), KORVEL_OK);
    EXPECT_STREQ(reinterpret_cast<const char*>(exact.data()), c.masked);
    EXPECT_TRUE(exact.GuardsIntact());
    GuardedArea short_area(n + 1);
    EXPECT_EQ(Korvel_MaskAccount(c.digits, reinterpret_cast<char*>(short_area.data()), n), KORVEL_E_ARGUMENT);
    EXPECT_TRUE(short_area.Untouched());
  }
  char out[8];
  EXPECT_EQ(Korvel_MaskAccount(nullptr, out, sizeof out), KORVEL_E_ARGUMENT);
  EXPECT_EQ(Korvel_MaskAccount("1", nullptr, 8), KORVEL_E_ARGUMENT);
}

}  // namespace
