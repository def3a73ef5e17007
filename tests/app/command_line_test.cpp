#include "app/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLineTest, ServerAddressesAndErrors) {
  using A = CommandLine::Action;
  struct Case {
    std::vector<std::string> args;
    A action;
    std::string host;
    int port;
  } cases[] = {
      {{}, A::Run, "127.0.0.1", 8080},
      {{"--server", "example.org"}, A::Run, "example.org", 8080},
      {{"--server", "10.1.2.3:9000"}, A::Run, "10.1.2.3", 9000},
      {{"--server=localhost:81"}, A::Run, "localhost", 81},
      {{"--help"}, A::Help, "127.0.0.1", 8080},
      {{"--version"}, A::Version, "127.0.0.1", 8080},
      {{"--server"}, A::Error, "", 0},
      {{"--server", ":80"}, A::Error, "", 0},
      {{"--server", "h:0"}, A::Error, "", 0},
      {{"--server", "h:65536"}, A::Error, "", 0},
      {{"--server", "h:8x"}, A::Error, "", 0},
      {{"--server", "[::1]:8080"}, A::Error, "", 0},
      {{"--frobnicate"}, A::Error, "", 0},
  };
  for (const Case& c : cases) {
    const CommandLine line = ParseCommandLine(c.args);
    EXPECT_EQ(c.action, line.action) << testing::PrintToString(c.args);
    if (c.action == A::Error) {
      EXPECT_FALSE(line.error.empty());
    } else {
      EXPECT_EQ(c.host, line.host);
      EXPECT_EQ(c.port, line.port);
    }
  }
}

}  // namespace
