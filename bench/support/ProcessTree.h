#pragma once

// CPU time and memory of a process together with its descendants, read from
// /proc: the whole server side of a peer (kwo-serve and the agent it runs,
// or x11vnc alone). The tree is looked up again at each reading, so that
// children started later count; time spent by children that have already
// exited is lost.

#include <sys/types.h>

#include <vector>

namespace benchsupport {

class ProcessTree {
public:
  explicit ProcessTree(pid_t root) : root_(root) {}

  // The root and every process below it, the root first; empty when the
  // root is gone.
  std::vector<pid_t> pids() const;

  // utime + stime of the tree in seconds (clock ticks, so 10 ms steps).
  double cpuSeconds() const;
  // Sum of VmRSS (shared pages count once per process that maps them) and
  // of Pss (shared pages split between the processes), in KiB.
  long residentKiB() const;
  long proportionalKiB() const;

  // One process's figures; -1 when it is gone.
  static double cpuSecondsOf(pid_t pid);
  static long residentKiBOf(pid_t pid);
  static long proportionalKiBOf(pid_t pid);
  static pid_t parentOf(pid_t pid);

private:
  pid_t root_;
};

} // namespace benchsupport
