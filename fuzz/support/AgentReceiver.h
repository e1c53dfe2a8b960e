#pragma once

// Runs the agent's receiving side over an in-memory connection: the
// protocol end (with a desktop that only records what it is asked), the
// System V owner reader and the log channel, all on one message channel,
// as the agent registers them. Returns what reached the desktop, the
// agent's owner, the owner reader and the parameters, as text lines, so that
// two deliveries of the same bytes can be compared. Every parameter is back
// at its default afterwards.
//
// Call initAgentReceiver once per process, before the first run.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

using Events = std::vector<std::string>;

// Makes the thread's descriptor manager (which the log channel's kicker
// needs) and, as in the agent, sends every log line to the server.
void initAgentReceiver();

Events runAgentReceiver(const std::vector<std::span<const uint8_t>>& pieces);

// Both lists on standard error, then abort, when they differ.
void requireSameEvents(const Events& split, const Events& whole);

} // namespace fuzz
