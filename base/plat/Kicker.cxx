#include "base/plat/Kicker.h"

#include "base/plat/Kickee.h"

namespace plat {

void Kicker::notifyKickee() {
  kickee_.kicked(*this);
}

} // namespace plat
