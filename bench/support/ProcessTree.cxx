#include "bench/support/ProcessTree.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace benchsupport {

namespace {

std::string procPath(pid_t pid, const char* file) {
  return "/proc/" + std::to_string(pid) + "/" + file;
}

// The fields of /proc/<pid>/stat after the command name, which may itself
// hold spaces and parentheses: the state is field 3.
bool statFields(pid_t pid, std::vector<std::string>& fields) {
  std::ifstream in(procPath(pid, "stat"));
  std::string line;
  if (!std::getline(in, line))
    return false;
  size_t close = line.rfind(')');
  if (close == std::string::npos)
    return false;
  std::istringstream rest(line.substr(close + 1));
  fields.clear();
  std::string field;
  while (rest >> field)
    fields.push_back(field);
  return fields.size() > 13;
}

long kiBField(pid_t pid, const char* file, const std::string& key) {
  std::ifstream in(procPath(pid, file));
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0)
      return std::stol(line.substr(key.size()));
  return -1;
}

template <typename Fn>
long sumOver(const std::vector<pid_t>& pids, Fn fn) {
  long total = 0;
  for (pid_t pid : pids) {
    long value = fn(pid);
    if (value > 0)
      total += value;
  }
  return total;
}

} // namespace

double ProcessTree::cpuSecondsOf(pid_t pid) {
  std::vector<std::string> fields;
  if (!statFields(pid, fields))
    return -1;
  // utime and stime are fields 14 and 15 of the whole line.
  double ticks = std::stod(fields[11]) + std::stod(fields[12]);
  return ticks / double(sysconf(_SC_CLK_TCK));
}

pid_t ProcessTree::parentOf(pid_t pid) {
  std::vector<std::string> fields;
  if (!statFields(pid, fields))
    return -1;
  return pid_t(std::stol(fields[1]));
}

long ProcessTree::residentKiBOf(pid_t pid) {
  return kiBField(pid, "status", "VmRSS:");
}

long ProcessTree::proportionalKiBOf(pid_t pid) {
  return kiBField(pid, "smaps_rollup", "Pss:");
}

std::vector<pid_t> ProcessTree::pids() const {
  std::vector<pid_t> tree;
  if (parentOf(root_) < 0)
    return tree;
  tree.push_back(root_);
  std::vector<std::pair<pid_t, pid_t>> all; // (pid, parent)
  if (DIR* dir = opendir("/proc")) {
    while (dirent* entry = readdir(dir)) {
      char* end = nullptr;
      long pid = std::strtol(entry->d_name, &end, 10);
      if (pid <= 0 || *end != '\0')
        continue;
      pid_t parent = parentOf(pid_t(pid));
      if (parent > 0)
        all.emplace_back(pid_t(pid), parent);
    }
    closedir(dir);
  }
  // Breadth first: each pass adds the children of what is already in.
  for (size_t i = 0; i < tree.size(); i++)
    for (const auto& [pid, parent] : all)
      if (parent == tree[i])
        tree.push_back(pid);
  return tree;
}

double ProcessTree::cpuSeconds() const {
  double total = 0;
  for (pid_t pid : pids()) {
    double seconds = cpuSecondsOf(pid);
    if (seconds > 0)
      total += seconds;
  }
  return total;
}

long ProcessTree::residentKiB() const {
  return sumOver(pids(), residentKiBOf);
}

long ProcessTree::proportionalKiB() const {
  return sumOver(pids(), proportionalKiBOf);
}

} // namespace benchsupport
