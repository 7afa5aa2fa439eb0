// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "simulated_reader.h"

#include <chrono>

namespace korvel::cli {

std::unique_ptr<SimulatedReader> SimulatedReader::Start(uint32_t baud, std::optional<size_t> card,
                                                        std::string* error) {
  sim::Options options;
  options.baud = baud;
  std::unique_ptr<SimulatedReader> reader(new SimulatedReader());
  reader->reader_ = sim::PtyReader::Start(options, error);
  if (!reader->reader_) return nullptr;
  reader->card_ = card;
  return reader;
}

SimulatedReader::~SimulatedReader() {
  StopSwiping();
}

std::string SimulatedReader::Swipe(size_t index) {
  reader_->Swipe(index);
  const sim::Card& card = sim::SampleCards()[index];
  return card.key + ": " + card.name;
}

std::string SimulatedReader::SwipeOnce() {
  return Swipe(card_.value_or(0));
}

void SimulatedReader::StartSwiping() {
  StopSwiping();
  stopping_ = false;
  swiper_ = std::thread([this] {
    size_t next = card_.value_or(0);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      Swipe(next);
      if (!card_) next = (next + 1) % sim::SampleCards().size();
      wake_.wait_for(lock, std::chrono::milliseconds(kIntervalMs), [this] { return stopping_; });
    }
  });
}

void SimulatedReader::StopSwiping() {
  if (!swiper_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  swiper_.join();
}

}  // namespace korvel::cli
