#include "base/plat/BadUtf8.h"
#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/EnumParameter.h"
#include "base/plat/IntParameter.h"
#include "base/plat/LogSetting.h"
#include "base/plat/S64Parameter.h"
#include "base/plat/StringParameter.h"

#include <gtest/gtest.h>

#include <climits>
#include <optional>

namespace {

struct TextCase {
  const char* text;  // null: no text given
  std::optional<std::string> expected;  // value text in force, or nothing when rejected
};

// Sets each text on a fresh parameter at priority 10 and compares what is in force.
template <typename Make>
void checkTexts(const std::vector<TextCase>& cases, Make make) {
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.text ? std::string("'") + c.text + "'" : std::string("<null>"));
    plat::Configuration group("Kinds");
    auto parameter = make(&group);
    bool accepted = parameter->setParam(c.text, 10);
    EXPECT_EQ(accepted, c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(parameter->getPriority(), 10);
      EXPECT_EQ(parameter->getValueStr(), *c.expected);
    } else {
      EXPECT_EQ(parameter->getPriority(), 0);
      EXPECT_FALSE(parameter->hasValueAt(10));
    }
  }
}

TEST(ParameterKinds, BoolTexts) {
  checkTexts({{"1", "1"}, {"on", "1"}, {"TRUE", "1"}, {"Yes", "1"}, {"", "1"}, {nullptr, "1"},
              {"0", "0"}, {"OFF", "0"}, {"false", "0"}, {"nO", "0"},
              {"maybe", std::nullopt}, {"2", std::nullopt}, {" 1", std::nullopt},
              {"yess", std::nullopt}, {"tru", std::nullopt}},
             [](plat::Configuration* g) {
               // The opposite default to each accepted word would hide a no-op; use both.
               return std::make_unique<plat::BoolParameter>("Flag", "A flag", false, false, g);
             });
  plat::Configuration group("Kinds");
  plat::BoolParameter on("On", "A flag", true, false, &group);
  EXPECT_TRUE(on.setParam("off", 10));
  EXPECT_FALSE(bool(on));
  EXPECT_EQ(on.getBoolValue(), false);
  EXPECT_EQ(on.getIntValue(), 0);
  EXPECT_STREQ(on.typeName(), "bool");
}

