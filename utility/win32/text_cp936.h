/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Text of the Windows dialog: the wide (UTF-16) text of its controls, the
// UTF-8 texts of the core, and the reader's 8-bit text of code page 936
// (GBK), whatever the system's own code page is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dunmark::win {

// UTF-8 (the core's texts) to UTF-16 and back.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view text);

// Code page 936 bytes to text and back.  A character the code page lacks
// becomes '?'.
std::wstring FromCodePage936(std::string_view bytes);
std::string ToCodePage936(std::wstring_view text);

// How many bytes the text takes in code page 936 (a double-byte character
// counts two, the CR LF of a line break two).
int ByteCount936(std::wstring_view text);

// The first byte of the text in code page 936: 0 for an empty text, the lead
// byte of a double-byte character.
uint8_t FirstByte936(std::wstring_view text);

// The longest leading part of `text`, in whole characters, that takes at
// most `budget` bytes in code page 936 (empty when budget <= 0).
std::wstring FitBytes936(std::wstring_view text, int budget);

// A port name as the library's CreateFileA takes it: the system's ANSI code
// page.
std::string PortNameBytes(std::wstring_view name);

}  // namespace dunmark::win
