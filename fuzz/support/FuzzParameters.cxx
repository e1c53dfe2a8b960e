#include "fuzz/support/FuzzParameters.h"

#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/ParameterAlias.h"
#include "base/plat/S64Parameter.h"
#include "base/plat/StringParameter.h"

namespace fuzz {

namespace {

const char* const fruits[] = {"Apple", "Pear", "Quince", nullptr};

plat::BoolParameter fuzzBool("FuzzBool", "A switch for fuzzing", false);
plat::IntParameter fuzzInt("FuzzInt", "A number for fuzzing", 7, -5, 1000);
plat::StringParameter fuzzText("FuzzText", "A text for fuzzing", "plain");
plat::EnumParameter fuzzEnum("FuzzEnum", "A choice for fuzzing", fruits, 1);
plat::BinaryParameter fuzzBinary("FuzzBinary", "Bytes for fuzzing");
plat::S64Parameter fuzzS64("FuzzS64", "A wide number for fuzzing", -2);
plat::ParameterAlias fuzzBoth("FuzzBoth", "FuzzText,FuzzInt");

} // namespace

void declareFuzzParameters() {}

} // namespace fuzz
