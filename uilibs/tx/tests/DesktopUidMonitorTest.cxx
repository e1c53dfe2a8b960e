// GoogleTest before Xlib (through XTestHelpers.h): Xlib's macros break it.
#include "FakeProcTree.h"
#include "XTestHelpers.h"

#include "uilibs/tx/DesktopUidMonitor.h"

#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"

#include <X11/Xatom.h>

#include <optional>

namespace {

using txtest::FakeProcTree;
using txtest::TestClient;

constexpr uint32_t noUid = tx::DesktopUidMonitor::noUid;

using Report = std::pair<uint32_t, std::optional<std::string>>;
using Reports = std::vector<Report>;

struct RecordingCallback : tx::DesktopUidMonitor::Callback {
  void desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) override {
    reports.push_back({uid, xauthFile});
  }
  Reports reports;
};

// Root properties the tests set; each test leaves without them.
const char* const rootProperties[] = {"KWO_DESKTOP_UID", "KWO_TEST_OTHER", "_NET_SUPPORTED",
                                      "_NET_SUPPORTING_WM_CHECK", "_MIT_PRIORITY_COLORS",
                                      "_MOTIF_WM_INFO", "RESOURCE_MANAGER"};

// PIDs above the kernel's largest (4194304) cannot belong to real
// processes, so windows of other tests never name them.
constexpr uint32_t pidA = 5000001;

class DesktopUidMonitorTest : public ::testing::Test {
protected:
  void SetUp() override { txtest::toolkitDisplay(); }
  void TearDown() override {
    monitor.reset();
    for (const char* name : rootProperties)
      XDeleteProperty(client.dpy(), client.root(), client.atom(name));
    settle();
  }

  // Once the other client's requests are done and the toolkit has been
  // answered after them, the toolkit holds their events: dispatches them.
  void settle() {
    XSync(client.dpy(), False);
    XSync(tx::display(), False);
    txtest::dispatchEvents();
  }

  void setRootProperty(const char* name, Atom type, int format, const void* data, int items) {
    XChangeProperty(client.dpy(), client.root(), client.atom(name), type, format,
                    PropModeReplace, static_cast<const unsigned char*>(data), items);
    settle();
  }
  void setRootValue(const char* name, long value, Atom type = XA_CARDINAL) {
    setRootProperty(name, type, 32, &value, 1);
  }

  // A top-level window of the other client (or a child of `parent`) naming
  // `pid` in _NET_WM_PID (as `pidType`) and, if given, a window type.
  Window addWindow(std::optional<long> pid, const char* type = nullptr, Window parent = 0,
                   Atom pidType = XA_CARDINAL) {
    Window window = parent ? XCreateSimpleWindow(client.dpy(), parent, 0, 0, 5, 5, 0, 0, 0)
                           : client.createWindow(0);
    if (pid)
      XChangeProperty(client.dpy(), window, client.atom("_NET_WM_PID"), pidType, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&*pid), 1);
    if (type) {
      long typeAtom = long(client.atom(type));
      XChangeProperty(client.dpy(), window, client.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&typeAtom), 1);
    }
    XSync(client.dpy(), False);
    return window;
  }

  // Runs the timers after `ms` milliseconds of fake time.
  void after(int ms) {
    clock.advanceMs(ms);
    timers.processTimers();
  }

  // A new monitor and its first check, due at once.
  Reports firstCheck() {
    callback.reports.clear();
    monitor.reset();
    monitor.emplace(callback, procs.root());
    timers.processTimers();
    return callback.reports;
  }

  TestClient client;
  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  FakeProcTree procs;
  RecordingCallback callback;
  std::optional<tx::DesktopUidMonitor> monitor;
};

TEST_F(DesktopUidMonitorTest, AValidUidPropertyIsUsedWithoutAScan) {
  procs.addProcess(pidA, 1001, std::string("/home/b/.Xauthority"));
  addWindow(long(pidA));
  const Report scanned{1001, "/home/b/.Xauthority"}, none{1000, std::nullopt};
  const long two[] = {1000, 2000}, highest = long(0xFFFFFFFEu), noUser = long(noUid);
  const short sixteen[] = {1000, 0};
  const struct {
    const char* name;
    Atom type;
    int format;
    const void* data;
    int items;
    Report expected;
  } cases[] = {
    {"first of two", XA_CARDINAL, 32, two, 2, none},
    {"highest uid", XA_CARDINAL, 32, &highest, 1, {0xFFFFFFFEu, std::nullopt}},
    {"INTEGER instead of CARDINAL", XA_INTEGER, 32, two, 1, scanned},
    {"format 16", XA_CARDINAL, 16, sixteen, 2, scanned},
    {"no items", XA_CARDINAL, 32, two, 0, scanned},
    {"the no-user value", XA_CARDINAL, 32, &noUser, 1, scanned},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setRootProperty("KWO_DESKTOP_UID", c.type, c.format, c.data, c.items);
    EXPECT_EQ(firstCheck(), Reports{c.expected});
    EXPECT_EQ(monitor->lastUid(), c.expected.first);
    EXPECT_FALSE(monitor->checkPending());
  }
}

