#include "base/rfb/DeadKeyUtil.h"

#include "base/plat/ConfigParameter.h"
#include "base/plat/Configuration.h"
#include "base/plat/Exception.h"
#include "testsupport/LogRecorder.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using rfb::DeadKeyUtil;

// A dead-key file with the given content in a private directory.
class TempFile {
public:
  explicit TempFile(const std::string& content) { std::ofstream(path_) << content; }
  const std::string& path() const { return path_; }

private:
  testsupport::TempDir dir_{"kwo-deadkeys"};
  std::string path_ = dir_.path() + "/keys.xml";
};

const char* const deadKeysXml = R"(<?xml version="1.0"?>
<deadKeyInfo>
  <!-- spacing, then dead -->
  <deadKeys>
    <key><spacing>0x27</spacing><dead>0xfe51</dead></key>
    <key><spacing>B0</spacing><dead>0XFE58</dead></key>
  </deadKeys>
  <comps>
    <comp><c>0x1001e9e</c><d>0xfe5a</d><b>0x53</b></comp>
    <comp><c>0xe9</c><d>0xfe50</d><b>0x65</b></comp>
  </comps>
</deadKeyInfo>
)";

TEST(DeadKeyUtil, ParsesHexadecimalKeysyms) {
  struct Case {
    const char* text;
    bool valid;
    uint32_t keysym;
  };
  const Case cases[] = {
    {"0x27", true, 0x27},   {"0XFE51", true, 0xfe51}, {"ffffffff", true, 0xffffffff},
    {" 0x41\n", true, 0x41}, {"0x100000000", false, 0}, {"0x", false, 0},
    {"12g", false, 0},       {"-1", false, 0},         {"1 2", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.text << "'");
    if (!c.valid) {
      EXPECT_THROW(DeadKeyUtil::parseKeysym(c.text), plat::Exception);
      continue;
    }
    EXPECT_EQ(c.keysym, DeadKeyUtil::parseKeysym(c.text));
  }
}

TEST(DeadKeyUtil, GoodFile) {
  TempFile file(deadKeysXml);
  const size_t builtIn = DeadKeyUtil("").compositionCount();
  DeadKeyUtil util(file.path());
  // The file's dead keys replace the built-in ones...
  const std::vector<std::pair<uint32_t, uint32_t>> spacing = {{0x27, 0xfe51}, {0xb0, 0xfe58}};
  EXPECT_EQ(spacing, util.spacingTable());
  EXPECT_EQ(0u, util.deadForSpacing(0x60));
  // ...and its compositions come after the built-in ones, replacing equals.
  EXPECT_EQ(builtIn + 1, util.compositionCount());
  EXPECT_EQ(std::make_pair(0xfe5au, 0x53u), util.decompose(0x1001e9e).value());
  EXPECT_EQ(std::make_pair(0xfe50u, 0x65u), util.decompose(0xe9).value());
  EXPECT_EQ(std::make_pair(0xfe51u, 0x45u), util.decompose(0xc9).value());
  // The default file is the DeadKeyFile setting.
  EXPECT_EQ(20u, DeadKeyUtil().spacingTable().size());
  plat::ConfigParameter* param = plat::Configuration::global().findParam("DeadKeyFile");
  ASSERT_NE(param, nullptr);
  ASSERT_TRUE(param->setParam(file.path().c_str(), 10));
  DeadKeyUtil fromSetting;
  param->unset(10, false);
  EXPECT_EQ(2u, fromSetting.spacingTable().size());
}

TEST(DeadKeyUtil, FileErrorsAreLoggedAndKeepWhatWasRead) {
  struct Case {
    const char* name;
    const char* content; // null: no such file
    std::string error;   // after the path and ": " where it starts with ':'
    bool spacingReplaced;
  };
  const Case cases[] = {
    {"missing file", nullptr, ": File was not found", false},
    {"short dead-key entry",
     "<info><deadKeys><k><s>0x60</s><d>0xfe50</d></k><k><s>0x27</s></k></deadKeys></info>",
     "Entry 1 of deadKeys has fewer than 2 elements", false},
    {"no comps", "<info><deadKeys><k><s>0x60</s><d>0xfe50</d></k></deadKeys></info>",
     "No element named comps", true},
    {"bad comp keysym",
     "<info><deadKeys><k><s>0x60</s><d>0xfe50</d></k></deadKeys>"
     "<comps><c><a>0x1001e9e</a><b>0xfe5a</b><c>0x53</c></c>"
     "<c><a>0x1ffffffff</a><b>0xfe5a</b><c>0x53</c></c></comps></info>",
     "Keysym out of range '0x1ffffffff'", true},
  };
  const size_t builtIn = DeadKeyUtil("").compositionCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile file(c.content ? c.content : "");
    std::string path = c.content ? file.path() : file.path() + ".missing";
    testsupport::LogRecorder recorder("DeadKeyUtil", 30);
    DeadKeyUtil util(path);
    const std::string error = c.error[0] == ':' ? path + c.error : c.error;
    const std::vector<std::string> expected = {"Reading dead key info from " + path,
                                               "Error reading dead key file: " + error};
    EXPECT_EQ(expected, recorder.texts("DeadKeyUtil"));
    EXPECT_EQ(c.spacingReplaced ? 1u : 20u, util.spacingTable().size());
    // A failing comps list adds none of its entries, not even the good ones.
    EXPECT_EQ(builtIn, util.compositionCount());
    EXPECT_FALSE(util.decompose(0x1001e9e).has_value());
  }
}

} // namespace
