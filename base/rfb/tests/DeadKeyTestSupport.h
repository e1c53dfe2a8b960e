#pragma once

// Dead-key files for the tests: a scratch file with given content, and the
// "DeadKeyFile" parameter naming it for the life of a scope.

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

namespace rfbtest {

class TempFile {
public:
  explicit TempFile(const std::string& content) {
    char pattern[] = "/tmp/kwo-deadkeys-XXXXXX";
    const int fd = mkstemp(pattern);
    EXPECT_GE(fd, 0);
    close(fd);
    path_ = pattern;
    std::ofstream(path_) << content;
  }
  ~TempFile() { unlink(path_.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

class DeadKeyFileSetting {
public:
  explicit DeadKeyFileSetting(const std::string& path)
    : param_(plat::Configuration::global().findParam("DeadKeyFile")) {
    EXPECT_NE(param_, nullptr);
    if (param_) {
      EXPECT_TRUE(param_->setParam(path.c_str(), 10));
    }
  }
  ~DeadKeyFileSetting() {
    if (param_)
      param_->unset(10, false);
  }
  DeadKeyFileSetting(const DeadKeyFileSetting&) = delete;
  DeadKeyFileSetting& operator=(const DeadKeyFileSetting&) = delete;

private:
  plat::ConfigParameter* param_;
};

} // namespace rfbtest
