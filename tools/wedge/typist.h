/* SPDX-License-Identifier: MIT */
/* Copyright (C) 2026 the Korvel developers */

// Typing keys into whatever window has the focus, the platform's way: on X11
// each character's keysym on a key of the current layout (XTest), a spare
// key remapped for a character the layout lacks; on Windows SendInput with
// KEYEVENTF_UNICODE.  Never the clipboard.  One backend per platform
// (typist_x11.cpp, typist_win32.cpp).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "wedge.h"

namespace korvel::wedge {

class Typist {
 public:
  virtual ~Typist() = default;
  // Types `actions` in order, `key_delay_ms` apart.  False with `error` set
  // when the keys could not be sent (what was sent before stays typed).
  // From one thread at a time.
  virtual bool Type(const std::vector<Action>& actions, int key_delay_ms, std::string* error) = 0;
};

// Shows a desktop notification where the platform has one at hand (on
// Linux: notify-send, when installed; on Windows: a balloon of the
// notification area, for ten seconds); nothing waits for it and nothing is
// said when there is none.  `body` must hold masked card data only.  From
// one thread.
void Notify(const std::string& title, const std::string& body);

// The platform's typist, or null with `error` saying why (on Linux: no X
// display, a Wayland session, no XTest extension).
std::unique_ptr<Typist> OpenTypist(std::string* error);

}  // namespace korvel::wedge
