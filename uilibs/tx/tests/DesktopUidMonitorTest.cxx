// GoogleTest before Xlib (through TXTestClient.h): Xlib's macros break it.
#include "FakeProcTree.h"
#include "TXTestClient.h"

#include "uilibs/tx/DesktopUidMonitor.h"

#include "base/plat/TimerManager.h"
#include "base/plat/tests/TimerTestSupport.h"
#include "testsupport/LogRecorder.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <optional>

namespace {

using txtest::FakeProcTree;
using txtest::TestClient;

constexpr uint32_t noUid = tx::DesktopUidMonitor::noUid;

struct Report {
  uint32_t uid;
  std::optional<std::string> xauthFile;
  bool operator==(const Report& other) const {
    return uid == other.uid && xauthFile == other.xauthFile;
  }
};

std::ostream& operator<<(std::ostream& out, const Report& report) {
  return out << "{" << report.uid << ", " << report.xauthFile.value_or("(none)") << "}";
}

class RecordingCallback : public tx::DesktopUidMonitor::Callback {
public:
  void desktopUidChanged(uint32_t uid, const std::optional<std::string>& xauthFile) override {
    reports.push_back({uid, xauthFile});
  }
  std::vector<Report> reports;
};

// Root properties the tests set; each test starts without them.
const char* const rootProperties[] = {"KWO_DESKTOP_UID", "KWO_TEST_OTHER", "_NET_SUPPORTED",
                                      "_NET_SUPPORTING_WM_CHECK", "_MIT_PRIORITY_COLORS",
                                      "_MOTIF_WM_INFO", "RESOURCE_MANAGER"};

class DesktopUidMonitorTest : public ::testing::Test {
protected:
  void SetUp() override {
    txtest::openSharedDisplay();
    deleteRootProperties();
    // Events of earlier tests must not reach this test's monitor.
    XSync(tx::display(), False);
    txtest::dispatchEvents();
    tx::TXEventDispatcher::addRootEventHandler(&seen, true, PropertyChangeMask);
  }

  void TearDown() override {
    monitor.reset();
    tx::TXEventDispatcher::addRootEventHandler(&seen, false, 0);
    deleteRootProperties();
  }

  void deleteRootProperties() {
    for (const char* name : rootProperties)
      XDeleteProperty(client.dpy(), client.root(), client.atom(name));
    XSync(client.dpy(), False);
  }

  void startMonitor() { monitor.emplace(callback, procs.root()); }

  // Sets a root property from the other client and waits until the
  // toolkit has dispatched its PropertyNotify (so the monitor has seen it).
  void setRootProperty(const char* name, Atom type, int format, const void* data, int items) {
    Atom atom = client.atom(name);
    XChangeProperty(client.dpy(), client.root(), atom, type, format, PropModeReplace,
                    static_cast<const unsigned char*>(data), items);
    XSync(client.dpy(), False);
    waitForRootEvent(atom);
  }

  void setRootValue(const char* name, long value, Atom type = XA_CARDINAL) {
    setRootProperty(name, type, 32, &value, 1);
  }

  void setDesktopUid(long uid) { setRootValue("KWO_DESKTOP_UID", uid); }

  void waitForRootEvent(Atom atom) {
    auto arrived = [&] {
      return std::any_of(seen.events.begin(), seen.events.end(), [&](const XEvent& e) {
        return e.type == PropertyNotify && e.xproperty.atom == atom;
      });
    };
    ASSERT_TRUE(txtest::pumpUntil(arrived));
    seen.events.clear();
  }

