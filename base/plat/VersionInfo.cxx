#include "base/plat/VersionInfo.h"

#include "base/plat/Format.h"

#include <mutex>

namespace plat {

namespace {

struct Record {
  std::mutex lock;
  std::string display;
  std::string numeric;
};

Record& record() {
  static Record instance;
  return instance;
}

} // namespace

void VersionInfo::record(int major, int minor, int patch, const char* revision) {
  const char* rev = revision ? revision : "0";
  Record& r = plat::record();
  std::lock_guard<std::mutex> hold(r.lock);
  r.display = format("%d.%d.%d (%s)", major, minor, patch, rev);
  r.numeric = format("%d.%d.%d.%s", major, minor, patch, rev);
}

std::string VersionInfo::display() {
  Record& r = plat::record();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.display;
}

std::string VersionInfo::numeric() {
  Record& r = plat::record();
  std::lock_guard<std::mutex> hold(r.lock);
  return r.numeric;
}

} // namespace plat
