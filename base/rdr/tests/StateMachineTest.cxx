#include "base/rdr/StateMachine.h"

#include "base/plat/LogSetting.h"

#include <gtest/gtest.h>

#include <string>

namespace rdr::test {
namespace {

class Parser {
public:
  bool first() {
    trace += "first ";
    state.set(&Parser::second);
    return true;
  }
  bool second() {
    trace += "second ";
    return false;
  }

  StateMachine<Parser> state{*this};
  std::string trace;
};

TEST(StateMachine, RunsTheStateThatIsSet) {
  Parser p;
  EXPECT_FALSE(p.state.isSet());
  p.state.set(&Parser::first);
  EXPECT_TRUE(p.state.is(&Parser::first));
  while (p.state.run()) {
  }
  EXPECT_EQ(p.trace, "first second ");
  EXPECT_TRUE(p.state.is(&Parser::second));
  p.state.clear();
  EXPECT_FALSE(p.state.isSet());
}

TEST(StateMachineDeathTest, RunningWithoutAStateIsAnAssertion) {
  Parser p;
  EXPECT_DEATH(
      {
        plat::setLogSetting("*:stderr:0");
        p.state.run();
      },
      "Assertion 'stateFn' failed");
}

} // namespace
} // namespace rdr::test
