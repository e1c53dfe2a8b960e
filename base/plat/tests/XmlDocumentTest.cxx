#include "base/plat/BinaryParameter.h"
#include "base/plat/BoolParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/IntParameter.h"
#include "base/plat/S64Parameter.h"
#include "base/plat/StringParameter.h"
#include "base/plat/XmlParamFilter.h"

#include <gtest/gtest.h>

namespace {

class XmlDocument : public testing::Test {
protected:
  void SetUp() override {
    flag.setParam("off", 10);
    flag.set(true, 40);
    count.setParam("20", 10);
  }

  plat::Configuration top{"Top"};
  plat::Configuration child{"Child", nullptr, &top};
  plat::BoolParameter flag{"Flag", "Says \"yes\" & <no> 'maybe'", true, true, &top, "zeta,alpha"};
  plat::IntParameter count{"Count", plat::LocKey("svr_param_pollinterval"), 50, 1, 100, false,
                           &top};
  plat::StringParameter hidden{"_Private", "Underscore", "x&y", false, &top};
  plat::BinaryParameter key{"Key", "Key bytes", {1, 2}, false, &child};
  plat::S64Parameter big{"Big", "Big number", -2, false, &top};
};

const char* const bigXml =
  "<s64    name=\"Big\"\n"
  "        description=\"Big number\"\n"
  "        advanced=\"false\">\n"
  "    <value data=\"int64:fffffffffffffffe\" priority=\"0\"/>\n"
  "</s64>\n";
const char* const flagXml =
  "<bool   name=\"Flag\"\n"
  "        description=\"Says &quot;yes&quot; &amp; &lt;no&gt; &apos;maybe&apos;\"\n"
  "        advanced=\"true\"\n"
  "        flags=\"alpha,zeta\">\n"
  "    <value data=\"1\" priority=\"0\"/>\n"
  "    <value data=\"0\" priority=\"10\"/>\n"
  "    <value data=\"1\" priority=\"40\"/>\n"
  "</bool>\n";
const char* const keyXml =
  "<binary name=\"Key\"\n"
  "        description=\"Key bytes\"\n"
  "        advanced=\"false\">\n"
  "    <value data=\"&lt;binary&gt;\" priority=\"0\"/>\n"
  "</binary>\n";
const char* const privateXml =
  "<string name=\"_Private\"\n"
  "        description=\"Underscore\"\n"
  "        advanced=\"false\">\n"
  "    <value data=\"x&amp;y\" priority=\"0\"/>\n"
  "</string>\n";

// The document of `top`, with Count described by `countDescription`.
std::string topDocument(const std::string& first, const char* countDescription) {
  return "<?xml version=\"1.0\"?>\n<config>\n" + first + bigXml +
         "<int    name=\"Count\"\n"
         "        " + countDescription + "\n"
         "        advanced=\"false\"\n"
         "        min=\"1\"\n"
         "        max=\"100\">\n"
         "    <value data=\"50\" priority=\"0\"/>\n"
         "    <value data=\"20\" priority=\"10\"/>\n"
         "</int>\n" +
         flagXml + keyXml + "</config>\n";
}

class RejectByName : public plat::XmlParamFilter {
public:
  explicit RejectByName(std::string name) : name_(std::move(name)) {}
  bool accept(const char* name, const char* typeName, bool advanced) const override {
    seen.push_back(std::string(name) + ":" + typeName + (advanced ? ":adv" : ""));
    return name_ != name;
  }
  mutable std::vector<std::string> seen;

private:
  std::string name_;
};

TEST_F(XmlDocument, LocalisationKeysOrDescriptionsUnderscoreNamesAndAFilter) {
  EXPECT_EQ(plat::Configuration::writeXml(top, false, true, nullptr),
            topDocument("", "locDesc=\"svr_param_pollinterval\""));
  EXPECT_EQ(plat::Configuration::writeXml(top, true, false, nullptr),
            topDocument(privateXml, "description=\"How often to poll for display updates in ms.\""));
  RejectByName filter("Count");
  EXPECT_EQ(plat::Configuration::writeXml(top, false, true, &filter),
            std::string("<?xml version=\"1.0\"?>\n<config>\n") + bigXml + flagXml + keyXml +
              "</config>\n");
  std::sort(filter.seen.begin(), filter.seen.end());
  EXPECT_EQ(filter.seen, (std::vector<std::string>{"Big:s64", "Count:int", "Flag:bool:adv",
                                                   "Key:binary"}));
}

} // namespace
