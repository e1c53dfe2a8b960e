#include "uilibs/tx/DesktopUserTally.h"

namespace tx {

DesktopUserTally::User& DesktopUserTally::count(uint32_t uid) {
  User& user = users_[uid];
  ++user.count;
  // Strictly greater: on a tie the user who got there first keeps it.
  if (user.count > bestCount_) {
    bestCount_ = user.count;
    best_ = uid;
  }
  return user;
}

std::optional<DesktopUserTally::Mismatch>
DesktopUserTally::add(uint32_t uid, const std::optional<std::string>& xauthority) {
  User& user = count(uid);
  if (!xauthority)
    return std::nullopt;
  if (!user.xauthority) {
    user.xauthority = xauthority;
    return std::nullopt;
  }
  if (*user.xauthority == *xauthority)
    return std::nullopt;
  Mismatch mismatch{*user.xauthority, *xauthority};
  user.mismatch = true;
  user.xauthority = xauthority;
  return mismatch;
}

void DesktopUserTally::addUnusable(uint32_t uid) {
  count(uid).mismatch = true;
}

std::optional<std::string> DesktopUserTally::xauthFile() const {
  if (!best_)
    return std::nullopt;
  const User& user = users_.at(*best_);
  if (user.mismatch)
    return std::nullopt;
  return user.xauthority;
}

} // namespace tx
