#pragma once

// plat::KeyStateModifier::Callback under a name of this namespace, so that
// the key interpreter can name it as a private base: some compilers reject a
// nested class of another namespace in that position.

#include "base/plat/KeyStateModifier.h"

namespace rfb {

class KsmCallback_VSBug : public plat::KeyStateModifier::Callback {
public:
  ~KsmCallback_VSBug() override;
};

} // namespace rfb
