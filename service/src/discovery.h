/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Watches folders with inotify: the folders of the `[discover] match`
// patterns and of the configured readers' device paths.  On any change it
// lists the paths the patterns match now and tells the loop.  A folder that
// does not exist yet (/dev/serial/by-id before the first USB serial device)
// is watched through its nearest existing parent until it appears.
#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <utility>  // before Boost.Asio 1.74: its awaitable.hpp needs std::exchange

#include <boost/asio.hpp>

namespace korvel::service {

class Discovery {
 public:
  // `changed` gets every path the patterns match (on the loop), after any
  // change in a watched folder.
  Discovery(boost::asio::io_context& io, std::function<void(const std::vector<std::string>&)> changed);
  ~Discovery();

  // The patterns and the device paths to watch (replacing the earlier ones);
  // reports the matches at once.
  void Watch(const std::vector<std::string>& patterns, const std::vector<std::string>& paths);
  std::vector<std::string> Matches() const;

 private:
  void AddWatches();
  void Read();

  boost::asio::posix::stream_descriptor inotify_;
  std::function<void(const std::vector<std::string>&)> changed_;
  std::vector<std::string> patterns_;
  std::set<std::string> folders_;
  std::set<int> watches_;
  std::array<char, 8192> buffer_{};
};

}  // namespace korvel::service
