#pragma once

// A clipboard window callback that records what each fetch cycle reported.

#include "uilibs/tx/TXClipboardWindow.h"

#include <string>
#include <string_view>
#include <vector>

namespace cliptest {

class Recorder : public tx::TXClipboardWindow::Callback {
public:
  struct Changed {
    std::string text;
    bool initial;
  };
  struct Unchanged {
    bool ownedByUs;
    bool timedOut;
    bool initial;
  };

  bool primary = true;
  std::vector<Changed> changed;
  std::vector<Unchanged> unchanged;

  // Cycles that ended, however they ended.
  size_t cycles() const { return changed.size() + unchanged.size(); }

  bool sendPrimary() override { return primary; }
  void cutTextChanged(std::string_view text, bool initial) override {
    changed.push_back({std::string(text), initial});
  }
  void cutTextUnchanged(bool ownedByUs, bool timedOut, bool initial) override {
    unchanged.push_back({ownedByUs, timedOut, initial});
  }
};

} // namespace cliptest
