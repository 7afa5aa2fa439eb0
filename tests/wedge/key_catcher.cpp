// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// A window that takes the keyboard focus and writes each key it receives to
// standard output as the character it types (Return as "\n", Tab as "\t"),
// as an X program with a text field reads them: the keysym of the key's
// code and modifiers in the server's current keyboard map.  Writes "ready\n"
// first, once it has the focus; ends when standard input closes.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "wedge.h"

namespace {

using korvel::wedge::Utf8;

// The text of a keysym: Latin-1 and Unicode keysyms, Return and Tab; other
// keys (modifiers) type nothing, and a keysym of another kind is shown as
// <0xNNNN> so that a test sees it.
std::string Text(KeySym sym) {
  if (sym == XK_Return) return "\n";
  if (sym == XK_Tab) return "\t";
  if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) return Utf8(static_cast<char32_t>(sym));
  if ((sym & 0xFF000000) == 0x01000000) return Utf8(static_cast<char32_t>(sym & 0x00FFFFFF));
  if (IsModifierKey(sym) || sym == NoSymbol) return "";
  char text[32];
  std::snprintf(text, sizeof text, "<0x%lx>", sym);
  return text;
}

}  // namespace

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "key_catcher: no display\n");
    return 1;
  }
  int xkb_event = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion, opcode = 0;
  XkbQueryExtension(display, &opcode, &xkb_event, &error, &major, &minor);
  XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);
  const Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 320, 40, 0, 0, 0xFFFFFF);
  XSelectInput(display, window, KeyPressMask | FocusChangeMask | StructureNotifyMask);
  XMapRaised(display, window);
  bool mapped = false, focused = false, told = false;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify) {
        mapped = true;
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
      } else if (event.type == FocusIn) {
        focused = true;
      } else if (event.type == MappingNotify) {
        XRefreshKeyboardMapping(&event.xmapping);
      } else if (event.type == xkb_event) {
        // Xlib keeps its copy of the XKB map up to date by itself.
      } else if (event.type == KeyPress) {
        char bytes[32];
        KeySym sym = NoSymbol;
        XLookupString(&event.xkey, bytes, sizeof bytes, &sym, nullptr);
        std::fputs(Text(sym).c_str(), stdout);
      }
    }
    if (mapped && focused && !told) {
      std::fputs("ready\n", stdout);
      told = true;
    }
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    poll(fds, 2, 1000);
    if (fds[1].revents != 0) {
      char c;
      if (read(STDIN_FILENO, &c, 1) <= 0) break;
    }
  }
  // Every key sent before standard input closed is at the server: a round
  // trip brings the rest.
  XSync(display, False);
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
    if (event.type != KeyPress) continue;
    char bytes[32];
    KeySym sym = NoSymbol;
    XLookupString(&event.xkey, bytes, sizeof bytes, &sym, nullptr);
    std::fputs(Text(sym).c_str(), stdout);
  }
  XCloseDisplay(display);
  return 0;
}
