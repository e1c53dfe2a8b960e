#pragma once

// What a damage test asks of the capture engine that runs it.

#include "base/rfb/Region.h"

namespace svr {

class DamageTest;

class DamageTestCallback {
public:
  virtual ~DamageTestCallback() = default;

  // Fetch the damage reported so far and hand it to the test (addDamage).
  virtual void collectDamage() = 0;
  // The test's one result. `any`: some damage was reported; `all`: damage
  // covered every real change; `nonFull`: some report was smaller than the
  // whole buffer. The engine deletes `test` here (the test touches nothing
  // after this call).
  virtual void damageTestResult(DamageTest* test, bool any, bool all, bool nonFull) = 0;
};

} // namespace svr