TEST_F(DesktopUidMonitorTest, AUidChangeStartsFiveChecksASecondApart) {
  // Found by a scan, with its authority file; a uid from the property later
  // comes without the file.
  procs.addProcess(pidA, 1000, std::string("/home/a/.Xauthority"));
  addWindow(long(pidA));
  ASSERT_EQ(firstCheck(), (Reports{{1000, "/home/a/.Xauthority"}}));

  setRootValue("KWO_DESKTOP_UID", 2000);
  EXPECT_TRUE(monitor->checkPending());
  after(999);
  EXPECT_EQ(callback.reports.size(), 1u);
  after(1);
  EXPECT_EQ(callback.reports, (Reports{{1000, "/home/a/.Xauthority"}, {2000, std::nullopt}}));
  EXPECT_FALSE(monitor->checkPending());

  // The same uid again: five silent checks, then none.
  setRootValue("KWO_DESKTOP_UID", 2000);
  for (int check = 1; check <= tx::DesktopUidMonitor::maxRetries; ++check) {
    ASSERT_TRUE(monitor->checkPending());
    after(1000);
    EXPECT_EQ(monitor->retries(), tx::DesktopUidMonitor::maxRetries - check);
  }
  EXPECT_FALSE(monitor->checkPending());

  // A new trigger during the checks renews the allowance but keeps the
  // pending time.
  setRootValue("KWO_DESKTOP_UID", 2000);
  after(1000);
  after(500);
  setRootValue("KWO_DESKTOP_UID", 3000);
  EXPECT_EQ(monitor->retries(), 5);
  after(500);
  EXPECT_EQ(callback.reports.size(), 3u);
  EXPECT_EQ(callback.reports.back(), (Report{3000, std::nullopt}));
  EXPECT_FALSE(monitor->checkPending());
}

TEST_F(DesktopUidMonitorTest, TheScanCountsProcessesOwningOrdinaryWindows) {
  uint32_t pid = 5000100;
  // `count` processes of `uid`, each owning one window of `type`.
  auto add = [&](int count, uint32_t uid, const char* type, Window parent = 0) {
    for (int i = 0; i < count; i++) {
      procs.addProcess(++pid, uid, std::string("/auth/") + std::to_string(uid));
      addWindow(long(pid), type, parent);
    }
  };
  add(3, 1000, nullptr);
  add(2, 1001, "_NET_WM_WINDOW_TYPE_DOCK");
  add(2, 1001, "_NET_WM_WINDOW_TYPE_NORMAL");
  // Processes without windows do not count, nor do PIDs of the wrong type.
  for (int i = 0; i < 6; i++) {
    procs.addProcess(++pid, 1002, std::string("/x"));
    addWindow(long(++pid), nullptr, 0, XA_INTEGER);
    procs.addProcess(pid, 1002, std::string("/x"));
  }
  EXPECT_EQ(firstCheck(), (Reports{{1001, "/auth/1001"}}));

  // Dialogs and splashes do not count...
  add(2, 1000, "_NET_WM_WINDOW_TYPE_DIALOG");
  add(1, 1000, "_NET_WM_WINDOW_TYPE_SPLASH");
  EXPECT_EQ(firstCheck(), (Reports{{1001, "/auth/1001"}}));
  // ... typeless children inside a dialog do.
  add(2, 1000, nullptr, addWindow(std::nullopt, "_NET_WM_WINDOW_TYPE_DIALOG"));
  EXPECT_EQ(firstCheck(), (Reports{{1000, "/auth/1000"}}));
  EXPECT_EQ(monitor->xauthFile(), "/auth/1000");
}

TEST_F(DesktopUidMonitorTest, OnceAUserIsKnownOnlyUidAndSessionPropertiesLookAgain) {
  procs.addProcess(pidA, 1000, std::string("/a"));
  addWindow(long(pidA));
  ASSERT_EQ(firstCheck().size(), 1u);
  setRootValue("KWO_TEST_OTHER", 1);
  EXPECT_FALSE(monitor->checkPending());

  for (const char* name : {"_NET_SUPPORTED", "_MIT_PRIORITY_COLORS", "_MOTIF_WM_INFO",
                           "RESOURCE_MANAGER"}) {
    SCOPED_TRACE(name);
    setRootValue(name, 1);
    EXPECT_TRUE(monitor->checkPending());
    for (int i = 0; i < tx::DesktopUidMonitor::maxRetries; ++i)
      after(1000);
    ASSERT_FALSE(monitor->checkPending());
  }
  EXPECT_EQ(callback.reports.size(), 1u);

  // A session starts: its processes change owner, then its window manager
  // appears.
  procs.setUid(pidA, 1005);
  setRootValue("_NET_SUPPORTING_WM_CHECK", long(client.root()), XA_WINDOW);
  after(1000);
  // Used to go unreported: only a change of uid counted.
  procs.addProcess(pidA, 1005, std::string("/b"));
  setRootValue("_NET_SUPPORTING_WM_CHECK", long(client.root()), XA_WINDOW);
  after(1000);
  EXPECT_EQ(callback.reports, (Reports{{1000, "/a"}, {1005, "/a"}, {1005, "/b"}}));
}

TEST_F(DesktopUidMonitorTest, AnEventBeforeTheFirstCheckDoesNotSilenceIt) {
  // Used to go wrong: the event armed the re-check allowance, so the first
  // check found "no user" equal to the initial value and stayed silent.
  monitor.emplace(callback, procs.root());
  setRootValue("KWO_TEST_OTHER", 1);
  timers.processTimers();
  EXPECT_EQ(callback.reports, (Reports{{noUid, std::nullopt}}));
  EXPECT_FALSE(monitor->checkPending());

  // While nobody is known, any root change looks again.
  procs.addProcess(pidA, 1000, std::string("/a"));
  setRootValue("KWO_TEST_OTHER", 2);
  EXPECT_TRUE(monitor->checkPending());
  addWindow(long(pidA));
  after(1000);
  EXPECT_EQ(callback.reports, (Reports{{noUid, std::nullopt}, {1000, "/a"}}));

  // A destroyed monitor no longer listens.
  monitor.reset();
  setRootValue("KWO_DESKTOP_UID", 2000);
  EXPECT_EQ(timers.msUntilNext(), -1);
  EXPECT_EQ(callback.reports.size(), 2u);
}

} // namespace
