#include "libs/svr/MonitorSelect.h"

#include "libs/svr/MonitorLayout.h"
#include "libs/svr/RandrSupport.h"

#include "base/plat/Exception.h"
#include "base/plat/LocKey.h"
#include "base/plat/LogSrc.h"
#include "base/plat/StringParameter.h"

namespace svr {

namespace {

// Part of the capture engine's work, logged under its name.
plat::LogSrc vlog("SDesktopX11");

plat::StringParameter monitorParam("Monitor", plat::LocKey("svr_param_sdisplay_displaydevice"),
                                   "");

// The part of the rectangle `spec` names that lies on the screen: a buffer
// beyond it would only hold pixels nobody can see. None of it on the screen
// gives the empty rectangle, as a spec that names nothing does.
rfb::Rect onScreen(const std::string& spec, const rfb::Rect& rect, const rfb::Rect& screen) {
  if (rect.isEmpty())
    return rect;
  rfb::Rect visible = rect.intersect(screen);
  if (visible.isEmpty())
    vlog.status("Monitor %s rect %s lies outside the screen %s", spec.c_str(),
                rect.printWH().c_str(), screen.printWH().c_str());
  return visible;
}

} // namespace

bool MonitorSelect::select(const std::optional<std::string>& spec) {
  if (spec == selection_)
    return false;
  if (spec && !spec->empty()) {
    if (!RandrSupport::supported(false))
      return false;
    try {
      MonitorLayout::lookupMonitor(*spec);
    } catch (const plat::Exception& e) {
      vlog.info("Invalid monitor selection: %s", e.str());
      return false;
    }
  }
  selection_ = spec;
  return true;
}

MonitorSelect::Choice MonitorSelect::choose(const rfb::Rect& screen) const {
  const std::string& parameter = monitorParam.getValue();
  rfb::Rect rect = onScreen(parameter, MonitorLayout::rectOf(parameter), screen);
  if (!rect.isEmpty()) {
    vlog.status("Monitor %s rect %s", parameter.c_str(), rect.printWH().c_str());
    return {rect, parameter, parameter};
  }
  rect = onScreen(selection_.value_or(""), MonitorLayout::rectOf(selection_), screen);
  if (!rect.isEmpty()) {
    vlog.status("Monitor %s rect %s", selection_->c_str(), rect.printWH().c_str());
    return {rect, std::nullopt, selection_};
  }
  return {};
}

void MonitorSelect::report(MonitorSelectResponse& response, const Choice& choice) {
  std::vector<MonitorInfo> monitors;
  try {
    monitors = MonitorLayout::listMonitors();
  } catch (const plat::Exception& e) {
    vlog.status("%s", e.describe().c_str());
  }
  response.monitorsUpdated(monitors, choice.parameterSpec, choice.effectiveSpec);
}

} // namespace svr
