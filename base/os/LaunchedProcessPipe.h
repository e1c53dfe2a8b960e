#pragma once

// The way back to the process that launched us. The launcher puts on our
// command line where it listens (a Unix socket path, or the number of a
// descriptor we inherited), optionally the SHA-256 digest of 32 bytes that
// it sends first to prove it is the launcher, and debugging switches:
//
//   [-dummy] | [-lppDebug] [-hash HEX] [-fork] PIPE-NAME [required extras...]
//
// An object holds one parse of those arguments and makes one connection.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace io {
class Io;
}

namespace os {

class LaunchedProcessPipe {
public:
  static constexpr const char* defaultStdErrFile = "/dev/null";
  static constexpr const char* debugStdErrFile = "/tmp/lppDebug.log";

  // The two standard-error destinations can be moved (tests do); the
  // defaults are the ones the launcher knows about.
  explicit LaunchedProcessPipe(std::string stdErrFile = defaultStdErrFile,
                               std::string debugFile = debugStdErrFile);

  // Consumes the pipe arguments from argv[cursor] on, leaving the cursor
  // after the pipe name, and returns the connection (owned by the caller).
  // `requiredExtra` arguments must follow the pipe name. With a socket path,
  // standard error is redirected first and the connection is made there;
  // with a descriptor number the descriptor is taken over as it is. Every
  // failure is a plat::Exception (the text is also written to standard
  // error); nothing is left open then.
  std::unique_ptr<io::Io> connect(int argc, const char* const* argv, int& cursor,
                                  int requiredExtra = 0);

  // Takes over an inherited connected descriptor: made close-on-exec, then
  // wrapped as a Unix, TCP or plain descriptor connection by its kind.
  static std::unique_ptr<io::Io> wrapInheritedFd(int fd);

  const std::optional<std::string>& pipeName() const { return pipeName_; }
  const std::vector<uint8_t>& expectedHash() const { return expectedHash_; }
  const std::string& stdErrFile() const { return stdErrFile_; }
  bool debug() const { return debug_; }
  bool daemonise() const { return fork_; }

private:
  void parse(int argc, const char* const* argv, int& cursor, int requiredExtra);
  std::unique_ptr<io::Io> connectPipe();
  void redirectStdErr() const;
  void checkHash(io::Io& io) const;

  std::optional<std::string> pipeName_;
  std::vector<uint8_t> expectedHash_;
  std::string stdErrFile_;
  std::string debugFile_;
  bool debug_ = false;
  bool fork_ = false;
};

} // namespace os
