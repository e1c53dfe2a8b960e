#include "base/plat/KeyStateModifier.h"

#include "base/plat/Exception.h"
#include "base/plat/LogSrc.h"

namespace plat {

namespace {

LogSrc vlog("KeyStateModifier");

} // namespace

KeyStateModifier::~KeyStateModifier() {
  // A key left down by an interrupted undo would stay stuck on the desktop,
  // so every remaining change is still undone.
  for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
    try {
      callback_.setKeyState(it->first, !it->second);
    } catch (const Exception& e) {
      vlog.status("Undoing key state of keycode %d: %s", it->first, e.describe().c_str());
    }
  }
}

void KeyStateModifier::set(int keycode, bool down) {
  callback_.setKeyState(keycode, down);
  changes_.emplace_back(keycode, down);
}

} // namespace plat
