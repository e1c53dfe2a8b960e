#include "TXTestClient.h"

#include "uilibs/tx/TXWindow.h"

#include <X11/Xatom.h>

#include <cstring>
#include <string>

namespace {

using txtest::TestClient;

// Keeps what selectionNotify was given, and lets the base keep the text.
class ReceivingWindow : public tx::TXWindow {
public:
  void selectionNotify(const XEvent& event, const tx::SelectionData& data) override {
    received.push_back(data);
    tx::TXWindow::selectionNotify(event, data);
  }
  std::vector<tx::SelectionData> received;
};

// Another application owning a selection and answering conversions, in one
// piece or incrementally (INCR) in chunks.
class OwnerClient {
public:
  OwnerClient(TestClient& client, Atom selection) : client_(client), selection_(selection) {
    window_ = client.createWindow();
    XSetSelectionOwner(client.dpy(), selection, window_, CurrentTime);
    XSync(client.dpy(), False);
  }

  void answerPlain(Atom type, std::string value) {
    type_ = type;
    value_ = std::move(value);
    incr_ = false;
  }
  void answerIncrementally(std::vector<std::string> chunks) {
    chunks_ = std::move(chunks);
    incr_ = true;
  }
  void ignoreRequests() { ignore_ = true; }

  // Handles whatever the client's connection has.
  void pump() {
    XEvent event;
    while (client_.nextEvent(event)) {
      if (event.type == SelectionRequest)
        answer(event.xselectionrequest);
      else if (event.type == PropertyNotify)
        propertyChanged(event.xproperty);
    }
  }

  bool transferFinished() const { return finished_; }
  int chunksSent() const { return sent_; }

private:
  void answer(const XSelectionRequestEvent& request) {
    if (ignore_)
      return;
    Display* dpy = client_.dpy();
    if (incr_) {
      // The requestor's deletions pace the transfer.
      XSelectInput(dpy, request.requestor, PropertyChangeMask);
      long total = 0;
      for (const std::string& chunk : chunks_)
        total += long(chunk.size());
      XChangeProperty(dpy, request.requestor, request.property, client_.atom("INCR"), 32,
                      PropModeReplace, reinterpret_cast<unsigned char*>(&total), 1);
      requestor_ = request.requestor;
      property_ = request.property;
    } else {
      XChangeProperty(dpy, request.requestor, request.property, type_, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(value_.data()), int(value_.size()));
    }
    XEvent notify;
    std::memset(&notify, 0, sizeof(notify));
    notify.xselection.type = SelectionNotify;
    notify.xselection.requestor = request.requestor;
    notify.xselection.selection = request.selection;
    notify.xselection.target = request.target;
    notify.xselection.property = request.property;
    notify.xselection.time = request.time;
    XSendEvent(dpy, request.requestor, False, 0, &notify);
    XFlush(dpy);
  }

  void propertyChanged(const XPropertyEvent& change) {
    if (!incr_ || change.window != requestor_ || change.atom != property_ ||
        change.state != PropertyDelete || finished_)
      return;
    // The deletion of the empty end chunk completes the transfer.
    if (endSent_) {
      finished_ = true;
      return;
    }
    std::string chunk;
    if (sent_ < int(chunks_.size()))
      chunk = chunks_[sent_++];
    else
      endSent_ = true;
    XChangeProperty(client_.dpy(), requestor_, property_, client_.atom("UTF8_STRING"), 8,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(chunk.data()),
                    int(chunk.size()));
    XFlush(client_.dpy());
  }

  TestClient& client_;
  Atom selection_;
  Window window_ = 0;
  Atom type_ = XA_STRING;
  std::string value_;
  bool incr_ = false;
  bool ignore_ = false;
  std::vector<std::string> chunks_;
  Window requestor_ = 0;
  Atom property_ = 0;
  int sent_ = 0;
  bool endSent_ = false;
  bool finished_ = false;
};

class TXWindowReceiveTest : public ::testing::Test {
protected:
  void SetUp() override { txtest::openSharedDisplay(); }

  bool pumpUntil(OwnerClient& owner, const std::function<bool()>& done) {
    return txtest::pumpUntil(done, {[&] { owner.pump(); }}, {client.dpy()});
  }

