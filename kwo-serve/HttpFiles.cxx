#include "kwo-serve/HttpFiles.h"

#include "base/plat/Exception.h"
#include "base/plat/Format.h"
#include "base/plat/HexDigit.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <sys/stat.h>

namespace kwoserve {

namespace {

std::string realPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// "" when the encoding is broken or decodes to a NUL.
std::string percentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '%') {
      int high = i + 2 < text.size() ? plat::hexDigitValue(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? plat::hexDigitValue(text[i + 2]) : -1;
      if (high < 0 || low < 0)
        return {};
      c = char(high * 16 + low);
      i += 2;
    }
    if (c == '\0')
      return {};
    out += c;
  }
  return out;
}

std::string responseHead(const std::string& status, const std::string& type, off_t length,
                         const std::string& extraHeaders = {}) {
  return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(length) +
         "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\n" +
         extraHeaders + "Connection: close\r\n\r\n";
}

} // namespace

HttpFiles::HttpFiles(const std::string& folder) : root_(realPath(folder)) {
  struct stat st;
  if (root_.empty() || stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw plat::Exception(plat::format("cannot serve %s: not a folder", folder.c_str()));
  if (root_ == "/")
    root_.clear();
}

HttpFiles::Response HttpFiles::failure(const std::string& status, bool withBody,
                                       const std::string& extraHeaders) {
  std::string body = status + "\n";
  Response out;
  out.text = responseHead(status, "text/plain; charset=utf-8", off_t(body.size()), extraHeaders);
  if (withBody)
    out.text += body;
  return out;
}

std::string HttpFiles::contentType(const std::string& name) {
  static const std::map<std::string, std::string> types{
      {"html", "text/html; charset=utf-8"}, {"htm", "text/html; charset=utf-8"},
      {"js", "text/javascript"},            {"mjs", "text/javascript"},
      {"css", "text/css"},                  {"json", "application/json"},
      {"svg", "image/svg+xml"},             {"png", "image/png"},
      {"ico", "image/x-icon"},              {"wasm", "application/wasm"},
      {"txt", "text/plain; charset=utf-8"}, {"md", "text/plain; charset=utf-8"},
  };
  size_t dot = name.rfind('.');
  size_t slash = name.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    auto it = types.find(name.substr(dot + 1));
    if (it != types.end())
      return it->second;
  }
  return "application/octet-stream";
}

std::string HttpFiles::resolve(const std::string& target) const {
  std::string path = percentDecode(target.substr(0, target.find_first_of("?#")));
  if (path.empty() || path[0] != '/')
    return {};
  std::istringstream segments(path);
  std::string segment;
  while (std::getline(segments, segment, '/'))
    if (segment == "..")
      return {};
  if (path.back() == '/')
    path += "index.html";
  std::string file = realPath(root_ + path);
  // The folder itself or anything beside it is not below it.
  if (file.compare(0, root_.size() + 1, root_ + "/") != 0)
    return {};
  return file;
}

HttpFiles::Response HttpFiles::respond(const std::string& head) const {
  std::istringstream line(head.substr(0, head.find("\r\n")));
  std::string method, target, version;
  if (!(line >> method >> target >> version) || version.compare(0, 5, "HTTP/") != 0)
    return failure("400 Bad Request", true);
  bool withBody = method != "HEAD";
  if (method != "GET" && method != "HEAD")
    return failure("405 Method Not Allowed", true, "Allow: GET, HEAD\r\n");

  std::string path = resolve(target);
  // Opened without blocking (a FIFO would wait for a writer) and checked
  // through the descriptor, so that what is sent is what was checked.
  io::UniqueFd file(path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st;
  if (!file || fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return failure("404 Not Found", withBody);
  Response out;
  out.text = responseHead("200 OK", contentType(path), st.st_size);
  if (withBody) {
    out.file = std::move(file);
    out.fileSize = st.st_size;
  }
  return out;
}

} // namespace kwoserve
