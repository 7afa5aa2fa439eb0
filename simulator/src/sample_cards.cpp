// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// Sample cards in the ISO 7813 layout, and cards written as track texts.
// Card numbers are the well-known test numbers of the card schemes (or, on
// the cards made to be wrong, those numbers with a digit changed); they
// belong to no account.
#include "korvel_sim.h"
#include "text.h"

namespace korvel::sim {

const std::vector<Card>& SampleCards() {
  static const std::vector<Card> cards = {
      {"Visa test card", "B4111111111111111^TEST/VISA CARD^2912101100000000000000000",
       "4111111111111111=29121011000000000000", "", "visa"},
      {"Mastercard test card (three tracks)", "B5555555555554444^TEST/MASTERCARD^3005201000000000000000000",
       "5555555555554444=30052010000000000000",
       "015555555555554444=724724000000000000003005000000000000000000=000000000000=0000000000000",
       "mastercard"},
      {"American Express test card", "B378282246310005^TEST/AMEX^281170200000000000000",
       "378282246310005=2811702000000000000", "", "amex"},
      {"Discover test card (track 2 only)", "", "6011111111111117=27121010000000000000", "", "discover"},
      {"Wrong check digit (Luhn)", "B4111111111111112^TEST/LUHN FAIL^2912101100000000000000000",
       "4111111111111112=29121011000000000000", "", "luhn-fail"},
      {"Expired card (12/2019)", "B4012888888881881^TEST/EXPIRED^1912101100000000000000000",
       "4012888888881881=19121011000000000000", "", "expired"},
      {"Tracks 1 and 2 disagree", "B4242424242424242^TEST/MISMATCH^2912101100000000000000000",
       "4000056655665556=30011011000000000000", "", "mismatch"},
      {"Membership card (no card number)", "A000012345^TEST/MEMBER^GOLD CLUB", "0000123450000099", "",
       "member"},
      {"Characters outside the track sets", "B5105105105105100^test/lower case^2912101100000000000000000",
       "5105105105105100=2912101A000000000000", "", "bad-chars"},
  };
  return cards;
}

const Card* FindSampleCard(std::string_view key) {
  for (const Card& card : SampleCards())
    if (card.key == key) return &card;
  return nullptr;
}

namespace {

// "N=" at `at`, with N a track number: the track's index, or -1.
int TrackAt(std::string_view text, size_t at) {
  if (at + 1 >= text.size() || text[at + 1] != '=' || text[at] < '1' || text[at] > '3') return -1;
  return text[at] - '1';
}

// A track's text with \xNN and \\ replaced.
bool Unescape(std::string_view text, std::string* out, std::string* error) {
  out->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out->push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      out->push_back('\\');
      ++i;
      continue;
    }
    int value = -1;
    if (i + 3 < text.size() && text[i + 1] == 'x') value = HexByte(text.substr(i + 2, 2));
    if (value < 0) {
      *error = "a backslash starts \\xNN (a byte in hex) or \\\\ (a backslash)";
      return false;
    }
    out->push_back(static_cast<char>(value));
    i += 3;
  }
  return true;
}

}  // namespace

bool ParseTracks(std::string_view text, Card* card, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  std::string tracks[3];
  bool given[3] = {false, false, false};
  size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  if (at == text.size()) {
    *error = "no track given (write 1=TEXT, 2=TEXT or 3=TEXT)";
    return false;
  }
  while (at < text.size()) {
    const int track = TrackAt(text, at);
    if (track < 0) {
      *error = "a track starts with 1=, 2= or 3=";
      return false;
    }
    if (given[track]) {
      *error = "track " + std::to_string(track + 1) + " is given twice";
      return false;
    }
    given[track] = true;
    // The text runs to the next whitespace before "N=", or to the end.
    const size_t begin = at + 2;
    size_t end = begin;
    size_t next = text.size();
    for (size_t i = begin; i < text.size(); ++i) {
      if (!IsBlank(text[i])) {
        end = i + 1;
        continue;
      }
      size_t j = i;
      while (j < text.size() && IsBlank(text[j])) ++j;
      if (j < text.size() && TrackAt(text, j) >= 0) {
        next = j;
        break;
      }
      i = j - 1;
    }
    size_t first = begin;
    while (first < end && IsBlank(text[first])) ++first;
    if (!Unescape(text.substr(first, end - first), &tracks[track], error)) return false;
    at = next;
  }
  card->track1 = std::move(tracks[0]);
  card->track2 = std::move(tracks[1]);
  card->track3 = std::move(tracks[2]);
  return true;
}

}  // namespace korvel::sim