  TestClient client;
};

TEST_F(TXWindowReceiveTest, StringAndUtf8AnswersBecomeTheWindowsText) {
  struct Case {
    const char* name;
    const char* type;
    std::string value;
    std::string text;
  } cases[] = {
    {"Latin-1 with the euro byte", "STRING", "caf\xe9 \x80", "caf\xc3\xa9 \xe2\x82\xac"},
    {"UTF-8 taken as it is", "UTF8_STRING", "\xe4\xb8\xad\xe6\x96\x87", "\xe4\xb8\xad\xe6\x96\x87"},
    {"empty UTF-8", "UTF8_STRING", "", ""},
  };
  ReceivingWindow window;
  OwnerClient owner(client, client.atom("CLIPBOARD"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    owner.answerPlain(client.atom(c.type), c.value);
    size_t before = window.received.size();
    window.convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                            CurrentTime);
    ASSERT_TRUE(pumpUntil(owner, [&] { return window.received.size() > before; }));
    EXPECT_EQ(window.received.back().format, 8);
    EXPECT_EQ(window.received.back().bytes, c.value);
    ASSERT_NE(window.text(), nullptr);
    EXPECT_EQ(*window.text(), c.text);
  }
}

TEST_F(TXWindowReceiveTest, OtherTypesLeaveTheTextAlone) {
  ReceivingWindow window;
  OwnerClient owner(client, client.atom("CLIPBOARD"));
  owner.answerPlain(client.atom("UTF8_STRING"), "kept");
  window.convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                          CurrentTime);
  ASSERT_TRUE(pumpUntil(owner, [&] { return window.received.size() == 1; }));
  owner.answerPlain(client.atom("text/html"), "<b>no</b>");
  window.convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                          CurrentTime);
  ASSERT_TRUE(pumpUntil(owner, [&] { return window.received.size() == 2; }));
  EXPECT_EQ(window.received[1].type, client.atom("text/html"));
  EXPECT_EQ(*window.text(), "kept");
}

// Used to go wrong: an answer in chunks reached the window as an empty text
// and its chunks were thrown away.
TEST_F(TXWindowReceiveTest, IncrementalAnswerArrivesWholeAfterItsLastChunk) {
  ReceivingWindow window;
  window.setSelectionText(3, "old", tx::getServerTime());
  OwnerClient owner(client, client.atom("CLIPBOARD"));
  owner.answerIncrementally({std::string(1000, 'a'), std::string(500, 'b'), "c"});

  window.convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                          CurrentTime);
  ASSERT_TRUE(pumpUntil(owner, [&] { return window.received.size() == 1; }));
  const std::string whole = std::string(1000, 'a') + std::string(500, 'b') + "c";
  const tx::SelectionData& data = window.received[0];
  EXPECT_EQ(data.type, tx::atomUtf8String());
  EXPECT_EQ(data.format, 8);
  EXPECT_EQ(data.items, whole.size());
  EXPECT_EQ(data.bytes, whole);
  EXPECT_EQ(*window.text(), whole);
  EXPECT_EQ(owner.chunksSent(), 3);
  EXPECT_FALSE(window.receivingIncrementally());

  // The empty end chunk was taken as well.
  ASSERT_TRUE(pumpUntil(owner, [&] { return owner.transferFinished(); }));
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* left = nullptr;
  XGetWindowProperty(tx::display(), window.win(), tx::atomSelectionString(), 0, 1, False,
                     AnyPropertyType, &type, &format, &items, &after, &left);
  XFree(left);
  EXPECT_EQ(type, Atom(None)) << "a chunk was left on the window";
}

TEST_F(TXWindowReceiveTest, RefusedConversionGivesEmptyData) {
  ReceivingWindow window;
  // Nobody owns this selection: the server itself refuses.
  Atom unowned = client.atom("KWO_TEST_UNOWNED_SELECTION");
  window.convertSelection(unowned, tx::atomUtf8String(), tx::atomSelectionString(), CurrentTime);
  EXPECT_TRUE(window.waitForSelectionNotify(unowned, tx::atomUtf8String(), 30000));
  txtest::dispatchEvents();
  ASSERT_EQ(window.received.size(), 1u);
  EXPECT_EQ(window.received[0].type, Atom(None));
  EXPECT_EQ(window.received[0].items, 0u);
  EXPECT_EQ(window.text(), nullptr);
}

TEST_F(TXWindowReceiveTest, WaitingForAnOwnerThatNeverAnswersTimesOut) {
  ReceivingWindow window;
  OwnerClient owner(client, client.atom("CLIPBOARD"));
  owner.ignoreRequests();
  window.convertSelection(tx::atomClipboard(), tx::atomUtf8String(), tx::atomSelectionString(),
                          CurrentTime);
  EXPECT_FALSE(window.waitForSelectionNotify(tx::atomClipboard(), tx::atomUtf8String(), 200));
  EXPECT_TRUE(window.received.empty());
}

} // namespace
