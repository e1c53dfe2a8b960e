#include "base/plat/DynamicFn.h"

#include "base/plat/DynamicFnLoadFailed.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"

#include <dlfcn.h>
#include <mutex>
#include <vector>

namespace plat {

namespace {

LogSrc vlog("DynamicFn");

// The dynamic loader's error state is process-wide, and a handle closed by
// one search must not be reused by another meanwhile.
std::mutex& searchMutex() {
  static std::mutex mutex;
  return mutex;
}

struct Candidate {
  std::string name;
  std::vector<std::string> versions;
  bool hasVersions = false;
};

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos)
      comma = text.size();
    if (comma > start)
      parts.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return parts;
}

// Splits "A[1,2],B,/x/libC.so" into its candidates; commas inside a version
// list do not separate candidates.
std::vector<Candidate> parseSpec(const std::string& spec) {
  std::vector<Candidate> candidates;
  size_t pos = 0;
  while (pos < spec.size()) {
    size_t end = spec.find_first_of(",[", pos);
    Candidate candidate;
    candidate.name = spec.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? spec.size() : end;
    if (pos < spec.size() && spec[pos] == '[') {
      size_t close = spec.find(']', pos);
      size_t listEnd = close == std::string::npos ? spec.size() : close;
      candidate.versions = splitList(spec.substr(pos + 1, listEnd - pos - 1));
      candidate.hasVersions = true;
      pos = close == std::string::npos ? spec.size() : close + 1;
      // Anything between "]" and the next "," is not part of any name.
      size_t comma = spec.find(',', pos);
      pos = comma == std::string::npos ? spec.size() : comma;
    }
    if (pos < spec.size())
      pos++; // the separating ","
    if (!candidate.name.empty())
      candidates.push_back(std::move(candidate));
  }
  return candidates;
}

// The files one candidate stands for, in the order they are tried.
std::vector<std::string> filesOf(const Candidate& candidate) {
  if (candidate.hasVersions) {
    std::vector<std::string> files;
    for (const std::string& version : candidate.versions)
      files.push_back(format("lib%s.so.%s", candidate.name.c_str(), version.c_str()));
    return files;
  }
  if (candidate.name.find('/') != std::string::npos)
    return {candidate.name};
  return {format("lib%s.so", candidate.name.c_str())};
}

// A library whose functions were handed out must stay mapped even after its
// handle is closed: it may have registered callbacks elsewhere (an X
// extension library hooks every connection it touched, and Xlib calls those
// hooks when a connection closes), and data it allocated may only be
// reachable through its own statics.
void keepMapped(const std::string& file) {
  void* pin = dlopen(file.c_str(), RTLD_LAZY | RTLD_GLOBAL | RTLD_NOLOAD | RTLD_NODELETE);
  if (pin)
    dlclose(pin);
}

} // namespace

DynamicFn::DynamicFn(const char* librarySpec, const char* symbolList, bool pathsOnly)
  : spec_(librarySpec ? librarySpec : ""), symbols_(symbolList ? symbolList : "") {
  std::vector<std::string> files;
  if (pathsOnly) {
    files = splitList(spec_);
  } else {
    for (const Candidate& candidate : parseSpec(spec_)) {
      std::vector<std::string> more = filesOf(candidate);
      files.insert(files.end(), more.begin(), more.end());
    }
  }
  for (const std::string& file : files) {
    if (tryFile(file))
      return;
  }
}

DynamicFn::~DynamicFn() {
  if (handle_)
    dlclose(handle_);
}

bool DynamicFn::tryFile(const std::string& file) {
  std::lock_guard<std::mutex> lock(searchMutex());
  if (handle_) {
    dlclose(handle_);
    handle_ = nullptr;
  }
  handle_ = dlopen(file.c_str(), RTLD_LAZY | RTLD_GLOBAL);
  if (!handle_) {
    vlog.debug(" [DynFnOpen(%s) failed]", file.c_str());
    return false;
  }
  for (const std::string& symbol : splitList(symbols_)) {
    void* fn = dlsym(handle_, symbol.c_str());
    if (!fn) {
      vlog.debug("  [DynFnFind(%s) failed]", symbol.c_str());
      continue;
    }
    vlog.debug("found '%s' in '%s'", symbol.c_str(), file.c_str());
    keepMapped(file);
    fn_ = fn;
    file_ = file;
    return true;
  }
  dlclose(handle_);
  handle_ = nullptr;
  return false;
}

void DynamicFn::throwNotFound() const {
  throw DynamicFnLoadFailed(
    format("Function %s not found in %s library", symbols_.c_str(), spec_.c_str()));
}

} // namespace plat
