#include "kwo-serve/PasswordFile.h"

#include "base/plat/Exception.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace kwoserve {

// Used to be accepted: a link, or a file of another user's, when run as root.
TEST(PasswordFile, ReadsOnePasswordALineFromTheUsersOwnSecretOnly) {
  testsupport::TempDir dir("kwo-passwords");
  auto secret = [](const std::string& text, mode_t mode) {
    return [=](const std::string& path) {
      std::ofstream(path) << text;
      chmod(path.c_str(), mode);
    };
  };
  secret("first\r\n\nsecond\n", 0600)(dir.path() + "/good");
  EXPECT_EQ(PasswordFile::read(dir.path() + "/good"), (std::vector<std::string>{"first", "second"}));
  std::vector<std::pair<std::function<void(const std::string&)>, std::string>> cases{
      {[&](const std::string& path) { symlink((dir.path() + "/good").c_str(), path.c_str()); },
       "is a symbolic link"},
      {secret("secret\n", 0644), "has mode 644"},
      {secret("secret\n", 0660), "has mode 660"},
      {secret("", 0600), "holds no password"},
      {[](const std::string& path) { mkdir(path.c_str(), 0700); }, "not a regular file"},
  };
  if (getuid() == 0)
    cases.push_back({[&](const std::string& path) {
                       secret("secret\n", 0600)(path);
                       EXPECT_EQ(chown(path.c_str(), 65534, 65534), 0);
                     }, "belongs to uid 65534"});
  for (size_t i = 0; i < cases.size(); i++) {
    const auto& [make, message] = cases[i];
    SCOPED_TRACE(message);
    std::string path = dir.path() + "/" + std::to_string(i);
    make(path);
    try {
      PasswordFile::read(path);
      ADD_FAILURE() << "accepted";
    } catch (const plat::Exception& e) {
      EXPECT_NE(std::string(e.str()).find(message), std::string::npos) << e.str();
    }
  }
}

} // namespace kwoserve
