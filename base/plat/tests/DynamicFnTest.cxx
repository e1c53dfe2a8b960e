#include "base/plat/DynamicFn.h"
#include "base/plat/DynamicFnLoadFailed.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <string>
#include <vector>

// The stand-in libraries are built beside the tests (see testsupport): only
// libkwodyn.so.1 and .so.2 export kwoDynVersion(), which returns the version;
// libkwodynnosym.so and .so.5 only export kwoDynOther(), which returns 7;
// libkwodynpin.so exports kwoDynVersion() returning 9. Libraries that
// provide a symbol stay loaded, so each test that checks loading state
// uses a library no other test loads successfully.

namespace {

using VersionFn = int (*)();

bool isLoaded(const char* file) {
  void* handle = dlopen(file, RTLD_LAZY | RTLD_NOLOAD);
  if (!handle)
    return false;
  dlclose(handle);
  return true;
}

TEST(DynamicFn, TriesCandidatesInOrder) {
  const std::string dir = KWO_DYNFN_DIR;
  const std::string absoluteV1 = dir + "/libkwodyn.so.1";
  struct Case {
    const char* spec;
    const char* symbols;
    bool pathsOnly;
    const char* expectedFile; // null: nothing found
    int expectedResult;
  };
  const Case cases[] = {
    // .so.3 does not exist, so the search falls through to .so.2.
    {"kwodyn[3,2,1]", "kwoDynVersion", false, "libkwodyn.so.2", 2},
    // An element whose versions all fail gives way to the next element.
    {"kwodyn[9,8],kwodyn[1]", "kwoDynVersion", false, "libkwodyn.so.1", 1},
    // A library that opens but lacks the symbol gives way too.
    {"kwodynnosym[5],kwodyn[2]", "kwoDynVersion", false, "libkwodyn.so.2", 2},
    // A bare name means lib<name>.so.
    {"kwodynnosym", "kwoDynOther", false, "libkwodynnosym.so", 7},
    {"kwodyn", "kwoDynVersion", false, nullptr, 0},
    // Alternative symbol names: the first one present wins.
    {"kwodyn[1]", "kwoDynMissing,kwoDynVersion,kwoDynOther", false, "libkwodyn.so.1", 1},
    // A name with "/" is a file name.
    {absoluteV1.c_str(), "kwoDynVersion", false, absoluteV1.c_str(), 1},
    // With pathsOnly every element is a file name, "lib" and ".so" included.
    {"libkwodyn.so.3,libkwodyn.so.2", "kwoDynVersion", true, "libkwodyn.so.2", 2},
    {"libkwodyn.so.2", "kwoDynVersion", false, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.spec) + " / " + c.symbols + (c.pathsOnly ? " (paths)" : ""));
    plat::DynamicFn fn(c.spec, c.symbols, c.pathsOnly);
    ASSERT_EQ(fn.found(), c.expectedFile != nullptr);
    EXPECT_EQ(fn.libraryFile(), c.expectedFile ? c.expectedFile : "");
    if (c.expectedFile) {
      EXPECT_EQ(fn.get<VersionFn>()(), c.expectedResult);
    }
  }
}

TEST(DynamicFn, ClosesALibraryThatLacksTheSymbolAndKeepsTheOneThatProvidedIt) {
  ASSERT_FALSE(isLoaded("libkwodynnosym.so.5"));
  ASSERT_FALSE(isLoaded("libkwodynpin.so"));
  {
    plat::DynamicFn fn("kwodynnosym[5],kwodynpin", "kwoDynVersion");
    ASSERT_TRUE(fn.found());
    EXPECT_EQ(fn.get<VersionFn>()(), 9);
  }
  EXPECT_FALSE(isLoaded("libkwodynnosym.so.5"));
  // Unloading it used to leave X extension hooks pointing into unmapped
  // code (and its data unreachable) once the handle was closed at exit.
  EXPECT_TRUE(isLoaded("libkwodynpin.so"));
}

TEST(DynamicFn, RequireThrowsNamingFunctionAndLibrary) {
  try {
    plat::DynamicFn("kwodyn[7,6]", "kwoDynVersion").require<VersionFn>();
    ADD_FAILURE() << "no exception";
  } catch (const plat::DynamicFnLoadFailed& e) {
    EXPECT_STREQ(e.str(), "Function kwoDynVersion not found in kwodyn[7,6] library");
  }
  EXPECT_EQ(plat::DynamicFn("kwodyn[7,2]", "kwoDynVersion").require<VersionFn>()(), 2);
}

} // namespace
