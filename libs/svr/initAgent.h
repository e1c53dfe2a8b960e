#pragma once

// Start-up of the agent process, up to a connected channel to the server.

#include <memory>

namespace io {
class Io;
}

namespace svr {

// Checks the mode word, answers "-paramsxml", routes logging to the server,
// connects back to the server and applies the parameter settings of the
// command line. Returns the connected channel. Ends the process itself where
// no server is involved: a missing or wrong mode word (status 1), the XML
// dump (status 0), help or a bad parameter setting (status 1). Connection
// failures throw plat::Exception.
std::unique_ptr<io::Io> initAgent(int argc, char** argv);

} // namespace svr
