#pragma once

// A stand-in process table in a private temporary directory, laid out like
// /proc: one directory per PID with a "status" file (only its "Uid:" line
// matters) and an "environ" file of NUL-ended entries.

#include "testsupport/TempDir.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace txtest {

class FakeProcTree {
public:
  const std::string& root() const { return dir_.path(); }
  std::string path(const std::string& relative) const { return root() + "/" + relative; }

  // A process with real uid `uid` (the other three ids differ, so that only
  // the first one can be the one read) and the given environment entries.
  void addProcess(uint32_t pid, uint32_t uid, const std::vector<std::string>& env) {
    std::filesystem::create_directories(path(std::to_string(pid)));
    setUid(pid, uid);
    std::string environ;
    for (const std::string& entry : env)
      environ += entry + '\0';
    writeFile(std::to_string(pid) + "/environ", environ);
  }

  // A process whose only interesting variable is XAUTHORITY (none: unset).
  void addProcess(uint32_t pid, uint32_t uid, const std::optional<std::string>& xauthority) {
    std::vector<std::string> env{"PATH=/usr/bin:/bin", "HOME=/home/u"};
    if (xauthority)
      env.push_back("XAUTHORITY=" + *xauthority);
    addProcess(pid, uid, env);
  }

  void setUid(uint32_t pid, uint32_t uid) {
    writeFile(std::to_string(pid) + "/status", "Name:\tfake\nUid:\t" + std::to_string(uid) +
                                                 "\t1\t2\t3\nGid:\t100\t100\t100\t100\n");
  }

  void writeFile(const std::string& relative, const std::string& content) {
    std::ofstream out(path(relative), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
      throw std::runtime_error("cannot write " + path(relative));
  }

  void remove(const std::string& relative) { std::filesystem::remove_all(path(relative)); }

private:
  testsupport::TempDir dir_{"kwo-proc"};
};

} // namespace txtest
