#include "kwo-serve/HttpFiles.h"

#include "base/plat/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kwoserve {

namespace {

// The response as the peer sees it: its text, then the file's content.
std::string wire(const HttpFiles::Response& answer) {
  std::string content(answer.file ? size_t(answer.fileSize) : 0, '\0');
  if (answer.file) {
    EXPECT_EQ(pread(answer.file.get(), content.data(), content.size(), 0), answer.fileSize);
  }
  return answer.text + content;
}

std::string ok(const std::string& type, size_t length) {
  return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nContent-Length: " +
         std::to_string(length) +
         "\r\nCache-Control: no-cache\r\nX-Content-Type-Options: nosniff\r\nConnection: "
         "close\r\n\r\n";
}

} // namespace

class HttpFilesTest : public testing::Test {
protected:
  HttpFilesTest() {
    for (const auto& [path, content] : std::vector<std::pair<std::string, std::string>>{
             {"/www/viewer.html", "<p>page</p>"}, {"/www/core/rfb.js", "export default 1;"},
             {"/www/a b.css", "p{}"}, {"/www/sub/index.html", "index"},
             {"/secret.txt", "secret"}}) {
      std::filesystem::create_directories(std::filesystem::path(dir.path() + path).parent_path());
      std::ofstream(dir.path() + path) << content;
    }
    std::filesystem::create_symlink(dir.path() + "/secret.txt", root + "/leak.txt");
    std::filesystem::create_symlink(root + "/core/rfb.js", root + "/alias.js");
  }

  testsupport::TempDir dir{"kwo-http"};
  std::string root = dir.path() + "/www";
};

TEST_F(HttpFilesTest, ServesFilesBelowTheFolderWithTheirTypes) {
  HttpFiles files(root);
  const std::vector<std::array<std::string, 3>> cases{
      {"/viewer.html?port=5900&host=127.0.0.1", "text/html; charset=utf-8", "<p>page</p>"},
      {"/core/rfb.js", "text/javascript", "export default 1;"},
      {"/core//rfb.js#x", "text/javascript", "export default 1;"},
      {"/./core/%72fb.js", "text/javascript", "export default 1;"},
      {"/a%20b.css", "text/css", "p{}"},
      {"/sub/", "text/html; charset=utf-8", "index"},
      // A link that stays inside the folder is followed.
      {"/alias.js", "text/javascript", "export default 1;"},
  };
  for (const auto& [target, type, body] : cases)
    EXPECT_EQ(wire(files.respond("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:5800")),
              ok(type, body.size()) + body);
  EXPECT_EQ(wire(files.respond("HEAD /core/rfb.js HTTP/1.1\r\nHost: x")),
            ok("text/javascript", 17));
  for (const auto& [path, type] : std::vector<std::pair<std::string, std::string>>{
           {"/x/app.mjs", "text/javascript"}, {"/x/icon.svg", "image/svg+xml"},
           {"/x.d/README", "application/octet-stream"},
           {"/x/archive.tar.gz", "application/octet-stream"}})
    EXPECT_EQ(HttpFiles::contentType(path), type);
}

TEST_F(HttpFilesTest, RefusesWhatLiesOutsideOrIsNoFileAndBrokenRequests) {
  HttpFiles files(root);
  const std::vector<std::pair<std::string, std::string>> cases{
      {"GET /../secret.txt HTTP/1.1", "404 Not Found"},
      {"GET /core/%2E%2E/viewer.html HTTP/1.1", "404 Not Found"},
      {"GET /leak.txt HTTP/1.1", "404 Not Found"},
      {"GET /missing.js HTTP/1.1", "404 Not Found"},
      {"GET /core HTTP/1.1", "404 Not Found"},
      {"GET /core/rfb.js%00.html HTTP/1.1", "404 Not Found"},
      {"GET /bad%zzescape HTTP/1.1", "404 Not Found"},
      {"GET /trailing%2 HTTP/1.1", "404 Not Found"},
      {"GET viewer.html HTTP/1.1", "404 Not Found"},
      {"POST /core/rfb.js HTTP/1.1", "405 Method Not Allowed"},
      {"GET /viewer.html", "400 Bad Request"},
      {"GET /viewer.html FTP/1.0", "400 Bad Request"},
  };
  for (const auto& [head, status] : cases) {
    std::string response = wire(files.respond(head + (status[0] == '4' && status[1] == '0' && status[2] == '0' ? "" : "\r\nHost: x")));
    EXPECT_EQ(response.rfind("HTTP/1.1 " + status + "\r\n", 0), 0u) << head << ":\n" << response;
    EXPECT_EQ(response.find("secret"), std::string::npos);
  }
  EXPECT_NE(wire(files.respond("POST / HTTP/1.1")).find("Allow: GET, HEAD\r\n"), std::string::npos);
  EXPECT_THROW(HttpFiles(dir.path() + "/none"), plat::Exception);
  EXPECT_THROW(HttpFiles(root + "/viewer.html"), plat::Exception);
}

} // namespace kwoserve
