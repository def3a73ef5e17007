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

TEST(ConfigFileTest, ListeningSpeed_WrittenBesideTheOtherLines_AndReadBack) {
  struct Case {
    const char* before;  // nullptr: no file
    const char* after;
  } cases[] = {
      {nullptr, "speed=1.5\n"},
      {"server=reader.example:81\n", "speed=1.5\nserver=reader.example:81\n"},
      {"# mine\nserver=reader.example:81\nspeed=3\n[Other]\nspeed=9\n",
       "# mine\nserver=reader.example:81\nspeed=1.5\n[Other]\nspeed=9\n"},
      {"[General]\nserver=reader.example:81", "[General]\nspeed=1.5\nserver=reader.example:81\n"},
      {"server=reader.example:81\r\nspeed = 2\r\n", "server=reader.example:81\r\nspeed=1.5\r\n"},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/talking-reader/talking-reader.conf";
    if (c.before != nullptr) {
      ASSERT_TRUE(QDir().mkpath(dir.path() + "/talking-reader"));
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      file.write(c.before);
    }
    std::string error;
    ASSERT_TRUE(WriteListeningSpeed(path.toStdString(), 1.5, error)) << error;
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(c.after, file.readAll().toStdString());
    const SpeedChoice read = ReadListeningSpeed(path.toStdString());
    EXPECT_EQ(1.5, read.speed) << c.after;
    EXPECT_EQ("", read.warning);
    if (c.before != nullptr) {
      EXPECT_EQ("reader.example", ChooseServer(ParseCommandLine({}), path.toStdString()).host);
    }
  }
}

TEST(ConfigFileTest, ListeningSpeed_ABadValueWarnsAndOneStands) {
  struct Case {
    const char* file;
    double speed;
    bool warns;
  } cases[] = {
      {"volume=3\n", 1, false},         {"speed=0.5\n", 0.5, false},
      {"speed=4\n", 4, false},          {"speed=2.75\n", 2.75, false},
      {"speed=1.3\n", 1, true},         {"speed=4.25\n", 1, true},
      {"speed=0.25\n", 1, true},        {"speed=fast\n", 1, true},
      {"speed=1,5\n", 1, true},         {"speed=\n", 1, true},
      {"speed=2e0\n", 1, true},         {"speed=nan\n", 1, true},
      {"speed=\"1.5\x01\"\n", 1, true},
  };
  for (const Case& c : cases) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/talking-reader.conf";
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(c.file);
    file.close();
    const SpeedChoice choice = ReadListeningSpeed(path.toStdString());
    EXPECT_EQ(c.speed, choice.speed) << c.file;
    EXPECT_EQ(c.warns, !choice.warning.empty()) << c.file << choice.warning;
    EXPECT_EQ(std::string::npos, choice.warning.find('\x01')) << "shown as it stands";
  }
}

}  // namespace
