#include "libs/svr/SPointerX11Callback.h"

namespace svr {

SPointerX11Callback::~SPointerX11Callback() = default;

} // namespace svr
