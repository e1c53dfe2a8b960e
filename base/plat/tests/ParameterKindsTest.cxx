#include "base/plat/BadUtf8.h"
#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/S64Parameter.h"
#include "base/plat/StringParameter.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <optional>

namespace {

struct TextCase {
  const char* text;                    // null: no text given
  std::optional<std::string> expected; // value text in force, or nothing when rejected
};

using Make = std::function<std::unique_ptr<plat::ConfigParameter>(plat::Configuration*)>;

// Sets each text on a fresh parameter at priority 10 and compares what is in force.
void checkTexts(const char* kind, const std::vector<TextCase>& cases, const Make& make) {
  for (const TextCase& c : cases) {
    SCOPED_TRACE(kind + (c.text ? std::string(" '") + c.text + "'" : std::string(" <null>")));
    plat::Configuration group("Kinds");
    auto parameter = make(&group);
    EXPECT_EQ(parameter->setParam(c.text, 10), c.expected.has_value());
    EXPECT_EQ(parameter->hasValueAt(10), c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(parameter->getValueStr(), *c.expected);
    }
  }
}

// Makes a parameter of kind P from the leading constructor arguments.
template <class P, class... Args>
Make maker(Args... args) {
  return [=](plat::Configuration* group) { return std::make_unique<P>(args..., false, group); };
}

const char* const speeds[] = {"fast", "medium", "slow", nullptr};

TEST(ParameterKinds, TextsEachKindAcceptsOrRejects) {
  const auto none = std::nullopt;
  checkTexts("bool",
             {{"on", "1"}, {"Yes", "1"}, {nullptr, "1"}, {"OFF", "0"}, {"nO", "0"}, {"2", none},
              {"yess", none}},
             maker<plat::BoolParameter>("Flag", "A flag", true));
  checkTexts("int",
             {{"+7", "7"}, {"0X10", "16"}, {"-0x10", "-16"}, {"017", "15"}, {"100", "100"},
              {"-101", none}, {nullptr, none}, {"12 ", none}, {"08", none}, {"0x", none}},
             maker<plat::IntParameter>("Count", "c", 1, -100, 100));
  checkTexts("int limits",
             {{"-2147483648", "-2147483648"}, {"2147483648", none}, {"0x100000000", none}},
             maker<plat::IntParameter>("Count", "c", 0, INT_MIN, INT_MAX));
  checkTexts("enum", {{"MEDIUM", "medium"}, {"1", none}, {"slowest", none}},
             maker<plat::EnumParameter>("Speed", "s", speeds, 1));
  checkTexts("string",
             {{"hello", "hello"}, {"", ""}, {"caf\xc3\xa9", "caf\xc3\xa9"}, {nullptr, none}},
             maker<plat::StringParameter>("Text", "t", "x"));
  checkTexts("s64",
             {{"int64:FFFFFFFFFFFFFFFE", "int64:fffffffffffffffe"}, {"int64:000000000000001", none},
              {"INT64:0000000000000001", none}, {"int64:000000000000000g", none}},
             maker<plat::S64Parameter>("Big", "b", 0));
  checkTexts("binary", {{"ABcd", "<binary>"}, {"", "<binary>"}, {"abc", none}, {"zz", none}},
             maker<plat::BinaryParameter>("Key", "k", std::vector<uint8_t>{9}));
}

TEST(ParameterKinds, StringRefusesBadUtf8AndANullDefault) {
  plat::Configuration group("Kinds");
  plat::StringParameter text("Greeting", "Some text", "hi", false, &group);
  for (const char* bad : {"\xc3", "\xed\xa0\x80"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    try {
      text.setParam(bad, 10);
      ADD_FAILURE() << "no exception";
    } catch (const plat::BadUtf8& e) {
      EXPECT_STREQ(e.str(), "Bad UTF-8 string for Greeting");
    }
    EXPECT_FALSE(text.hasValueAt(10));
  }
  try {
    plat::StringParameter noDefault("NoDefault", "d", nullptr, false, &group);
    ADD_FAILURE() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_STREQ(e.str(), "Default value <null> for NoDefault not allowed");
  }
  // The half-built parameter must not stay in the group.
  EXPECT_EQ(group.findParam("NoDefault"), nullptr);
  EXPECT_EQ(group.head(), &text);
}

} // namespace