  // A top-level window of the other client (or a child of `parent`) naming
  // `pid` in _NET_WM_PID and, if given, a window type.
  Window addWindow(std::optional<long> pid, const char* type = nullptr, Window parent = 0) {
    Window window = parent ? XCreateSimpleWindow(client.dpy(), parent, 0, 0, 5, 5, 0, 0, 0)
                           : client.createWindow(0);
    if (pid)
      XChangeProperty(client.dpy(), window, client.atom("_NET_WM_PID"), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&*pid), 1);
    if (type) {
      long typeAtom = long(client.atom(type));
      XChangeProperty(client.dpy(), window, client.atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&typeAtom), 1);
    }
    XSync(client.dpy(), False);
    return window;
  }

  // A process of `uid` that owns one window.
  void addWindowProcess(uint32_t pid, uint32_t uid, const std::optional<std::string>& xauth,
                        const char* type = nullptr) {
    procs.addProcess(pid, uid, xauth);
    addWindow(long(pid), type);
  }

  // Runs the timers after `ms` milliseconds of fake time.
  void after(int ms) {
    clock.advanceMs(ms);
    timers.processTimers();
  }

  // The first check, due at once after construction.
  std::vector<Report> firstCheck() {
    startMonitor();
    timers.processTimers();
    return callback.reports;
  }

  TestClient client;
  plat_test::FakeClock clock;
  plat::TimerManager timers{true, &clock};
  FakeProcTree procs;
  RecordingCallback callback;
  txtest::RecordingHandler seen;
  std::optional<tx::DesktopUidMonitor> monitor;
};

// PIDs above the kernel's largest (4194304) cannot belong to real
// processes, so windows of other tests never name them.
constexpr uint32_t pidA = 5000001, pidB = 5000002, pidC = 5000003, pidD = 5000004,
                   pidE = 5000005;

TEST_F(DesktopUidMonitorTest, ThePropertyGivesTheUidWithoutAScan) {
  addWindowProcess(pidA, 1001, "/home/b/.Xauthority");
  procs.remove(std::to_string(pidA) + "/environ");
  setDesktopUid(1000);
  testsupport::LogRecorder recorder("*", 110);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, std::nullopt}}));
  EXPECT_EQ(monitor->lastUid(), 1000u);
  EXPECT_FALSE(monitor->checkPending());
  // A scan would have tried the missing environment and said so.
  EXPECT_TRUE(recorder.texts("ProcessTable").empty());
  std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].source, "DesktopUidMonitor");
  EXPECT_EQ(lines[0].level, 30);
  EXPECT_EQ(lines[0].text, "Starting desktop uid monitor");
  EXPECT_EQ(lines[1].level, 30);
  EXPECT_EQ(lines[1].text, "Desktop user is 1000");
}

TEST_F(DesktopUidMonitorTest, AValidPropertyIsReadAsItsFirstItem) {
  struct Case {
    const char* name;
    std::vector<long> items;
    uint32_t uid;
  };
  const std::vector<Case> cases = {
    {"root", {0}, 0u},
    {"first of two", {1000, 2000}, 1000u},
    {"highest uid", {long(0xFFFFFFFEu)}, 0xFFFFFFFEu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    callback.reports.clear();
    monitor.reset();
    setRootProperty("KWO_DESKTOP_UID", XA_CARDINAL, 32, c.items.data(), int(c.items.size()));
    EXPECT_EQ(firstCheck(), (std::vector<Report>{{c.uid, std::nullopt}}));
  }
}

TEST_F(DesktopUidMonitorTest, MalformedPropertiesFallBackToTheScan) {
  addWindowProcess(pidA, 1001, "/home/b/.Xauthority");
  const long cardinal32 = 1000;
  const short cardinal16[] = {1000, 0};
  const char text[] = "1000";
  const long noUser = long(noUid);
  struct Case {
    const char* name;
    Atom type;
    int format;
    const void* data;
    int items;
  };
  const std::vector<Case> cases = {
    {"INTEGER instead of CARDINAL", XA_INTEGER, 32, &cardinal32, 1},
    {"ATOM instead of CARDINAL", XA_ATOM, 32, &cardinal32, 1},
    {"format 16", XA_CARDINAL, 16, cardinal16, 2},
    {"format 8", XA_CARDINAL, 8, text, 4},
    {"string", XA_STRING, 8, text, 4},
    {"no items", XA_CARDINAL, 32, &cardinal32, 0},
    {"the no-user value", XA_CARDINAL, 32, &noUser, 1},
  };
  testsupport::LogRecorder recorder("DesktopUidMonitor", 110);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    callback.reports.clear();
    recorder.clear();
    monitor.reset();
    setRootProperty("KWO_DESKTOP_UID", c.type, c.format, c.data, c.items);
    EXPECT_EQ(firstCheck(), (std::vector<Report>{{1001, "/home/b/.Xauthority"}}));
    std::vector<std::string> texts = recorder.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "Desktop user is 1001"), texts.end());
  }
}

