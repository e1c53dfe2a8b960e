#pragma once

// Picks the desktop user from the processes that own top-level windows: the
// user with the most such processes (on a tie, the one counted first), and
// that user's X authority file when all of the user's processes that name
// one name the same.
//
// Per user it keeps the process count, the last XAUTHORITY value seen and a
// mismatch flag; the flag, once set, stays set for the scan.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace tx {

class DesktopUserTally {
public:
  struct Mismatch {
    std::string stored;
    std::string seen;
  };

  // Counts one process of `uid`. `xauthority` is the value of its
  // XAUTHORITY, or none when it has none. Returns the two values when they
  // disagree with what the user's earlier processes named.
  std::optional<Mismatch> add(uint32_t uid, const std::optional<std::string>& xauthority);
  // Counts one process of `uid` whose XAUTHORITY is set but cannot be
  // compared (for example one too long to report): the user's file is then
  // no longer known for certain.
  void addUnusable(uint32_t uid);

  // The chosen user; none when no process was counted.
  std::optional<uint32_t> bestUid() const { return best_; }
  // The chosen user's X authority file; none when no user was chosen, none
  // of the user's processes named one, or they disagreed.
  std::optional<std::string> xauthFile() const;

private:
  struct User {
    int count = 0;
    std::optional<std::string> xauthority;
    bool mismatch = false;
  };

  User& count(uint32_t uid);

  std::map<uint32_t, User> users_;
  std::optional<uint32_t> best_;
  int bestCount_ = 0;
};

} // namespace tx
