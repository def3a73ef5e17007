#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QRegularExpression>
#include <fstream>
#include <set>

#include "reader/reader_application.h"
#include "reader_fixture.h"

namespace {

std::string ReadAll(const std::string& path) {
  QFile file(QString::fromStdString(path));
  file.open(QIODevice::ReadOnly);
  return file.readAll().toStdString();
}

using FormStartupTest = ReaderFixture;

TEST_F(FormStartupTest, StartUpGivesTheDocumentedState) {
  const ReaderState& s = form->state;
  EXPECT_EQ("0", s.pagePath);
  EXPECT_EQ("-", s.lastPagePath);
  EXPECT_TRUE(s.menuKeySet.none());
  EXPECT_FALSE(s.requestBusy || s.answerWait || s.speedDialog || s.voiceDialog || s.menuPage);
  EXPECT_EQ(dir.path().toStdString() + "/work/", s.workFolder);
  EXPECT_EQ("wqwqw", s.accessCode);
  EXPECT_EQ(s.workFolder + "ding.wav", s.fallbackSoundPath);
  EXPECT_EQ(clock.Now(), s.lastActivityTime);
  EXPECT_EQ(0, s.idleCounter);
  EXPECT_EQ("2", s.speechRate);
  EXPECT_EQ("0", s.voice);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^&ID=(0|[1-9][0-9]{0,5})$"))
                  .match(QString::fromStdString(s.requestId))
                  .hasMatch())
      << s.requestId;
  // Num Lock and Caps Lock on (toggled, not held) whatever they were.
  EXPECT_EQ(1, keys.GetKeyState(vk::kNumLock));
  EXPECT_EQ(1, keys.GetKeyState(vk::kCapital));
  // The fallback ding is a real wave file, the silence file is empty.
  EXPECT_EQ("RIFF", ReadAll(s.fallbackSoundPath).substr(0, 4));
  EXPECT_EQ("", ReadAll(Work("vaikus.wav")));
  EXPECT_TRUE(QFile::exists(QString::fromStdString(Work("vaikus.wav"))));
}

TEST_F(FormStartupTest, RequestIdIsFixedForTheRunAndDrawnAnewAtTheNextStart) {
  form->FormActivate();
  ASSERT_TRUE(WaitForPageAndMap());
  Press(vk::k0 + 1);
  ASSERT_TRUE(WaitForPageAndMap());
  const auto requests = server->Requests();
  ASSERT_EQ(6u, requests.size()) << "speech, text and sentence map of two pages";
  for (const auto& r : requests) EXPECT_EQ(form->state.requestId, "&ID=" + r.query.at("ID"));

  std::set<std::string> ids;
  for (int run = 0; run < 8; ++run) {
    CreateForm();
    ids.insert(form->state.requestId);
  }
  EXPECT_GT(ids.size(), 1u) << "eight starts drew the same id";
}

TEST_F(FormStartupTest, ScrollLockReferenceIsTheStateAtStartUp) {
  keys.KeyDown(vk::kScroll);
  keys.KeyUp(vk::kScroll);
  CreateForm();
  EXPECT_EQ(1, form->state.scrollLockReference);
}

TEST_F(FormStartupTest, PlayersAskForANoticeOnTheirFirstOpenOnly) {
  form->mangi_res_mp3("vk_1");
  form->mangi_res_mp3("vk_2");
  std::vector<uint32_t> flags;
  for (const auto& c : media.Commands()) {
    if (c.command == mci::kOpen || c.command == mci::kClose) flags.push_back(c.flags);
  }
  const uint32_t open = mci::kWait | mci::kOpenElement | mci::kOpenShareable;
  EXPECT_EQ((std::vector<uint32_t>{open | mci::kNotify, mci::kWait, open}), flags);
}