TEST_F(DesktopUidMonitorTest, AChangedPropertyIsReportedAtTheNextCheck) {
  setDesktopUid(1000);
  ASSERT_EQ(firstCheck().size(), 1u);

  setDesktopUid(2000);
  EXPECT_TRUE(monitor->checkPending());
  EXPECT_EQ(monitor->retries(), tx::DesktopUidMonitor::maxRetries);
  after(999);
  EXPECT_EQ(callback.reports.size(), 1u);
  after(1);
  EXPECT_EQ(callback.reports,
            (std::vector<Report>{{1000, std::nullopt}, {2000, std::nullopt}}));
  EXPECT_FALSE(monitor->checkPending());
  EXPECT_EQ(monitor->lastUid(), 2000u);
}

TEST_F(DesktopUidMonitorTest, TheSameUidAgainGivesFiveSilentChecks) {
  setDesktopUid(1000);
  ASSERT_EQ(firstCheck().size(), 1u);

  setDesktopUid(1000);
  for (int check = 1; check <= tx::DesktopUidMonitor::maxRetries; ++check) {
    SCOPED_TRACE(check);
    ASSERT_TRUE(monitor->checkPending());
    after(999);
    EXPECT_EQ(monitor->retries(), tx::DesktopUidMonitor::maxRetries - check + 1);
    after(1);
    EXPECT_EQ(monitor->retries(), tx::DesktopUidMonitor::maxRetries - check);
  }
  EXPECT_FALSE(monitor->checkPending());
  after(10000);
  EXPECT_EQ(callback.reports.size(), 1u);
}

TEST_F(DesktopUidMonitorTest, AChangeDuringTheChecksIsReportedAtTheTimerItFound) {
  setDesktopUid(1000);
  ASSERT_EQ(firstCheck().size(), 1u);
  setDesktopUid(1000);
  after(1000); // a silent check; the next is due 1000 ms later
  EXPECT_EQ(monitor->retries(), 4);
  after(500);
  // A new trigger renews the allowance but keeps the pending time.
  setDesktopUid(3000);
  EXPECT_EQ(monitor->retries(), 5);
  after(500);
  EXPECT_EQ(callback.reports,
            (std::vector<Report>{{1000, std::nullopt}, {3000, std::nullopt}}));
  EXPECT_FALSE(monitor->checkPending());
}

TEST_F(DesktopUidMonitorTest, TheUserWithMostWindowProcessesIsChosen) {
  addWindowProcess(pidA, 1000, "/run/user/1000/gdm/Xauthority");
  addWindowProcess(pidB, 1000, "/run/user/1000/gdm/Xauthority", "_NET_WM_WINDOW_TYPE_NORMAL");
  addWindowProcess(pidC, 1001, "/home/b/.Xauthority", "_NET_WM_WINDOW_TYPE_DOCK");
  // Processes without windows do not count, however many there are.
  for (uint32_t pid = 5000100; pid < 5000105; ++pid)
    procs.addProcess(pid, 1002, std::string("/home/c/.Xauthority"));
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, "/run/user/1000/gdm/Xauthority"}}));
  EXPECT_EQ(monitor->xauthFile(), "/run/user/1000/gdm/Xauthority");
}

