#include "libs/svr/MonitorLayout.h"

#include "libs/svr/RandrSupport.h"

#include "base/plat/CaseInsensitive.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/LogSrc.h"
#include "uilibs/tx/TXUtil.h"

#include <X11/Xlib.h>

#include <cctype>
#include <charconv>
#include <cstdint>

namespace svr {

namespace {

// Monitor choice is part of the capture engine's buffer building, so its
// lines go out under the engine's name.
plat::LogSrc vlog("SDesktopX11");

// Reads texts as the formats "%d,%d to %d,%d" and "%dx%d at %d,%d" write
// them; a blank in a pattern stands for any run of blanks, as in scanf.
class RectText {
public:
  explicit RectText(std::string_view text) : text_(text) {}

  std::optional<int> number() {
    skipBlanks();
    std::string_view rest = text_.substr(pos_);
    size_t sign = !rest.empty() && rest.front() == '+' ? 1 : 0;
    int value = 0;
    auto [end, ec] = std::from_chars(rest.data() + sign, rest.data() + rest.size(), value);
    if (ec != std::errc() || (sign && rest.size() > 1 && rest[1] == '-'))
      return std::nullopt;
    pos_ += size_t(end - rest.data());
    return value;
  }

  bool literal(std::string_view word) {
    for (char c : word) {
      if (c == ' ') {
        skipBlanks();
      } else if (pos_ < text_.size() && text_[pos_] == c) {
        pos_++;
      } else {
        return false;
      }
    }
    return true;
  }

  bool atEnd() const { return pos_ == text_.size(); }

private:
  void skipBlanks() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
      pos_++;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

bool fitsInt(int64_t value) {
  return value >= INT32_MIN && value <= INT32_MAX;
}

std::optional<unsigned long> monitorNumber(const std::string& spec) {
  if (spec.empty())
    return std::nullopt;
  unsigned long number = 0;
  auto [end, ec] = std::from_chars(spec.data(), spec.data() + spec.size(), number);
  for (char c : spec) {
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return std::nullopt;
  }
  // All digits but too large: a number that no monitor has.
  if (ec != std::errc() || end != spec.data() + spec.size())
    return 0;
  return number;
}

} // namespace

std::optional<rfb::Rect> MonitorLayout::parseRect(std::string_view text) {
  RectText in(text);
  std::optional<int> first = in.number();
  if (!first)
    return std::nullopt;
  if (in.literal(",")) {
    std::optional<int> y1 = in.number();
    if (!y1 || !in.literal(" to "))
      return std::nullopt;
    std::optional<int> x2 = in.number();
    if (!x2 || !in.literal(","))
      return std::nullopt;
    std::optional<int> y2 = in.number();
    if (!y2 || !in.atEnd())
      return std::nullopt;
    return rfb::Rect(*first, *y1, *x2, *y2);
  }
  if (!in.literal("x"))
    return std::nullopt;
  std::optional<int> height = in.number();
  if (!height || !in.literal(" at "))
    return std::nullopt;
  std::optional<int> left = in.number();
  if (!left || !in.literal(","))
    return std::nullopt;
  std::optional<int> top = in.number();
  if (!top || !in.atEnd())
    return std::nullopt;
  if (!fitsInt(int64_t(*left) + *first) || !fitsInt(int64_t(*top) + *height))
    return std::nullopt;
  return rfb::Rect::fromXYWH(*left, *top, *first, *height);
}

rfb::Rect MonitorLayout::rectOf(const std::optional<std::string>& spec) {
  if (!spec || spec->empty())
    return {};
  if (std::optional<rfb::Rect> rect = parseRect(*spec))
    return *rect;
  if (!RandrSupport::supported(false))
    return {};
  try {
    return lookupMonitor(*spec).rect;
  } catch (const plat::Exception& e) {
    vlog.info("Bad Monitor param: %s", e.str());
    return {};
  }
}

RandrScreen::Monitor MonitorLayout::lookupMonitor(const std::string& spec) {
  std::optional<unsigned long> number = monitorNumber(spec);
  RandrScreen screen;
  unsigned long count = 0;
  for (const RandrScreen::Monitor& monitor : screen.monitors()) {
    count++;
    if (number && count == *number)
      return monitor;
    for (XID output : monitor.outputs) {
      std::optional<std::string> name = screen.outputName(output);
      if (name && plat::equalsIgnoreCase(*name, spec))
        return monitor;
    }
  }
  throw plat::Exception(plat::format("Monitor named '%s' not found", spec.c_str()));
}

std::vector<MonitorInfo> MonitorLayout::listMonitors() {
  Display* dpy = tx::display();
  if (!dpy)
    return {};
  int screenNumber = DefaultScreen(dpy);
  MonitorInfo info;
  info.depth = uint32_t(DefaultDepth(dpy, screenNumber));
  std::vector<MonitorInfo> list;
  if (!RandrSupport::supported(false)) {
    info.primary = true;
    info.rect = rfb::Rect(0, 0, DisplayWidth(dpy, screenNumber), DisplayHeight(dpy, screenNumber));
    info.name = "1";
    list.push_back(info);
    return list;
  }
  for (const RandrScreen::Monitor& monitor : RandrScreen().monitors()) {
    info.primary = list.empty();
    info.rect = monitor.rect;
    info.name = std::to_string(list.size() + 1);
    list.push_back(info);
  }
  return list;
}

} // namespace svr
