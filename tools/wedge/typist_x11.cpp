// SPDX-License-Identifier: MIT
// Copyright (C) 2026 the Korvel developers

// X11: each character's keysym (Latin-1: the code point; else 0x01000000 +
// the code point) is looked up in the keyboard's current XKB map, in the
// group in use; the key is pressed with the modifiers its shift level needs
// (XTest).  A character the layout has no key for is put on a spare keycode
// (one with no symbols) for the swipe and the keycode is emptied again after
// it.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "typist.h"

extern char** environ;

namespace korvel::wedge {

namespace {

KeySym KeysymOf(const Action& action) {
  switch (action.kind) {
    case Action::Kind::kEnter: return XK_Return;
    case Action::Kind::kTab: return XK_Tab;
    case Action::Kind::kCharacter: break;
  }
  const char32_t c = action.character;
  if ((c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF)) return c;
  return 0x01000000 + c;
}

// A key and the modifiers that give the wanted symbol on it.
struct Key {
  KeyCode code = 0;
  unsigned modifiers = 0;
};

class X11Typist : public Typist {
 public:
  explicit X11Typist(Display* display) : display_(display) {}
  ~X11Typist() override { XCloseDisplay(display_); }

  bool Type(const std::vector<Action>& actions, int key_delay_ms, std::string* error) override {
    delay_ms_ = key_delay_ms;
    XkbDescPtr keyboard = XkbGetMap(display_, XkbAllClientInfoMask, XkbUseCoreKbd);
    if (keyboard == nullptr) {
      *error = "the X server gave no keyboard map";
      return false;
    }
    XkbStateRec state{};
    XkbGetState(display_, XkbUseCoreKbd, &state);
    std::map<KeySym, Key> keys;
    std::vector<KeySym> missing;
    for (const Action& action : actions) {
      const KeySym sym = KeysymOf(action);
      if (keys.count(sym) != 0) continue;
      Key key;
      if (Find(keyboard, state.group, 0, sym, &key))
        keys[sym] = key;
      else
        missing.push_back(sym);
    }
    // The spare keycodes: no symbol in any group or level.
    std::vector<KeyCode> spare;
    for (int code = keyboard->max_key_code; code >= keyboard->min_key_code && spare.size() < missing.size();
         --code)
      if (XkbKeyNumSyms(keyboard, code) == 0 || AllNoSymbol(keyboard, code)) spare.push_back(code);
    XkbFreeKeyboard(keyboard, 0, True);
    if (spare.size() < missing.size()) {
      *error = "the keyboard has no spare key for the characters its layout lacks";
      return false;
    }
    for (size_t i = 0; i < missing.size(); ++i) {
      KeySym both[2] = {missing[i], missing[i]};
      XChangeKeyboardMapping(display_, spare[i], 2, both, 1);
      keys[missing[i]] = Key{spare[i], 0};
    }
    XSync(display_, False);
    if (!missing.empty()) Pause();  // programs catch up with the new map first

    // Caps Lock is off while the swipe is typed: it would change the case of
    // letters, also on spare keys, whatever the modifiers pressed.
    const bool caps_lock = (state.locked_mods & LockMask) != 0;
    if (caps_lock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
    const unsigned held = state.mods & ~state.locked_mods;  // the user holds them: let go while typing
    bool ok = true;
    for (const Action& action : actions) {
      const Key& key = keys[KeysymOf(action)];
      if (!Press(key, held)) {
        ok = false;
        *error = "the X server refused a key";
        break;
      }
      Pause();
    }
    if (!missing.empty()) {
      // Programs read the keys after the map that came with them: give them
      // time before the spare keys are emptied again.
      XSync(display_, False);
      Pause();
      std::this_thread::sleep_for(std::chrono::milliseconds(kRestoreSettleMs));
      for (size_t i = 0; i < missing.size(); ++i) {
        KeySym none[2] = {NoSymbol, NoSymbol};
        XChangeKeyboardMapping(display_, spare[i], 2, none, 1);
      }
    }
    if (caps_lock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
    XSync(display_, False);
    return ok;
  }

 private:
  static constexpr int kRestoreSettleMs = 50;

  static bool AllNoSymbol(XkbDescPtr keyboard, int code) {
    KeySym* syms = XkbKeySymsPtr(keyboard, code);
    for (int i = 0; i < XkbKeyNumSyms(keyboard, code); ++i)
      if (syms[i] != NoSymbol) return false;
    return true;
  }

  // The key and modifiers of `sym` in the group in use (a key with fewer
  // groups wraps, as the server does), at the lowest shift level that has it.
  // `locked`: the locked modifiers the key will see (none while typing).
  static bool Find(XkbDescPtr keyboard, int group, unsigned locked, KeySym sym, Key* found) {
    for (int code = keyboard->min_key_code; code <= keyboard->max_key_code; ++code) {
      const int groups = XkbKeyNumGroups(keyboard, code);
      if (groups == 0) continue;
      const int g = group % groups;
      XkbKeyTypePtr type = XkbKeyKeyType(keyboard, code, g);
      for (int level = 0; level < type->num_levels; ++level) {
        if (XkbKeySymEntry(keyboard, code, level, g) != sym) continue;
        unsigned modifiers = 0;
        if (!LevelModifiers(type, level, locked, &modifiers)) continue;
        found->code = static_cast<KeyCode>(code);
        found->modifiers = modifiers;
        return true;
      }
    }
    return false;
  }

  // The level a key of `type` gives with `mods` down.
  static int LevelOf(XkbKeyTypePtr type, unsigned mods) {
    const unsigned relevant = mods & type->mods.mask;
    for (int i = 0; i < type->map_count; ++i)
      if (type->map[i].active && type->map[i].mods.mask == relevant) return type->map[i].level;
    return 0;
  }

  // The fewest modifiers (Lock never among them) that select `level` on a
  // key of `type` with `locked` on.
  static bool LevelModifiers(XkbKeyTypePtr type, int level, unsigned locked, unsigned* modifiers) {
    std::vector<unsigned> candidates = {0};
    for (int i = 0; i < type->map_count; ++i)
      if (type->map[i].active) candidates.push_back(type->map[i].mods.mask & ~LockMask);
    std::sort(candidates.begin(), candidates.end(),
              [](unsigned a, unsigned b) { return __builtin_popcount(a) < __builtin_popcount(b); });
    for (const unsigned mods : candidates) {
      if (LevelOf(type, mods | locked) != level) continue;
      *modifiers = mods;
      return true;
    }
    return false;
  }

  // The keycodes that set each modifier bit (the first one of each).
  KeyCode ModifierKey(unsigned bit) {
    XModifierKeymap* map = XGetModifierMapping(display_);
    KeyCode code = 0;
    if (map != nullptr) {
      for (int i = 0; i < map->max_keypermod && code == 0; ++i)
        code = map->modifiermap[bit * map->max_keypermod + i];
      XFreeModifiermap(map);
    }
    return code;
  }

  bool Press(const Key& key, unsigned held) {
    std::vector<KeyCode> down;
    for (unsigned bit = 0; bit < 8; ++bit) {
      const unsigned mask = 1u << bit;
      if (mask == LockMask) continue;
      const bool wanted = (key.modifiers & mask) != 0, on = (held & mask) != 0;
      if (wanted == on) continue;
      const KeyCode modifier = ModifierKey(bit);
      if (modifier == 0) return false;
      XTestFakeKeyEvent(display_, modifier, wanted ? True : False, CurrentTime);
      if (wanted) down.push_back(modifier);
    }
    XTestFakeKeyEvent(display_, key.code, True, CurrentTime);
    XTestFakeKeyEvent(display_, key.code, False, CurrentTime);
    for (auto it = down.rbegin(); it != down.rend(); ++it)
      XTestFakeKeyEvent(display_, *it, False, CurrentTime);
    // Modifiers the user held and the key did not want are pressed again.
    for (unsigned bit = 0; bit < 8; ++bit) {
      const unsigned mask = 1u << bit;
      if (mask == LockMask || (held & mask) == 0 || (key.modifiers & mask) != 0) continue;
      if (const KeyCode modifier = ModifierKey(bit); modifier != 0)
        XTestFakeKeyEvent(display_, modifier, True, CurrentTime);
    }
    XFlush(display_);
    return true;
  }

  void Pause() {
    XSync(display_, False);
    if (delay_ms_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
  }

  Display* display_;
  int delay_ms_ = 0;
};

}  // namespace

void Notify(const std::string& title, const std::string& body) {
  const char* argv[] = {"notify-send", "--app-name=korvel", title.c_str(), body.c_str(), nullptr};
  // Earlier ones that have ended are reaped; the new one is reaped next
  // time (or goes with the program).
  static std::vector<pid_t> running;
  std::erase_if(running, [](pid_t pid) { return waitpid(pid, nullptr, WNOHANG) != 0; });
  pid_t pid = 0;
  if (posix_spawnp(&pid, "notify-send", nullptr, nullptr, const_cast<char* const*>(argv), environ) == 0)
    running.push_back(pid);
}

std::unique_ptr<Typist> OpenTypist(std::string* error) {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || *name == '\0') {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    *error = (wayland != nullptr && *wayland != '\0')
                 ? "this is a Wayland session without an X display (DISPLAY is not set): the wedge types on "
                   "X11 only; Wayland is not covered"
                 : "no X display (DISPLAY is not set): the wedge types on X11 only; Wayland is not covered";
    return nullptr;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    *error = std::string("cannot open the X display ") + name;
    return nullptr;
  }
  int event = 0, reply = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display, &event, &reply, &major, &minor)) {
    XCloseDisplay(display);
    *error = std::string("the X display ") + name + " has no XTest extension: keys cannot be typed";
    return nullptr;
  }
  return std::make_unique<X11Typist>(display);
}

}  // namespace korvel::wedge
