// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

#include "discovery.h"

#include <glob.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace korvel::service {

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Discovery::Discovery(boost::asio::io_context& io,
                     std::function<void(const std::vector<std::string>&)> changed)
    : inotify_(io), changed_(std::move(changed)) {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd >= 0) {
    inotify_.assign(fd);
    Read();
  } else {
    std::perror("korveld: inotify");
  }
}

Discovery::~Discovery() = default;

void Discovery::Watch(const std::vector<std::string>& patterns, const std::vector<std::string>& paths) {
  patterns_ = patterns;
  folders_.clear();
  for (const std::string& pattern : patterns) folders_.insert(FolderOf(pattern));
  for (const std::string& path : paths)
    if (!path.empty() && path[0] == '/') folders_.insert(FolderOf(path));
  AddWatches();
  changed_(Matches());
}

void Discovery::AddWatches() {
  // Watches are only added: removing one makes an event of its own.  Adding
  // a folder watched already changes nothing.
  if (!inotify_.is_open()) return;
  for (std::string folder : folders_) {
    while (!IsFolder(folder) && folder != "/") folder = FolderOf(folder);
    const int wd = inotify_add_watch(inotify_.native_handle(), folder.c_str(),
                                     IN_CREATE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ATTRIB |
                                         IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (wd >= 0) watches_.insert(wd);
  }
}

std::vector<std::string> Discovery::Matches() const {
  std::vector<std::string> found;
  for (const std::string& pattern : patterns_) {
    glob_t matches{};
    if (glob(pattern.c_str(), GLOB_NOSORT, nullptr, &matches) == 0)
      for (size_t i = 0; i < matches.gl_pathc; ++i) found.push_back(matches.gl_pathv[i]);
    globfree(&matches);
  }
  return found;
}

void Discovery::Read() {
  inotify_.async_read_some(boost::asio::buffer(buffer_),
                           [this](const boost::system::error_code& error, size_t) {
                             if (error) return;  // closed (the service ends)
                             // Which entry changed does not matter: the folders are listed again, and
                             // a folder that appeared or went is watched anew.
                             AddWatches();
                             changed_(Matches());
                             Read();
                           });
}

}  // namespace korvel::service