TEST_F(DesktopUidMonitorTest, WindowsOfOtherTypesAndNestedWindowsAreJudgedByType) {
  // Three dialog-owning processes of 1001 do not count...
  addWindowProcess(pidA, 1001, std::nullopt, "_NET_WM_WINDOW_TYPE_DIALOG");
  addWindowProcess(pidB, 1001, std::nullopt, "_NET_WM_WINDOW_TYPE_DIALOG");
  addWindowProcess(pidE, 1001, std::nullopt, "_NET_WM_WINDOW_TYPE_SPLASH");
  // ... a window without a type does, and so does a typeless child window
  // inside another window.
  addWindowProcess(pidC, 1000, std::nullopt);
  Window parent = addWindow(std::nullopt, "_NET_WM_WINDOW_TYPE_DIALOG");
  procs.addProcess(pidD, 1000, std::nullopt);
  addWindow(long(pidD), nullptr, parent);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, std::nullopt}}));
}

TEST_F(DesktopUidMonitorTest, DisagreeingAuthorityFilesLeaveTheFileUnknown) {
  addWindowProcess(pidA, 1000, "/tmp/auth-a");
  addWindowProcess(pidB, 1000, "/tmp/auth-b");
  addWindowProcess(pidC, 1000, std::nullopt);
  testsupport::LogRecorder recorder("DesktopUidMonitor", 110);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, std::nullopt}}));
  bool aFirst = procs.firstListed({pidA, pidB}) == pidA;
  std::string expected = aFirst ? "xauthFile mismatch: /tmp/auth-a != /tmp/auth-b"
                                : "xauthFile mismatch: /tmp/auth-b != /tmp/auth-a";
  std::vector<testsupport::LogRecorder::Line> lines = recorder.lines();
  auto mismatch = std::find_if(lines.begin(), lines.end(),
                               [](const auto& l) { return l.text.find("mismatch") != std::string::npos; });
  ASSERT_NE(mismatch, lines.end());
  EXPECT_EQ(mismatch->text, expected);
  EXPECT_EQ(mismatch->level, 100);
}

TEST_F(DesktopUidMonitorTest, ATieGoesToTheUserListedFirst) {
  addWindowProcess(pidA, 1000, "/a");
  addWindowProcess(pidB, 1001, "/b");
  uint32_t first = procs.firstListed({pidA, pidB});
  Report expected = first == pidA ? Report{1000, "/a"} : Report{1001, "/b"};
  EXPECT_EQ(firstCheck(), std::vector<Report>{expected});
}

TEST_F(DesktopUidMonitorTest, NobodyFoundIsReportedAsNoUser) {
  // Windows that name no process of the table, PID 0, or a PID of the wrong
  // type.
  procs.addProcess(pidA, 1000, std::string("/a"));
  addWindow(7777777);
  addWindow(0);
  Window wrongType = addWindow(std::nullopt);
  long pid = long(pidA);
  XChangeProperty(client.dpy(), wrongType, client.atom("_NET_WM_PID"), XA_INTEGER, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
  XSync(client.dpy(), False);
  testsupport::LogRecorder recorder("DesktopUidMonitor", 110);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{noUid, std::nullopt}}));
  std::vector<std::string> texts = recorder.texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), "Desktop user is -1"), texts.end());
}

TEST_F(DesktopUidMonitorTest, AnAuthorityFileTooLongToReportIsNotReported) {
  // The file name travels as a short string; a longer one used to make the
  // whole report fail to send.
  std::string longest = "/" + std::string(254, 'a');
  std::string tooLong = "/" + std::string(255, 'b');
  addWindowProcess(pidA, 1000, longest);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, longest}}));

  monitor.reset();
  callback.reports.clear();
  addWindowProcess(pidB, 1000, tooLong);
  testsupport::LogRecorder recorder("DesktopUidMonitor", 110);
  EXPECT_EQ(firstCheck(), (std::vector<Report>{{1000, std::nullopt}}));
  std::vector<std::string> texts = recorder.texts();
  EXPECT_NE(std::find(texts.begin(), texts.end(),
                      "Ignoring XAUTHORITY of process 5000002: longer than 255 bytes"),
            texts.end());
}

