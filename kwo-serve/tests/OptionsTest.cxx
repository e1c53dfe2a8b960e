#include "kwo-serve/Options.h"

#include "base/plat/Exception.h"

#include <gtest/gtest.h>

namespace kwoserve {

TEST(Options, DefaultsAreLoopbackPort5900AndAVirtualDisplay) {
  Options o = Options::parse({});
  EXPECT_EQ(o.listenAddress, "127.0.0.1");
  EXPECT_EQ(o.port, 5900);
  EXPECT_FALSE(o.display);
  EXPECT_FALSE(o.wsPort);
  EXPECT_NO_THROW(o.checkSafety());
}

TEST(Options, ValuesAndRepeatedParams) {
  Options o = Options::parse({"-display", ":3", "-port", "5911", "-wsport", "6080", "-param",
                              "PollInterval=20", "-param", "Desktop=a=b", "-geometry", "800x600"});
  EXPECT_EQ(*o.display, ":3");
  EXPECT_EQ(o.port, 5911);
  EXPECT_EQ(*o.wsPort, 6080);
  ASSERT_EQ(o.params.size(), 2u);
  EXPECT_EQ(o.params[0], (std::pair<std::string, std::string>{"PollInterval", "20"}));
  // Only the first '=' separates name and value.
  EXPECT_EQ(o.params[1], (std::pair<std::string, std::string>{"Desktop", "a=b"}));
  EXPECT_EQ(o.width, 800);
  EXPECT_EQ(o.height, 600);
  o = Options::parse({"-maxclients", "4", "-wsorigin", "https://a.example", "-wsorigin",
                      "http://b.example:8080", "-nopassword"});
  EXPECT_EQ(o.maxClients, 4);
  EXPECT_EQ(o.wsOrigins, (std::vector<std::string>{"https://a.example", "http://b.example:8080"}));
  EXPECT_TRUE(o.noPassword);
}

TEST(Options, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases{
      {"-port"},           {"-port", "0"},        {"-port", "65536"}, {"-port", "59x"},
      {"-unknown", "1"},   {"-param", "=v"},      {"-param", "novalue"},
      {"-geometry", "800"}, {"-depth", "12"},       {"-maxclients", "0"},
      {"-wsorigin", "example.net"}, {"-wsorigin", "http://"}, {"-wsorigin", "http://a/b"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
    EXPECT_THROW(Options::parse(args), plat::Exception);
  }
}

TEST(Options, LoopbackAddresses) {
  const std::vector<std::pair<std::string, bool>> cases{
      {"127.0.0.1", true}, {"127.1.2.3", true}, {"::1", true},       {"localhost", true},
      {"0.0.0.0", false},  {"10.0.0.1", false}, {"::", false},       {"example", false},
      {"128.0.0.1", false},
  };
  for (const auto& [address, loopback] : cases) {
    SCOPED_TRACE(address);
    EXPECT_EQ(Options::isLoopback(address), loopback);
  }
}

TEST(Options, NoPasswordOnlyOnLoopbackAndNotWithAPasswordFile) {
  EXPECT_NO_THROW(Options::parse({"-listen", "0.0.0.0"}).checkSafety());
  EXPECT_NO_THROW(Options::parse({"-nopassword"}).checkSafety());
  EXPECT_THROW(Options::parse({"-listen", "0.0.0.0", "-nopassword"}).checkSafety(),
               plat::Exception);
  EXPECT_THROW(Options::parse({"-nopassword", "-passwordfile", "f"}).checkSafety(),
               plat::Exception);
}

} // namespace kwoserve
