#include "kwo-serve/HttpFiles.h"

#include "base/plat/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace kwoserve {

namespace {

void writeFile(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

struct Answer {
  std::string status;  // "200 OK"
  std::string headers;
  std::string body;
};

// The response as the peer sees it: its text, then the file's content.
Answer split(const HttpFiles::Response& answer) {
  std::string response = answer.text;
  if (answer.file) {
    std::string content(size_t(answer.fileSize), '\0');
    EXPECT_EQ(pread(answer.file.get(), content.data(), content.size(), 0), answer.fileSize);
    response += content;
  }
  Answer a;
  size_t lineEnd = response.find("\r\n");
  size_t headEnd = response.find("\r\n\r\n");
  a.status = response.substr(9, lineEnd - 9);
  a.headers = response.substr(lineEnd + 2, headEnd - lineEnd);
  a.body = response.substr(headEnd + 4);
  return a;
}

std::string get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:5800\r\nAccept: */*";
}

} // namespace

class HttpFilesTest : public testing::Test {
protected:
  HttpFilesTest() {
    root = dir.path() + "/www";
    writeFile(root + "/viewer.html", "<p>page</p>");
    writeFile(root + "/core/rfb.js", "export default 1;");
    writeFile(root + "/a b.css", "p{}");
    writeFile(root + "/sub/index.html", "index");
    writeFile(dir.path() + "/secret.txt", "secret");
    std::filesystem::create_symlink(dir.path() + "/secret.txt", root + "/leak.txt");
    std::filesystem::create_symlink(root + "/core/rfb.js", root + "/alias.js");
  }

  testsupport::TempDir dir{"kwo-http"};
  std::string root;
};

TEST_F(HttpFilesTest, ServesFilesBelowTheFolderWithTheirTypes) {
  HttpFiles files(root);
  struct Case {
    std::string target, type, body;
  };
  const std::vector<Case> cases{
      {"/viewer.html?port=5900&host=127.0.0.1", "text/html; charset=utf-8", "<p>page</p>"},
      {"/core/rfb.js", "text/javascript", "export default 1;"},
      {"/core//rfb.js#x", "text/javascript", "export default 1;"},
      {"/./core/%72fb.js", "text/javascript", "export default 1;"},
      {"/a%20b.css", "text/css", "p{}"},
      {"/sub/", "text/html; charset=utf-8", "index"},
      // A link that stays inside the folder is followed.
      {"/alias.js", "text/javascript", "export default 1;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    Answer a = split(files.respond(get(c.target)));
    EXPECT_EQ(a.status, "200 OK");
    EXPECT_NE(a.headers.find("Content-Type: " + c.type + "\r\n"), std::string::npos) << a.headers;
    EXPECT_NE(a.headers.find("Content-Length: " + std::to_string(c.body.size()) + "\r\n"),
              std::string::npos)
        << a.headers;
    EXPECT_NE(a.headers.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(a.body, c.body);
  }
}

TEST_F(HttpFilesTest, RefusesWhatLiesOutsideOrIsNoFile) {
  HttpFiles files(root);
  const std::vector<std::string> targets{
      "/../secret.txt", "/core/../../secret.txt", "/%2e%2e/secret.txt", "/core/%2E%2E/viewer.html",
      "/leak.txt",      "/missing.js",            "/core",              "/",
      "/core/rfb.js%00.html", "/bad%zzescape",    "/trailing%2",        "viewer.html",
  };
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    Answer a = split(files.respond(get(target)));
    EXPECT_EQ(a.status, "404 Not Found");
    EXPECT_EQ(a.body.find("secret"), std::string::npos);
  }
}

TEST_F(HttpFilesTest, HeadAnswersWithoutBodyOtherMethodsAndBrokenRequestsAreRefused) {
  HttpFiles files(root);
  Answer head = split(files.respond("HEAD /core/rfb.js HTTP/1.1\r\nHost: x"));
  EXPECT_EQ(head.status, "200 OK");
  EXPECT_NE(head.headers.find("Content-Length: 17\r\n"), std::string::npos) << head.headers;
  EXPECT_EQ(head.body, "");

  Answer post = split(files.respond("POST /core/rfb.js HTTP/1.1\r\nHost: x"));
  EXPECT_EQ(post.status, "405 Method Not Allowed");
  EXPECT_NE(post.headers.find("Allow: GET, HEAD\r\n"), std::string::npos);

  for (const char* head : {"", "GET", "GET /viewer.html", "GET /viewer.html FTP/1.0",
                           "\r\nGET /viewer.html HTTP/1.1"}) {
    SCOPED_TRACE(head);
    EXPECT_EQ(split(files.respond(head)).status, "400 Bad Request");
  }
}

TEST_F(HttpFilesTest, TypesFollowTheExtension) {
  EXPECT_EQ(HttpFiles::contentType("/x/noVNC/vnc.html"), "text/html; charset=utf-8");
  EXPECT_EQ(HttpFiles::contentType("/x/app.mjs"), "text/javascript");
  EXPECT_EQ(HttpFiles::contentType("/x/icon.svg"), "image/svg+xml");
  EXPECT_EQ(HttpFiles::contentType("/x.d/README"), "application/octet-stream");
  EXPECT_EQ(HttpFiles::contentType("/x/archive.tar.gz"), "application/octet-stream");
}

TEST_F(HttpFilesTest, AFolderThatIsNoneIsRefused) {
  EXPECT_THROW(HttpFiles(dir.path() + "/none"), plat::Exception);
  EXPECT_THROW(HttpFiles(root + "/viewer.html"), plat::Exception);
}

} // namespace kwoserve
