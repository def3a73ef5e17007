// The HTTP client against a web server nobody here wrote: lighttpd with a small CGI script,
// started by the test on a loopback port of its own (see lighttpd_server.h).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "http/http_client.h"
#include "lighttpd_server.h"
#include "scripted_server.h"

namespace {

using namespace http_test;

std::string ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class LighttpdTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureApplication();
    const char* data = std::getenv("TR_TEST_DATA");
    if (data == nullptr) data = TR_HTTP_TEST_DATA;  // run outside CTest
    char pattern[] = "/tmp/http_lighttpd_test.XXXXXX";
    Root = ::mkdtemp(pattern);
    ASSERT_EQ(::mkdir((Root + "/cgi-bin").c_str(), 0700), 0);
    std::ofstream(Root + "/cgi-bin/tx.cgi") << ReadFile(std::string(data) + "/tx.cgi");
    std::ofstream(Root + "/users") << "1234:1234\n";
    for (uint64_t i = 0; i < 300 * 1024; ++i) Blob += PatternByte(i);
    std::ofstream(Root + "/blob.bin", std::ios::binary) << Blob;

    Server = std::make_unique<LighttpdServer>(
        TR_LIGHTTPD, Root,
        "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_cgi\")\n"
        "cgi.assign = (\".cgi\" => \"/bin/sh\")\n"
        "auth.backend = \"plain\"\n"
        "auth.backend.plain.userfile = \"" +
            Root +
            "/users\"\n"
            "auth.require = (\"/cgi-bin/\" => (\"method\" => \"basic\", \"realm\" => \"reader\","
            " \"require\" => \"valid-user\"))\n");
    Port = Server->port();
  }

  void TearDown() override {
    Server.reset();
    if (HasFailure()) std::printf("server log:\n%s\n", ReadFile(Root + "/error.log").c_str());
    (void)!std::system(("rm -rf '" + Root + "'").c_str());
  }

  std::unique_ptr<THttpClient> Client(const std::string& code) {
    auto c = std::make_unique<THttpClient>();
    c->Host = "127.0.0.1";
    c->Port = Port;
    c->TimeOut = 10000;
    c->HeaderInfo.UserId = code;
    c->HeaderInfo.Password = code;
    c->OnAboutToSend = [code](THttpClient& sender) {
      sender.RequestHeaders.SetHeader("Vorbu", code);
    };
    return c;
  }

  std::string Root;
  std::string Blob;
  uint16_t Port = 0;
  std::unique_ptr<LighttpdServer> Server;
};

TEST_F(LighttpdTest, TextPage_CarriesAuthorisationAndTheExtraHeaderToTheScript) {
  auto c = Client("1234");
  int successes = 0;
  c->OnSuccess = [&](int) { ++successes; };
  c->Get("/cgi-bin/tx.cgi?s=5&v=1&q=0&ID=7");
  EXPECT_EQ(c->ReplyCode, 200);
  EXPECT_EQ(c->Header.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << c->Header;
  EXPECT_EQ(c->Body,
            "user=1234\nvorbu=1234\nquery=s=5&v=1&q=0&ID=7\nServeriga ei saa \303\274hendust!\n");
  EXPECT_EQ(successes, 1);
}

TEST_F(LighttpdTest, BinaryBody_ArrivesByteForByteInTheFile) {
  auto c = Client("1234");
  c->InputFileMode = true;
  c->Body = Root + "/bod.mp3";
  c->Get("/cgi-bin/tx.cgi?s=5&v=1&q=0&ID=8&w=1");
  EXPECT_EQ(c->ReplyCode, 200);
  EXPECT_TRUE(ReadFile(c->Body) == Blob) << "body differs from blob.bin";
}

TEST_F(LighttpdTest, WrongAccessCode_Is401WithoutAnException) {
  auto c = Client("9999");
  int failures = 0, asked = 0;
  c->OnFailure = [&](int) { ++failures; };
  c->OnAuthenticationNeeded = [&](THttpClient&) { ++asked; };
  c->Get("/cgi-bin/tx.cgi?q=0");
  EXPECT_EQ(c->ReplyCode, 401);
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(c->Connected());
}

}  // namespace