TEST_F(DesktopUidMonitorTest, OnceAUserIsKnownOnlyUidAndSessionPropertiesTrigger) {
  addWindowProcess(pidA, 1000, "/a");
  ASSERT_EQ(firstCheck().size(), 1u);

  setRootValue("KWO_TEST_OTHER", 1);
  EXPECT_FALSE(monitor->checkPending());

  const char* sessionProperties[] = {"_NET_SUPPORTED", "_NET_SUPPORTING_WM_CHECK",
                                     "_MIT_PRIORITY_COLORS", "_MOTIF_WM_INFO",
                                     "RESOURCE_MANAGER"};
  for (const char* name : sessionProperties) {
    SCOPED_TRACE(name);
    ASSERT_FALSE(monitor->checkPending());
    setRootValue(name, 1);
    EXPECT_TRUE(monitor->checkPending());
    for (int i = 0; i < tx::DesktopUidMonitor::maxRetries; ++i)
      after(1000);
  }
  EXPECT_EQ(callback.reports.size(), 1u);
}

TEST_F(DesktopUidMonitorTest, ASessionStartFindsTheNewUser) {
  addWindowProcess(pidA, 1000, "/a");
  ASSERT_EQ(firstCheck().size(), 1u);
  // The session's processes change owner, then its window manager appears.
  procs.setUid(pidA, 1005);
  setRootValue("_NET_SUPPORTING_WM_CHECK", long(client.root()), XA_WINDOW);
  after(1000);
  EXPECT_EQ(callback.reports, (std::vector<Report>{{1000, "/a"}, {1005, "/a"}}));
}

TEST_F(DesktopUidMonitorTest, ANewAuthorityFileOfTheSameUserIsReported) {
  // Used to go unreported: only a change of uid counted.
  addWindowProcess(pidA, 1000, "/a");
  ASSERT_EQ(firstCheck().size(), 1u);
  procs.addProcess(pidA, 1000, std::string("/b"));
  setRootValue("_NET_SUPPORTING_WM_CHECK", long(client.root()), XA_WINDOW);
  after(1000);
  EXPECT_EQ(callback.reports, (std::vector<Report>{{1000, "/a"}, {1000, "/b"}}));
}

TEST_F(DesktopUidMonitorTest, WhileNobodyIsKnownAnyRootChangeTriggers) {
  ASSERT_EQ(firstCheck(), (std::vector<Report>{{noUid, std::nullopt}}));
  setRootValue("KWO_TEST_OTHER", 1);
  EXPECT_TRUE(monitor->checkPending());
  addWindowProcess(pidA, 1000, "/a");
  after(1000);
  EXPECT_EQ(callback.reports, (std::vector<Report>{{noUid, std::nullopt}, {1000, "/a"}}));
}

TEST_F(DesktopUidMonitorTest, AnEventBeforeTheFirstCheckDoesNotSilenceIt) {
  // Used to go wrong: the event armed the re-check allowance, so the first
  // check found "no user" equal to the initial value and stayed silent.
  startMonitor();
  setRootValue("KWO_TEST_OTHER", 1);
  timers.processTimers();
  EXPECT_EQ(callback.reports, (std::vector<Report>{{noUid, std::nullopt}}));
  EXPECT_FALSE(monitor->checkPending());
}

TEST_F(DesktopUidMonitorTest, ADestroyedMonitorNoLongerListens) {
  setDesktopUid(1000);
  ASSERT_EQ(firstCheck().size(), 1u);
  monitor.reset();
  setDesktopUid(2000);
  EXPECT_EQ(timers.msUntilNext(), -1);
  EXPECT_EQ(callback.reports.size(), 1u);
}

} // namespace
