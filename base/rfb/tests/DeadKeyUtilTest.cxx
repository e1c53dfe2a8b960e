#include "base/rfb/DeadKeyUtil.h"

#include "DeadKeyTestSupport.h"
#include "base/plat/Exception.h"
#include "testsupport/LogRecorder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

using rfb::DeadKeyUtil;
using rfbtest::DeadKeyFileSetting;
using rfbtest::TempFile;

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
  {
    struct Case {
      uint32_t spacing;
      uint32_t dead;
    };
    const Case cases[] = {
      {0x60, 0xfe50},      {0x27, 0xfe51},      {0xb4, 0xfe51},      {0x1000384, 0xfe51},
      {0x5e, 0xfe52},      {0x10002c6, 0xfe52}, {0x7e, 0xfe53},      {0x10002dc, 0xfe53},
      {0xaf, 0xfe54},      {0x1a2, 0xfe55},     {0x1ff, 0xfe56},     {0x22, 0xfe57},
      {0xa8, 0xfe57},      {0xb0, 0xfe58},      {0x10002da, 0xfe58}, {0x1bd, 0xfe59},
      {0x1b7, 0xfe5a},     {0xb8, 0xfe5b},      {0x1b2, 0xfe5c},     {0x7ae, 0x1000344},
      {0x41, 0},           {0x20, 0},           {0xfe51, 0},
    };
    DeadKeyUtil util("");
    EXPECT_EQ(20u, util.spacingTable().size());
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << "spacing 0x" << c.spacing);
      EXPECT_EQ(c.dead, util.deadForSpacing(c.spacing));
    }
  }
  {
    struct Case {
      uint32_t dead;
      uint32_t spacing;
    };
    const Case cases[] = {
      {0xfe50, 0x60},  {0xfe51, 0x27}, {0xfe52, 0x5e},     {0xfe57, 0x22},
      {0xfe58, 0xb0},  {0xfe5c, 0x1b2}, {0x1000344, 0x7ae}, {0xfe60, 0},
    };
    DeadKeyUtil util("");
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << "dead 0x" << c.dead);
      EXPECT_EQ(c.spacing, util.spacingForDead(c.dead));
    }
  }
  {
    struct Case {
      uint32_t combined;
      uint32_t dead;
      uint32_t base;
    };
    const Case cases[] = {
      {0x60, 0xfe50, 0x20},         // grave
      {0xc0, 0xfe50, 0x41},         // Agrave
      {0xc8, 0xfe50, 0x45},         // Egrave
      {0xe9, 0xfe51, 0x65},         // eacute
      {0xc5, 0xfe58, 0x41},         // Aring
      {0xff, 0xfe57, 0x79},         // ydiaeresis
      {0xd8, 0xfe63, 0x4f},         // Oslash
      {0x1c6, 0xfe51, 0x43},        // Cacute
      {0x1b7, 0xfe5a, 0x20},        // caron
      {0x1d5, 0xfe59, 0x4f},        // Odoubleacute
      {0x2a1, 0xfe63, 0x48},        // Hstroke
      {0x2a9, 0xfe56, 0x49},        // Iabovedot
      {0x3ab, 0xfe5b, 0x47},        // Gcedilla
      {0x3e0, 0xfe54, 0x61},        // amacron
      {0x1001e02, 0xfe56, 0x42},    // Babovedot
      {0x1000175, 0xfe52, 0x77},    // wcircumflex
      {0x13be, 0xfe57, 0x59},       // Ydiaeresis
      {0x7a1, 0xfe51, 0x7c1},       // Greek_ALPHAaccent
      {0x7b6, 0x1000344, 0x7e9},    // Greek_iotaaccentdieresis
      {0x7ae, 0x1000344, 0x20},     // Greek_accentdieresis
    };
    DeadKeyUtil util("");
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << std::hex << "combined 0x" << c.combined);
      auto parts = util.decompose(c.combined);
      ASSERT_TRUE(parts.has_value());
      EXPECT_EQ(c.dead, parts->first);
      EXPECT_EQ(c.base, parts->second);
    }
    for (uint32_t plain : {0x41u, 0x20u, 0xd7u /* multiply */, 0x3a2u /* kra */, 0xfe51u})
      EXPECT_FALSE(util.decompose(plain).has_value()) << std::hex << plain;
  }
}

