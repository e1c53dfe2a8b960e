#include "kwo-serve/PasswordFile.h"

#include "base/plat/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kwoserve {

TEST(PasswordFile, ReadsOnePasswordALine) {
  testsupport::TempDir dir("kwo-passwords");
  std::string path = dir.path() + "/passwords";
  std::ofstream(path) << "first\r\n\nsecond\n";
  chmod(path.c_str(), 0600);
  EXPECT_EQ(PasswordFile::read(path), (std::vector<std::string>{"first", "second"}));
}

// Used to be accepted: a link, or a file of another user's, when run as root.
TEST(PasswordFile, RefusesFilesThatAreNotTheUsersOwnSecret) {
  testsupport::TempDir dir("kwo-passwords");
  std::string good = dir.path() + "/good";
  std::ofstream(good) << "secret\n";
  chmod(good.c_str(), 0600);
  struct Case {
    std::string name;
    std::function<void(const std::string&)> make;
    std::string message;
  };
  auto copyWithMode = [&](mode_t mode) {
    return [=](const std::string& path) {
      std::ofstream(path) << "secret\n";
      chmod(path.c_str(), mode);
    };
  };
  std::vector<Case> cases{
      {"link", [&](const std::string& path) { symlink(good.c_str(), path.c_str()); },
       "is a symbolic link"},
      {"readable", copyWithMode(0644), "has mode 644"},
      {"group", copyWithMode(0660), "has mode 660"},
      {"empty", [](const std::string& path) {
         std::ofstream{path};
         chmod(path.c_str(), 0600);
       }, "holds no password"},
      {"folder", [](const std::string& path) { mkdir(path.c_str(), 0700); }, "not a regular file"},
  };
  if (getuid() == 0)
    cases.push_back({"other owner", [&](const std::string& path) {
                       copyWithMode(0600)(path);
                       EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
                     }, "belongs to uid 65534"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.path() + "/" + c.name;
    c.make(path);
    try {
      PasswordFile::read(path);
      ADD_FAILURE() << "accepted";
    } catch (const plat::Exception& e) {
      EXPECT_NE(std::string(e.str()).find(c.message), std::string::npos) << e.str();
    }
  }
}

} // namespace kwoserve
