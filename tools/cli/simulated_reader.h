/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// `korvel --simulate`: a simulated reader (korvel::sim::PtyReader) in this
// process, which swipes its sample cards by itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "commands.h"
#include "korvel_sim.h"

namespace korvel::cli {

class SimulatedReader : public Swiper {
 public:
  // Starts the reader at `baud`; `card` is --card's sample card (an index).
  // Null with `error` set when it cannot start.
  static std::unique_ptr<SimulatedReader> Start(uint32_t baud, std::optional<size_t> card,
                                                std::string* error);
  ~SimulatedReader() override;

  const std::string& path() const { return reader_->path(); }

  std::string SwipeOnce() override;
  void StartSwiping() override;
  void StopSwiping() override;

  // How often StartSwiping swipes.
  static constexpr int kIntervalMs = 1000;

 private:
  SimulatedReader() = default;
  std::string Swipe(size_t index);

  std::unique_ptr<sim::PtyReader> reader_;
  std::optional<size_t> card_;
  std::thread swiper_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace korvel::cli
