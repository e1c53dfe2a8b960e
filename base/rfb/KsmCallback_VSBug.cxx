#include "base/rfb/KsmCallback_VSBug.h"

namespace rfb {

KsmCallback_VSBug::~KsmCallback_VSBug() = default;

} // namespace rfb
