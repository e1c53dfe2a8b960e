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

TEST(DeadKeyUtil, BuiltInTables) {
  DeadKeyUtil util("");
  EXPECT_EQ(20u, util.spacingTable().size());
  // Both directions; the first match wins where a dead key has two spacings.
  const std::pair<uint32_t, uint32_t> pairs[] = {{0x60, 0xfe50}, {0xb4, 0xfe51}, {0x7ae, 0x1000344}};
  for (auto [spacing, dead] : pairs)
    EXPECT_EQ(dead, util.deadForSpacing(spacing)) << std::hex << spacing;
  EXPECT_EQ(0x27u, util.spacingForDead(0xfe51));
  EXPECT_EQ(0u, util.deadForSpacing(0x41));
  EXPECT_EQ(0u, util.spacingForDead(0xfe60));
  // One composition from each group.
  const uint32_t triples[][3] = {
    {0xc0, 0xfe50, 0x41},      {0x1c6, 0xfe51, 0x43}, {0x2a1, 0xfe63, 0x48}, {0x3ab, 0xfe5b, 0x47},
    {0x1001e02, 0xfe56, 0x42}, {0x13be, 0xfe57, 0x59}, {0x7a1, 0xfe51, 0x7c1},
  };
  for (const auto& t : triples) {
    SCOPED_TRACE(testing::Message() << std::hex << "combined 0x" << t[0]);
    auto parts = util.decompose(t[0]);
    ASSERT_TRUE(parts.has_value());
    EXPECT_EQ(std::make_pair(t[1], t[2]), *parts);
  }
  EXPECT_FALSE(util.decompose(0x41).has_value());
  EXPECT_FALSE(util.decompose(0xd7).has_value()); // multiply
}

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

TEST(DeadKeyUtil, GoodFiles) {
  {
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
  {
    TempFile file(R"(<info>
    <deadKeys><k><s>0x60</s><d>0xfe50</d></k></deadKeys>
    <deadKeys-de><k><s>0xb4</s><d>0xfe51</d></k><k><s>0x5e</s><d>0xfe52</d></k></deadKeys-de>
    <comps/>
  </info>)");
    struct Case {
      const char* layout;
      size_t count;
      uint32_t first;
    };
    const Case cases[] = {{nullptr, 1, 0x60}, {"de", 2, 0xb4}, {"fr", 1, 0x60}};
    for (const Case& c : cases) {
      SCOPED_TRACE(c.layout ? c.layout : "no layout");
      DeadKeyUtil util(file.path(), c.layout);
      ASSERT_EQ(c.count, util.spacingTable().size());
      EXPECT_EQ(c.first, util.spacingTable()[0].first);
    }
  }
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
    {"bad XML", "<info><deadKeys></info>", ": Start-end tags mismatch at offset 18", false},
    {"no deadKeys", "<info><comps/></info>", "No element named deadKeys", false},
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
