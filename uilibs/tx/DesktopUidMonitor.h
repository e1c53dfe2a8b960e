#pragma once

// Works out which user owns the desktop of the display, and that user's X
// authority file, for an agent running as root; reports every change.
//
// The answer comes from the root-window property "KWO_DESKTOP_UID" (a
// CARDINAL set by the display manager) when it is there, otherwise from a
// scan: the processes named by the _NET_WM_PID of normal and dock windows
// are looked up in the process table, the user with the most of them wins,
// and their XAUTHORITY is the file when all of that user's processes agree.
//
// The first check runs on the first loop turn after construction and always
// reports, even when nobody is found (uid 0xFFFFFFFF). After that the
// monitor only listens: a change of "KWO_DESKTOP_UID", or any root property
// that a starting session sets, arms up to five checks a second apart,
// which report as soon as the answer (the uid or the authority file) differs
// from the last one reported.

#include "uilibs/tx/EnumWindows.h"
#include "uilibs/tx/TXEventHandler.h"

#include "base/plat/Timer.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace tx {

class DesktopUidMonitor : private plat::Timer::Callback,
                          private EnumWindowsCallback,
                          private TXEventHandler {
public:
  class Callback {
  public:
    virtual ~Callback() = default;
    // `uid` is noUid when no user was found; `xauthFile` is none when the
    // user's X authority file is not known. Called from the loop's timer
    // run; must not throw.
    virtual void desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) = 0;
  };

  static constexpr uint32_t noUid = 0xFFFFFFFF;
  static constexpr int maxRetries = 5;
  static constexpr int32_t retryIntervalMs = 1000;
  // The file name travels to the server as a short string.
  static constexpr size_t maxXauthFileLength = 255;

  // The display must be open and the thread must have a current timer
  // manager. `callback` is not owned and must outlive the monitor.
  // `procRoot` is the process table to read (tests give a tree of their
  // own).
  explicit DesktopUidMonitor(Callback& callback, std::string procRoot = "/proc");
  ~DesktopUidMonitor() override;
  DesktopUidMonitor(const DesktopUidMonitor&) = delete;
  DesktopUidMonitor& operator=(const DesktopUidMonitor&) = delete;

  // The uid last reported; noUid before the first report.
  uint32_t lastUid() const { return lastUid_; }
  // The X authority file found by the latest check.
  const std::optional<std::string>& xauthFile() const { return xauthFile_; }
  // Checks still allowed after the latest trigger.
  int retries() const { return retries_; }
  // Whether a check is due.
  bool checkPending() const { return timer_.isRunning(); }

  // One determination of the desktop user (also sets xauthFile()); noUid
  // when nobody is found.
  uint32_t determineUid();

private:
  bool timerFired(plat::Timer& timer) override;
  bool enumWindow(Window window) override;
  void handleEvent(const XEvent& event) override;

  std::optional<uint32_t> uidFromProperty();
  uint32_t scanProcesses();

  Callback& callback_;
  std::string procRoot_;
  plat::Timer timer_{*this};
  int retries_ = 0;
  uint32_t lastUid_ = noUid;
  // Until the first check has reported, events need no reaction: that
  // check runs after them and sees what they announced.
  bool firstCheckDone_ = false;
  std::optional<std::string> xauthFile_;
  std::optional<std::string> lastXauthFile_;
  // Scratch of one scan: the PIDs named by windows.
  std::set<uint32_t> windowPids_;
};

} // namespace tx
