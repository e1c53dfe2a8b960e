#pragma once

// Marks a description given as a message-catalogue key rather than as plain
// text, so that declarations read
//   plat::StringParameter log("Log", plat::LocKey("plat_param_log"), "");

namespace plat {

struct LocKey {
  constexpr explicit LocKey(const char* key) : key(key) {}
  const char* key;
};

} // namespace plat