TEST(DeadKeyUtil, ParsesHexadecimalKeysyms) {
  struct Case {
    const char* text;
    bool valid;
    uint32_t keysym;
  };
  const Case cases[] = {
    {"0x27", true, 0x27},         {"27", true, 0x27},       {"0XFE51", true, 0xfe51},
    {"fe51", true, 0xfe51},       {"ffffffff", true, 0xffffffff},
    {"0x00000000ff", true, 0xff}, {" 0x41\n", true, 0x41},  {"0", true, 0},
    {"0x100000000", false, 0},    {"0x", false, 0},         {"", false, 0},
    {"12g", false, 0},            {"-1", false, 0},         {"0x 1", false, 0},
    {"+1", false, 0},             {"1 2", false, 0},
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
    testsupport::LogRecorder recorder("DeadKeyUtil", 110);
    const size_t builtIn = DeadKeyUtil("").compositionCount();
    DeadKeyUtil util(file.path());

    const std::vector<std::string> expected = {
      "Reading dead key info from " + file.path(),
      "Got 2 dead keys",
      "spacing 0x27 dead 0xfe51",
      "spacing 0xb0 dead 0xfe58",
      "Got 2 comps",
      "comb 0x1001e9e dead 0xfe5a base 0x53",
      "comb 0xe9 dead 0xfe50 base 0x65",
    };
    EXPECT_EQ(expected, recorder.texts("DeadKeyUtil"));

    // The file's dead keys replace the built-in ones...
    const std::vector<std::pair<uint32_t, uint32_t>> spacing = {{0x27, 0xfe51}, {0xb0, 0xfe58}};
    EXPECT_EQ(spacing, util.spacingTable());
    EXPECT_EQ(0u, util.deadForSpacing(0x60));
    // ...and its compositions come after the built-in ones, replacing equals.
    EXPECT_EQ(builtIn + 1, util.compositionCount());
    EXPECT_EQ(std::make_pair(0xfe5au, 0x53u), util.decompose(0x1001e9e).value());
    EXPECT_EQ(std::make_pair(0xfe50u, 0x65u), util.decompose(0xe9).value());
    EXPECT_EQ(std::make_pair(0xfe51u, 0x45u), util.decompose(0xc9).value());
  }
  {
    TempFile file(R"(<info>
    <deadKeys><k><s>0x60</s><d>0xfe50</d></k></deadKeys>
    <deadKeys-de><k><s>0xb4</s><d>0xfe51</d></k><k><s>0x5e</s><d>0xfe52</d></k></deadKeys-de>
    <comps/>
  </info>)");
    testsupport::LogRecorder recorder("DeadKeyUtil", 100);
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
  {
    TempFile file(deadKeysXml);
    EXPECT_EQ(20u, DeadKeyUtil().spacingTable().size());
    DeadKeyFileSetting setting(file.path());
    DeadKeyUtil util;
    EXPECT_EQ(2u, util.spacingTable().size());
    EXPECT_TRUE(util.decompose(0x1001e9e).has_value());
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
    {"empty file", "", ": No document element found at offset 0", false},
    {"no deadKeys", "<info><comps/></info>", "No element named deadKeys", false},
    {"short dead-key entry",
     "<info><deadKeys><k><s>0x60</s><d>0xfe50</d></k><k><s>0x27</s></k></deadKeys></info>",
     "Entry 1 of deadKeys has fewer than 2 elements", false},
    {"bad dead keysym", "<info><deadKeys><k><s>0x60</s><d>keysym</d></k></deadKeys></info>",
     "Invalid keysym 'keysym'", false},
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
    std::string path = "/tmp/kwo-deadkeys-no-such-file.xml";
    std::unique_ptr<TempFile> file;
    if (c.content) {
      file = std::make_unique<TempFile>(c.content);
      path = file->path();
    }
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
