#include "fuzz/support/FuzzEnv.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/LogSetting.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fuzz {

namespace {

void resetGroup(const plat::Configuration& group) {
  for (plat::ConfigParameter* param = group.head(); param; param = param->next())
    param->reset(false);
  for (const plat::Configuration* child : group.children())
    resetGroup(*child);
}

std::string makePrivateDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/kwo-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  return buffer.data();
}

void removePrivateDir() {
  std::error_code ignored;
  std::filesystem::remove_all(privateDir(), ignored);
}

} // namespace

void pinLogSetting(const std::string& setting) {
  plat::endStartup();
  plat::setLogSetting(setting);
}

void resetAllParameters() {
  resetGroup(plat::Configuration::global());
}

const std::string& privateDir() {
  // Never destroyed: the exit handler that removes the folder runs after
  // static destructors would have.
  static const std::string* dir = [] {
    auto* made = new std::string(makePrivateDir());
    std::atexit(removePrivateDir);
    return made;
  }();
  return *dir;
}

void require(bool condition, const char* what, std::string_view detail) {
  if (condition)
    return;
  std::fprintf(stderr, "check failed: %s %.*s\n", what, int(detail.size()), detail.data());
  std::abort();
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::perror(path.c_str());
    std::abort();
  }
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    std::perror(path.c_str());
    std::abort();
  }
  std::fclose(file);
}

} // namespace fuzz