TEST(ParameterKinds, IntTexts) {
  checkTexts({{"42", "42"}, {"+7", "7"}, {"-5", "-5"}, {"0x1F", "31"}, {"0X10", "16"},
              {"-0x10", "-16"}, {"017", "15"}, {"0", "0"}, {"-100", "-100"}, {"100", "100"},
              {"101", std::nullopt}, {"-101", std::nullopt}, {"", std::nullopt},
              {nullptr, std::nullopt}, {"12abc", std::nullopt}, {" 12", std::nullopt},
              {"12 ", std::nullopt}, {"08", std::nullopt}, {"0x", std::nullopt},
              {"0xG", std::nullopt}, {"-", std::nullopt}, {"1.5", std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::IntParameter>("Count", "A count", 1, -100, 100,
                                                           false, g);
             });
}

TEST(ParameterKinds, IntLimitsAndOverflow) {
  checkTexts({{"2147483647", "2147483647"}, {"-2147483648", "-2147483648"},
              {"0x7fffffff", "2147483647"}, {"2147483648", std::nullopt},
              {"-2147483649", std::nullopt}, {"99999999999999999999999", std::nullopt},
              {"0x100000000", std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::IntParameter>("Count", "A count", 0, INT_MIN,
                                                           INT_MAX, false, g);
             });
  plat::Configuration group("Kinds");
  plat::IntParameter ranged("Ranged", "r", 5, 1, 10, false, &group);
  EXPECT_FALSE(ranged.set(0, 10));
  EXPECT_FALSE(ranged.set(11, 10));
  EXPECT_TRUE(ranged.set(10, 10));
  EXPECT_EQ(int(ranged), 10);
  EXPECT_EQ(ranged.getIntValue(), 10);
  EXPECT_EQ(ranged.getMin(), 1);
  EXPECT_EQ(ranged.getMax(), 10);
}

const char* const speeds[] = {"fast", "medium", "slow", nullptr};

TEST(ParameterKinds, EnumTexts) {
  checkTexts({{"fast", "fast"}, {"MEDIUM", "medium"}, {"Slow", "slow"}, {"1", std::nullopt},
              {"slowest", std::nullopt}, {"", std::nullopt}, {nullptr, std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::EnumParameter>("Speed", "How fast", speeds, 1,
                                                            false, g);
             });
  plat::Configuration group("Kinds");
  plat::EnumParameter speed("Speed", "How fast", speeds, 2, false, &group);
  EXPECT_EQ(speed.getValue(), 2);
  EXPECT_EQ(speed.getValueName(), "slow");
  EXPECT_EQ(speed.getMin(), 0);
  EXPECT_EQ(speed.getMax(), 2);
  EXPECT_EQ(speed.intValueText(0), "fast");
  EXPECT_STREQ(speed.typeName(), "enum");
}

TEST(ParameterKinds, StringTexts) {
  checkTexts({{"hello", "hello"}, {"", ""}, {"caf\xc3\xa9", "caf\xc3\xa9"},
              {nullptr, std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::StringParameter>("Text", "Some text", "x", false, g);
             });
}

TEST(ParameterKinds, StringRejectsBadUtf8WithException) {
  plat::Configuration group("Kinds");
  plat::StringParameter text("Greeting", "Some text", "hi", false, &group);
  for (const char* bad : {"\xc3", "ab\xff", "\xed\xa0\x80", "\xc0\xaf"}) {
    SCOPED_TRACE(testing::PrintToString(std::string(bad)));
    try {
      text.setParam(bad, 10);
      FAIL() << "no exception";
    } catch (const plat::BadUtf8& e) {
      EXPECT_STREQ(e.str(), "Bad UTF-8 string for Greeting");
    }
    EXPECT_EQ(text.getValue(), "hi");
    EXPECT_FALSE(text.hasValueAt(10));
  }
}

TEST(ParameterKinds, StringDefaultMustBeGiven) {
  plat::Configuration group("Kinds");
  try {
    plat::StringParameter text("NoDefault", "d", nullptr, false, &group);
    FAIL() << "no exception";
  } catch (const plat::Exception& e) {
    EXPECT_STREQ(e.str(), "Default value <null> for NoDefault not allowed");
  }
  // The half-built parameter must not stay in the group.
  EXPECT_EQ(group.findParam("NoDefault"), nullptr);
  EXPECT_EQ(group.head(), nullptr);
}

TEST(ParameterKinds, S64Texts) {
  checkTexts({{"int64:0000000000000001", "int64:0000000000000001"},
              {"int64:FFFFFFFFFFFFFFFE", "int64:fffffffffffffffe"},
              {"int64:7fffffffffffffff", "int64:7fffffffffffffff"},
              {"int64:000000000000001", std::nullopt},
              {"int64:00000000000000001", std::nullopt},
              {"INT64:0000000000000001", std::nullopt},
              {"0000000000000001", std::nullopt}, {"int64:000000000000000g", std::nullopt},
              {"1", std::nullopt}, {nullptr, std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::S64Parameter>("Big", "A big number", 0, false, g);
             });
  plat::Configuration group("Kinds");
  plat::S64Parameter big("Big", "A big number", -2, false, &group);
  EXPECT_EQ(big.getValue(), -2);
  ASSERT_TRUE(big.setParam("int64:8000000000000000", 10));
  EXPECT_EQ(big.getValue(), INT64_MIN);
  EXPECT_STREQ(big.typeName(), "s64");
}

TEST(ParameterKinds, BinaryTexts) {
  checkTexts({{"00ff", "<binary>"}, {"ABcd", "<binary>"}, {"", "<binary>"},
              {"abc", std::nullopt}, {"zz", std::nullopt}, {"0x00", std::nullopt},
              {nullptr, std::nullopt}},
             [](plat::Configuration* g) {
               return std::make_unique<plat::BinaryParameter>("Key", "Key bytes",
                                                              std::vector<uint8_t>{9}, false, g);
             });
  plat::Configuration group("Kinds");
  plat::BinaryParameter key("Key", "Key bytes", {}, false, &group);
  ASSERT_TRUE(key.setParam("00A1fF", 10));
  EXPECT_EQ(key.getValue(), (std::vector<uint8_t>{0x00, 0xa1, 0xff}));
  EXPECT_EQ(key.valueText(10), "<binary>");
  EXPECT_STREQ(key.typeName(), "binary");
}

TEST(ParameterKinds, CloneCopiesTextsTagsAndValuesIntoAnotherGroup) {
  plat::Configuration from("From");
  plat::Configuration to("To");
  plat::EnumParameter speed("Speed", plat::LocKey("svr_param_pollinterval"), speeds, 0, true,
                            &from, "b,a");
  speed.setParam("slow", 10);
  std::unique_ptr<plat::ConfigParameter> copy = speed.clone(&to);
  EXPECT_EQ(to.findParam("speed"), copy.get());
  EXPECT_EQ(copy->group(), &to);
  EXPECT_STREQ(copy->typeName(), "enum");
  EXPECT_STREQ(copy->getLocDescKey(), "svr_param_pollinterval");
  EXPECT_TRUE(copy->isAdvanced());
  EXPECT_EQ(copy->tags(), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(copy->values(), speed.values());
  EXPECT_TRUE(copy->setParam("medium", 10));
  EXPECT_EQ(speed.getValueStr(), "slow");
  copy.reset();
  EXPECT_EQ(to.head(), nullptr);
}

TEST(ParameterKinds, DescriptionFromTextOrCatalogue) {
  plat::Configuration group("Kinds");
  plat::IntParameter plain("Plain", "Plain text", 1, 0, 9, false, &group);
  plat::IntParameter keyed("Keyed", plat::LocKey("svr_param_pollinterval"), 1, 0, 9, false,
                           &group);
  EXPECT_EQ(plain.descriptionText(), "Plain text");
  EXPECT_EQ(plain.getLocDescKey(), nullptr);
  EXPECT_EQ(keyed.descriptionText(), "How often to poll for display updates in ms.");
  EXPECT_EQ(keyed.getDescription(), nullptr);
}

TEST(ParameterKindsDeath, DescriptionOrKeyIsRequired) {
  plat::Configuration group("Kinds");
  // The assertion is reported through the log; send it where the test can see it.
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      plat::BoolParameter("NoText", static_cast<const char*>(nullptr), false, false, &group);
    },
    "Assertion 'desc \\|\\| locDesc' failed");
  EXPECT_DEATH(
    {
      plat::setLogSetting("Assert:stderr:0");
      plat::IntParameter("NoKey", plat::LocKey(nullptr), 0, 0, 1, false, &group);
    },
    "Assertion 'desc \\|\\| locDesc' failed");
}

} // namespace
