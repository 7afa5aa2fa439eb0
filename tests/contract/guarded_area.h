/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// A caller's result area with guard bytes on both sides, to catch a write
// past either end and to tell "untouched" from "written".
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvel::fake {

class GuardedArea {
 public:
  static constexpr uint8_t kGuard = 0xEE;
  static constexpr uint8_t kFill = 0xAA;
  static constexpr size_t kGuardSize = 32;

  explicit GuardedArea(size_t size) : size_(size), bytes_(size + 2 * kGuardSize, kGuard) {
    std::fill_n(data(), size_, kFill);
  }

  uint8_t* data() { return bytes_.data() + kGuardSize; }
  const uint8_t* data() const { return bytes_.data() + kGuardSize; }
  size_t size() const { return size_; }
  uint8_t operator[](size_t i) const { return data()[i]; }
  std::vector<uint8_t> Contents() const { return std::vector<uint8_t>(data(), data() + size_); }

  bool GuardsIntact() const {
    const auto guard = [](uint8_t b) { return b == kGuard; };
    return std::all_of(bytes_.begin(), bytes_.begin() + kGuardSize, guard) &&
           std::all_of(bytes_.end() - kGuardSize, bytes_.end(), guard);
  }
  bool Untouched() const {
    return std::all_of(data(), data() + size_, [](uint8_t b) { return b == kFill; });
  }

 private:
  size_t size_;
  std::vector<uint8_t> bytes_;
};

}  // namespace korvel::fake
