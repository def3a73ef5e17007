#include "reader/settings.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>

#include "reader/work_folder.h"

namespace {

TEST(SettingsTest, RoundTripWritesTwoCrLfLines) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/vorbu.ini";
  WriteSettings(path, Settings{"3", "0"});
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ("3\r\n0\r\n", bytes.str());
  const Settings back = ReadSettings(path);
  EXPECT_EQ("3", back.speechRate);
  EXPECT_EQ("0", back.voice);
}

TEST(SettingsTest, ReadingAMissingOrShortFileRaises) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/vorbu.ini";
  EXPECT_THROW(ReadSettings(path), EInOutError);
  std::ofstream(path) << "2\r\n";
  EXPECT_THROW(ReadSettings(path), EInOutError);
}

TEST(SettingsTest, OnlyRatesOneToThreeAndVoicesZeroToFiveAreValid) {
  struct Case {
    Settings settings;
    bool valid;
  } cases[] = {
      {{"1", "0"}, true},   {{"3", "5"}, true},   {{"0", "0"}, false}, {{"4", "0"}, false},
      {{"2", "6"}, false},  {{"2", ""}, false},   {{"", "1"}, false},  {{"22", "1"}, false},
      {{"2", "-1"}, false}, {{"2 ", "1"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.valid, SettingsValid(c.settings))
        << '"' << c.settings.speechRate << "\" \"" << c.settings.voice << '"';
  }
}

}  // namespace
