#pragma once

// One monitor as the agent reports it to the server in "monitorsUpdated":
// the message's own record. The name is the monitor's number in decimal
// ("1", "2", ...); the agent sets no label.

#include "libs/agentmsg/FromAgentMsgs.h"

namespace svr {

using MonitorInfo = agentmsg::MonitorInfo;

} // namespace svr
