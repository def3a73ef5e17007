#include "app/config_file.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

TEST(ConfigFileTest, ServerFromTheFileUnlessGivenOnTheCommandLine) {
  struct Case {
    const char* file;  // nullptr: no file
    std::string host;
    int port;
    bool warns;
  } cases[] = {
      {nullptr, "127.0.0.1", 8080, false},
      {"", "127.0.0.1", 8080, false},
      {"volume=3\n", "127.0.0.1", 8080, false},
      {"server=reader.example\n", "reader.example", 8080, false},
      {"server = 10.1.2.3:9000\n", "10.1.2.3", 9000, false},
      {"[General]\nserver=localhost:81\n", "localhost", 81, false},
      {"server=\n", "127.0.0.1", 8080, true},
      {"server=reader.example:99999\n", "127.0.0.1", 8080, true},
      {"server=reader.example:http\n", "127.0.0.1", 8080, true},
      {"server=:80\n", "127.0.0.1", 8080, true},
      {"server=a.example,b.example\n", "127.0.0.1", 8080, true},
      {"server=\"reader example\"\n", "127.0.0.1", 8080, true},
      {"server=\"reader\\r\\nInjected: yes\"\n", "127.0.0.1", 8080, true},
      {"server=\"[::1]:8080\"\n", "127.0.0.1", 8080, true},
      {"server=\"::1\"\n", "127.0.0.1", 8080, true},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/talking-reader.conf";
    if (c.file != nullptr) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(c.file);
    }
    const ServerChoice choice = ChooseServer(ParseCommandLine({}), path.toStdString());
    const std::string what = c.file ? c.file : "(no file)";
    EXPECT_EQ(c.host, choice.host) << what;
    EXPECT_EQ(c.port, choice.port) << what;
    EXPECT_EQ(c.warns, !choice.warning.empty()) << what << choice.warning;
    if (c.warns) {
      EXPECT_NE(std::string::npos, choice.warning.find(path.toStdString())) << choice.warning;
      EXPECT_EQ(std::string::npos, choice.warning.find('\r')) << "shown as it stands";
    }

    const ServerChoice given =
        ChooseServer(ParseCommandLine({"--server", "cli.example"}), path.toStdString());
    EXPECT_EQ("cli.example", given.host) << what;
    EXPECT_EQ(8080, given.port) << what;
    EXPECT_TRUE(given.warning.empty()) << what;
  }
}

TEST(ConfigFileTest, AnUnreadableFileWarnsAndTheDefaultStands) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir().mkpath(dir.path() + "/talking-reader.conf"));  // a folder in its place
  const ServerChoice choice =
      ChooseServer(ParseCommandLine({}), (dir.path() + "/talking-reader.conf").toStdString());
  EXPECT_EQ("127.0.0.1", choice.host);
  EXPECT_EQ(8080, choice.port);
  EXPECT_NE(std::string::npos, choice.warning.find("cannot be read")) << choice.warning;
}

}  // namespace
