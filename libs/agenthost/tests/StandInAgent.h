#pragma once

// A stand-in for the agent program, run by re-executing this test binary
// with the environment variable AGENTHOST_STANDIN set to a behaviour:
//   echo      connect back through the real launched-process pipe (which
//             checks the challenge bytes against -hash), send "init",
//             "initRectAndPf" and one "logMsg" per fact of its launch
//             ("mode=", "display=", "extra=", "arg=" per argument), then
//             answer "keyEvent" with a "logMsg" and "clientCutText" with the
//             same text as "serverCutText", any other name with "logMsg"
//             "got NAME"; end with status 0 on "stop" or when the server
//             closes.
//   silent    never connect; wait to be killed.
//   stubborn  as silent, but ignore SIGTERM.
//   die       end at once with status 3.
//   impostor  first let a grandchild connect (and report in a "logMsg"
//             "impostor got N bytes" how much it was sent), then as echo.
//   leave     connect, send "init", then end with status 5.

namespace agenthost::test {

constexpr const char* standInVariable = "AGENTHOST_STANDIN";

// Runs the stand-in; returns its exit status.
int runStandIn(const char* behaviour, int argc, char** argv);

// This test binary's path, for launching the stand-in.
const char* selfPath();

} // namespace agenthost::test
