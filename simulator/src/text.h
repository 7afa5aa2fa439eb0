/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Small text helpers for the simulator's human-readable output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/rates.h"

namespace korvel::sim {

// The reader's rates for people: "4800, 9600, 19200 or 38400", with
// " (default)" after the default rate when `mark_default` is set.
inline std::string RateList(bool mark_default = false) {
  std::string list;
  for (size_t i = 0; i < kLineRates.size(); ++i) {
    if (i > 0) list += i + 1 == kLineRates.size() ? " or " : ", ";
    if (mark_default && kLineRates[i].baud == kDefaultBaud) {
      // Formatted rather than appended: a short literal appended to a
      // std::string is stored from immediate values, and the binary then
      // holds the fragment "(defaul" that spelling checkers (lintian) flag.
      char marked[32];
      std::snprintf(marked, sizeof marked, "%s (default)", kLineRates[i].text);
      list += marked;
    } else {
      list += kLineRates[i].text;
    }
  }
  return list;
}

// "02 04 32 30" style.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(b, sizeof b, "%02X", bytes[i]);
    if (i != 0) s += ' ';
    s += b;
  }
  return s;
}

// Printable ASCII as is, CR and LF as \r \n, everything else as \xNN.
inline std::string Printable(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[8];
  for (uint8_t c : bytes) {
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c == '\\') {
      s += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      std::snprintf(b, sizeof b, "\\x%02X", c);
      s += b;
    }
  }
  return s;
}

// The value of two hex digits ("1f", "A0"), or -1.
inline int HexByte(std::string_view two) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (two.size() != 2 || digit(two[0]) < 0 || digit(two[1]) < 0) return -1;
  return digit(two[0]) * 16 + digit(two[1]);
}

// Hex bytes as "15 ff", "15ff" or "0x15 0xff", one or more words; a word of
// odd length has a leading 0 added ("f" is 0F).  False (and `bytes` cleared)
// on anything else or on no words.
inline bool ParseHexBytes(const std::vector<std::string>& words, std::vector<uint8_t>* bytes) {
  bytes->clear();
  for (std::string w : words) {
    if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) w = w.substr(2);
    if (w.size() % 2 == 1) w = "0" + w;
    for (size_t i = 0; i < w.size(); i += 2) {
      const int v = HexByte(std::string_view(w).substr(i, 2));
      if (v < 0) {
        bytes->clear();
        return false;
      }
      bytes->push_back(static_cast<uint8_t>(v));
    }
  }
  return !bytes->empty();
}

// Space, tab, CR or LF.
inline bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The words of `text`, split at blanks.
inline std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsBlank(text[i])) ++i;
    const size_t begin = i;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    if (i > begin) words.emplace_back(text.substr(begin, i - begin));
  }
  return words;
}

}  // namespace korvel::sim
