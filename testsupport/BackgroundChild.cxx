#include "testsupport/BackgroundChild.h"

namespace testsupport {

BackgroundChild::BackgroundChild(std::vector<std::string> argv,
                                 std::vector<std::pair<std::string, std::string>> environment,
                                 std::string input)
  : thread_([this, argv = std::move(argv), environment = std::move(environment),
             input = std::move(input)] {
      result_ = ChildProcess::run(argv, environment, input);
      ended_ = true;
    }) {}

BackgroundChild::~BackgroundChild() {
  thread_.join();
}

} // namespace testsupport
