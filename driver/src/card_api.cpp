// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// The exported card decoder: checks the arguments, runs the pure decoder of
// card.h on the caller's structure and keeps every exception inside.
#include <cstring>

#include "card.h"
#include "korvel.h"
#include "korvel_card.h"

// The layout korvel_card.h promises: no padding, the same with every compiler.
static_assert(sizeof(Korvel_CardCheck) == 128);
static_assert(sizeof(Korvel_CardTrack) == 560);
static_assert(sizeof(Korvel_Card) == 4888);
static_assert(sizeof(KORVEL_TRACK_DEFAULT) == 8 + 1);

extern "C" {

KORVEL_API int KORVEL_CALL Korvel_DecodeCard(const unsigned char* bytes, size_t count,
                                             const unsigned char* record8, uint32_t today_yymm,
                                             uint32_t flags, Korvel_Card* card) {
  try {
    if (bytes == nullptr || record8 == nullptr || card == nullptr) return KORVEL_E_ARGUMENT;
    if ((flags & ~KORVEL_CARD_REVEAL) != 0 || !korvel::card::ValidDate(today_yymm)) return KORVEL_E_ARGUMENT;
    korvel::card::Decode(bytes, count, record8, today_yymm, (flags & KORVEL_CARD_REVEAL) != 0, *card);
    return KORVEL_OK;
  } catch (...) {
    return KORVEL_E_INTERNAL;
  }
}

KORVEL_API int KORVEL_CALL Korvel_MaskAccount(const char* digits, char* masked, size_t masked_size) {
  try {
    if (digits == nullptr || masked == nullptr) return KORVEL_E_ARGUMENT;
    const size_t n = std::strlen(digits);
    if (masked_size < n + 1) return KORVEL_E_ARGUMENT;
    std::memcpy(masked, digits, n + 1);
    korvel::card::MaskNumber(masked, n);
    return KORVEL_OK;
  } catch (...) {
    return KORVEL_E_INTERNAL;
  }
}

}  // extern "C"
