// The HTTP client against a web server nobody here wrote: lighttpd with a small CGI script,
// started by the test on a loopback socket the test bound to port 0 (handed over by socket
// activation, so no port is ever fixed or raced for).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "http/http_client.h"
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

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    socklen_t size = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &size);
    Port = ntohs(sa.sin_port);
    const int listener = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);  // never 3 itself
    ::close(fd);

    std::ofstream(Root + "/lighttpd.conf")
        << "server.document-root = \"" << Root << "\"\n"
        << "server.systemd-socket-activation = \"enable\"\n"
        << "server.bind = \"127.0.0.1\"\n"
        << "server.port = " << Port << "\n"
        << "server.errorlog = \"" << Root << "/error.log\"\n"
        << "server.modules = (\"mod_auth\", \"mod_authn_file\", \"mod_cgi\")\n"
        << "cgi.assign = (\".cgi\" => \"/bin/sh\")\n"
        << "auth.backend = \"plain\"\n"
        << "auth.backend.plain.userfile = \"" << Root << "/users\"\n"
        << "auth.require = (\"/cgi-bin/\" => (\"method\" => \"basic\", \"realm\" => \"reader\","
           " \"require\" => \"valid-user\"))\n";

    // The socket becomes descriptor 3 of the server, announced by LISTEN_FDS/LISTEN_PID.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, listener, 3);
    const std::string conf = Root + "/lighttpd.conf";
    const char* argv[] = {"/bin/sh", "-c", "LISTEN_PID=$$ exec \"$0\" -D -f \"$1\"", TR_LIGHTTPD,
                          conf.c_str(), nullptr};
    const char* envp[] = {"LISTEN_FDS=1", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", nullptr};
    const int rc = ::posix_spawn(&Server, "/bin/sh", &actions, nullptr, const_cast<char**>(argv),
                                 const_cast<char**>(envp));
    posix_spawn_file_actions_destroy(&actions);
    ::close(listener);
    ASSERT_EQ(rc, 0);
    // Connections queue on the bound socket until the server accepts them: no readiness wait.
  }

  void TearDown() override {
    if (Server > 0) {
      ::kill(Server, SIGTERM);
      ::waitpid(Server, nullptr, 0);
    }
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
    c->OnAboutToSend = [code](THttpClient& sender) { sender.RequestHeaders.SetHeader("Vorbu", code); };
    return c;
  }

  std::string Root;
  std::string Blob;
  uint16_t Port = 0;
  pid_t Server = -1;
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