TEST_F(FormStartupTest, ValidSettingsAreRememberedInvalidOnesLeftAlone) {
  struct Case {
    std::string file;
    std::string rate, voice;
  } cases[] = {
      {"3\r\n5\r\n", "3", "5"}, {"1\n4\n", "1", "4"},           {"7\r\n0\r\n", "2", "0"},
      {"2\r\n", "2", "0"},      {"\xFF\xFE garbage", "2", "0"},
  };
  for (const Case& c : cases) {
    std::ofstream(Work("vorbu.ini"), std::ios::binary) << c.file;
    CreateForm();
    EXPECT_EQ(c.rate, form->state.speechRate) << c.file;
    EXPECT_EQ(c.voice, form->state.voice) << c.file;
    EXPECT_EQ(c.file, ReadAll(Work("vorbu.ini"))) << "the file is left alone";
  }
}

TEST_F(FormStartupTest, SilenceFileReplacesANonEmptyOneAndRefusesAPlantedLink) {
  std::ofstream(Work("vaikus.wav")) << "noise";
  CreateForm();
  EXPECT_EQ("", ReadAll(Work("vaikus.wav")));

  std::vector<QString> errors;
  static_cast<ReaderApplication*>(qApp)->SetErrorReporter(
      [&errors](const QString& m) { errors.push_back(m); });
  std::ofstream(dir.path().toStdString() + "/victim") << "precious";
  QFile::remove(QString::fromStdString(Work("vaikus.wav")));
  ASSERT_EQ(0,
            ::symlink((dir.path().toStdString() + "/victim").c_str(), Work("vaikus.wav").c_str()));
  CreateForm();
  static_cast<ReaderApplication*>(qApp)->SetErrorReporter([](const QString&) {});
  EXPECT_EQ("precious", ReadAll(dir.path().toStdString() + "/victim"));
  ASSERT_EQ(1u, errors.size());
  EXPECT_TRUE(errors[0].contains(QStringLiteral("vaikus.wav"))) << errors[0].toStdString();
}

TEST_F(FormStartupTest, NoWorkFolderShowsTheErrorAndTheWindowStillRuns) {
  std::vector<QString> errors;
  static_cast<ReaderApplication*>(qApp)->SetErrorReporter(
      [&errors](const QString& m) { errors.push_back(m); });
  services.workFolderCandidates = {dir.path().toStdString() + "/no/such/parent"};
  CreateForm();
  static_cast<ReaderApplication*>(qApp)->SetErrorReporter([](const QString&) {});
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(QString::fromUtf8(std::strerror(ENOENT)), errors[0]);
  // Start-up stopped where the folder was needed: nothing after it was set.
  EXPECT_EQ("", form->state.workFolder);
  EXPECT_EQ("", form->state.accessCode);
  EXPECT_EQ("", form->state.requestId);
  EXPECT_EQ("0", form->state.pagePath);
}

TEST_F(FormStartupTest, AnExceptionFromAnEventHandlerReachesTheErrorBox) {
  std::vector<QString> errors;
  auto* app = static_cast<ReaderApplication*>(qApp);
  app->SetErrorReporter([&errors](const QString& m) { errors.push_back(m); });
  QTimer::singleShot(0, [] { throw Exception("Disk full"); });
  ProcessEvents();
  app->SetErrorReporter([](const QString&) {});
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(QStringLiteral("Disk full"), errors[0]);
}

TEST_F(FormStartupTest, KeyPreviewSeesEveryKeyOnceBeforeTheTextArea) {
  OpenRoot();
  form->show();
  form->Memo1->setFocus();
  ProcessEvents();
  const QString before = MemoText();
  // "1" chooses the first menu entry and is never typed into the text area.
  QKeyEvent press(QEvent::KeyPress, Qt::Key_1, Qt::NoModifier, QStringLiteral("1"));
  QCoreApplication::sendEvent(form->Memo1, &press);
  ProcessEvents();
  EXPECT_EQ("01", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"01+w", "01"}), server->Pages());
  EXPECT_FALSE(MemoText().contains(QStringLiteral("11")));
  const auto opened = media.Opened();
  EXPECT_EQ(1, std::count(opened.begin(), opened.end(), "vk_1.mp3"));
  (void)before;
}

TEST_F(FormStartupTest, MemoDropsTypedCharacters) {
  char c = 'x';
  form->Memo1KeyPress(c);
  EXPECT_EQ(0, c);
}

}  // namespace
