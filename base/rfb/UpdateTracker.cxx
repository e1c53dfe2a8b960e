#include "base/rfb/UpdateTracker.h"

namespace rfb {

UpdateTracker::~UpdateTracker() = default;

} // namespace rfb
