#pragma once

// Answers HTTP requests for the files below one folder (-httpdir, e.g. a
// noVNC page and its modules), without sockets: the head of a request in,
// the response out (its head, and the open file its body is read from).
//
// Only GET and HEAD of regular files are served. A path is percent-decoded
// and refused when a segment is "..", when it holds a NUL, or when the file
// it names (after symbolic links) lies outside the folder. Every response
// closes the connection.

#include "base/io/UniqueFd.h"

#include <string>
#include <sys/types.h>

namespace kwoserve {

class HttpFiles {
public:
  // Throws plat::Exception when `folder` is not a readable folder.
  explicit HttpFiles(const std::string& folder);

  struct Response {
    // The status line and headers, then any body held in memory.
    std::string text;
    // When set, the body follows from this file: fileSize bytes from its start.
    io::UniqueFd file;
    off_t fileSize = 0;
  };

  // `head`: the request line and headers, up to and without the empty line.
  // HEAD requests get no file.
  Response respond(const std::string& head) const;

  const std::string& folder() const { return root_; }

  // The Content-Type for a file name, by its extension.
  static std::string contentType(const std::string& name);
  // A plain-text error response, e.g. for "404 Not Found".
  static Response failure(const std::string& status, bool withBody = true,
                          const std::string& extraHeaders = {});

private:
  // The file a request target names, or "" when it names none (or one outside).
  std::string resolve(const std::string& target) const;

  std::string root_;  // without symbolic links, without a trailing slash
};

} // namespace kwoserve
