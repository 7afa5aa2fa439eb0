// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "wedge_typing.h"

#include "log.h"
#include "wedge.h"

namespace korvel::service {

WedgeTyping::WedgeTyping() {
  std::string error;
  typist_ = wedge::OpenTypist(&error);
  if (!typist_) {
    Log("wedge: " + error + "; swipes are not typed");
    return;
  }
  thread_ = std::thread([this] { Run(); });
}

WedgeTyping::~WedgeTyping() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void WedgeTyping::Type(const WedgeSettings& settings, const SwipeRecord& swipe) {
  if (!typist_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (jobs_.size() >= kMaxQueued) {
      Log(swipe.reader + ": swipe " + std::to_string(swipe.seq) +
          " not typed: too many swipes wait to be typed");
      return;
    }
    jobs_.push_back({settings, swipe});
  }
  wake_.notify_one();
}

void WedgeTyping::Run() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    const std::string name = job.swipe.reader + ": swipe " + std::to_string(job.swipe.seq);
    std::string error;
    const std::optional<wedge::Template> templ = wedge::ParseTemplate(job.settings.template_text, &error);
    wedge::Plan plan;
    if (!templ)
      plan.refused = "the template: " + error;  // checked with the configuration: not expected
    else if (job.swipe.status != KORVEL_OK)
      plan.refused = Korvel_StatusText(job.swipe.status);
    else if (job.swipe.bytes.empty())
      plan.refused = "the reader sent no card data";
    else
      plan =
          wedge::ExpandSwipe(*templ, job.swipe.bytes.data(), job.swipe.bytes.size(), job.swipe.record.data(),
                             KORVEL_CARD_NO_DATE, job.settings.allow_payment_data);
    if (!plan.refused.empty()) {
      Log(name + " not typed: " + plan.refused);
      wedge::Notify("Card not typed", plan.refused);
      continue;
    }
    if (!typist_->Type(plan.actions, job.settings.key_delay_ms, &error))
      Log(name + " could not be typed: " + error);
    else
      Log(name + " typed (" + std::to_string(plan.actions.size()) + " keys)");
  }
}

}  // namespace korvel::service
