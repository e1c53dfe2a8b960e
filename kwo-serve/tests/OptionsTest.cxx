#include "kwo-serve/Options.h"

#include "base/plat/Exception.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

namespace kwoserve {

using Args = std::vector<std::string>;

TEST(Options, ParsesValuesAndRefusesBadOrUnsafeCommandLines) {
  Options o = Options::parse({});
  EXPECT_EQ(o.listenAddress, "127.0.0.1");
  EXPECT_EQ(o.port, 5900);
  EXPECT_FALSE(o.display || o.wsPort || o.help);
  o = Options::parse({"-display", ":3", "-port", "5911", "-wsport", "6080", "-param",
                      "PollInterval=20", "-param", "Desktop=a=b", "-geometry", "800x600",
                      "-maxclients", "4", "-wsorigin", "https://a.example", "-wsorigin",
                      "http://b.example:8080", "-nopassword", "-help"});
  EXPECT_EQ(*o.display, ":3");
  EXPECT_EQ(o.port, 5911);
  EXPECT_EQ(*o.wsPort, 6080);
  // Only the first '=' separates name and value.
  EXPECT_EQ(o.params, (std::vector<std::pair<std::string, std::string>>{
                          {"PollInterval", "20"}, {"Desktop", "a=b"}}));
  EXPECT_EQ(o.width * 10000 + o.height, 8000600);
  EXPECT_EQ(o.maxClients, 4);
  EXPECT_EQ(o.wsOrigins, (Args{"https://a.example", "http://b.example:8080"}));
  EXPECT_TRUE(o.noPassword);
  EXPECT_TRUE(o.help);

  for (const Args& args : std::vector<Args>{{}, {"-listen", "0.0.0.0"}, {"-nopassword"}})
    EXPECT_NO_THROW(Options::parse(args).checkSafety()) << testing::PrintToString(args);
  const std::vector<Args> bad{
      {"-port"}, {"-port", "0"}, {"-port", "65536"}, {"-port", "59x"}, {"-unknown", "1"},
      {"-param", "=v"}, {"-param", "novalue"}, {"-geometry", "800"}, {"-depth", "12"},
      {"-maxclients", "0"}, {"-wsorigin", "example.net"}, {"-wsorigin", "http://"},
      {"-wsorigin", "http://a/b"}, {"-display", ""},
      // No password beyond loopback, nor beside a password file.
      {"-listen", "0.0.0.0", "-nopassword"}, {"-nopassword", "-passwordfile", "f"},
  };
  for (const Args& args : bad)
    EXPECT_THROW(Options::parse(args).checkSafety(), plat::Exception) << testing::PrintToString(args);
  for (const char* address : {"127.0.0.1", "127.1.2.3", "::1", "localhost"})
    EXPECT_TRUE(Options::isLoopback(address)) << address;
  for (const char* address : {"0.0.0.0", "10.0.0.1", "::", "example", "128.0.0.1"})
    EXPECT_FALSE(Options::isLoopback(address)) << address;
}

// Option names in the usage text: lines that start "  -", names separated
// by ", " before the first run of two spaces.
TEST(Options, HelpListsEveryOptionTheParserTakesAndNoOther) {
  std::set<std::string> listed, parsed;
  std::istringstream lines(Options::usage());
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line.rfind("  -", 0) ? "" : line.substr(2, line.find("  ", 2) - 2));
    for (std::string word; words >> word;)
      if (word[0] == '-')
        listed.insert(word.back() == ',' ? word.substr(0, word.size() - 1) : word);
  }
  for (const Options::Spec& spec : Options::table())
    parsed.insert(spec.name);
  EXPECT_EQ(listed, parsed);
}

} // namespace kwoserve
