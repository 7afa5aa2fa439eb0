// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "text_cp936.h"

#include <windows.h>

namespace dunmark::win {

namespace {

constexpr UINT kCodePage936 = 936;

std::wstring ToWide(UINT codePage, std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), size);
  return text;
}

std::string FromWide(UINT codePage, std::wstring_view text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                      nullptr);
  return bytes;
}

// The length of the character at `i`: 2 for a surrogate pair, else 1.
size_t CharacterLength(std::wstring_view text, size_t i) {
  return IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]) ? 2 : 1;
}

}  // namespace

std::wstring Widen(std::string_view utf8) {
  return ToWide(CP_UTF8, utf8);
}

std::string Narrow(std::wstring_view text) {
  return FromWide(CP_UTF8, text);
}

std::wstring FromCodePage936(std::string_view bytes) {
  return ToWide(kCodePage936, bytes);
}

std::string ToCodePage936(std::wstring_view text) {
  return FromWide(kCodePage936, text);
}

int ByteCount936(std::wstring_view text) {
  return static_cast<int>(ToCodePage936(text).size());
}

uint8_t FirstByte936(std::wstring_view text) {
  if (text.empty()) return 0;
  const std::string bytes = ToCodePage936(text.substr(0, CharacterLength(text, 0)));
  return bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
}

std::wstring FitBytes936(std::wstring_view text, int budget) {
  size_t end = 0;
  int used = 0;
  while (end < text.size()) {
    const size_t length = CharacterLength(text, end);
    const int cost = ByteCount936(text.substr(end, length));
    if (used + cost > budget) break;
    used += cost;
    end += length;
  }
  return std::wstring(text.substr(0, end));
}

std::string PortNameBytes(std::wstring_view name) {
  return FromWide(CP_ACP, name);
}

}  // namespace dunmark::win
