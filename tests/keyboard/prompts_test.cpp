#include <QFile>
#include <fstream>

#include "reader_fixture.h"

namespace {

using PromptsTest = ReaderFixture;

TEST_F(PromptsTest, KeyNamesFollowScrollLockButTheForcedEchoDoesNot) {
  Press(vk::k0 + 5);
  EXPECT_TRUE(media.IsPlaying("vk_5.mp3"));
  media.ClearCommands();
  const int clicks = media.WavesPlayed();
  form->ytle_klahvi_nimi(vk::kF7, false);
  EXPECT_EQ(clicks + 1, media.WavesPlayed()) << "a key without a name clicks";

  keys.KeyDown(vk::kScroll);
  keys.KeyUp(vk::kScroll);
  form->ytle_klahvi_nimi(vk::k0 + 5, false);
  form->ytle_klahvi_nimi(vk::kF7, false);
  EXPECT_TRUE(media.Opened().empty());
  EXPECT_EQ(clicks + 1, media.WavesPlayed());
  form->ytle_klahvi_nimi(vk::kSpace, true);
  EXPECT_EQ((std::vector<std::string>{"vk_space.mp3"}), media.Opened());
}

TEST_F(PromptsTest, TheSecondKeyNameCutsTheFirst) {
  form->ytle_klahvi_nimi(vk::k0 + 1, false);
  form->ytle_klahvi_nimi(vk::k0 + 2, false);
  EXPECT_EQ((std::vector<std::string>{"vk_2.mp3"}), media.Playing());
}

TEST_F(PromptsTest, KeyNameFilesAreWrittenOnceAndAStaleOneIsPlayedUnchanged) {
  std::ofstream(Work("vk_3.mp3")) << "stale";
  form->ytle_klahvi_nimi(vk::k0 + 3, false);
  QFile stale(QString::fromStdString(Work("vk_3.mp3")));
  ASSERT_TRUE(stale.open(QIODevice::ReadOnly));
  EXPECT_EQ("stale", stale.readAll().toStdString());
  QFile::remove(QString::fromStdString(Work("vk_3.mp3")));
  form->ytle_klahvi_nimi(vk::k0 + 3, false);
  EXPECT_GT(QFile(QString::fromStdString(Work("vk_3.mp3"))).size(), 1000);
}

TEST_F(PromptsTest, EmbeddedSoundsByName) {
  // A wave name that does not exist plays nothing and raises nothing; an MP3 name raises.
  form->mangi_res_heli("no_such_sound");
  EXPECT_EQ(0, media.WavesPlayed());
  form->mangi_res_heli("CLICK");
  EXPECT_EQ(1, media.WavesPlayed());
  EXPECT_THROW(form->salvesta_res_mp3("no_such_sound"), Exception);
  // The second of two quick prompts cuts the first off.
  form->mangi_res_mp3("tx_yhendusviga");
  form->mangi_res_mp3("tx_kasutajatunnus");
  EXPECT_EQ((std::vector<std::string>{"tx_kasutajatunnus.mp3"}), media.Playing());
}

TEST_F(PromptsTest, HelpResumesATextPageWhereItWasAndRestartsAMenu) {
  form->state.pagePath = "012";
  form->FormActivate();
  media.Advance(form->MediaPlayer1.DeviceID(), 40000);
  When([this] { return media.IsPlaying("tx_kasutusjuhend.mp3"); },
       [this] { media.EndPlayback("tx_kasutusjuhend.mp3"); });
  Press(vk::kF11);
  ASSERT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(40000, media.PositionOf(form->MediaPlayer1.DeviceID()));

  OpenRoot();
  media.Advance(form->MediaPlayer1.DeviceID(), 15000);
  When([this] { return media.IsPlaying("tx_kasutusjuhend.mp3"); },
       [this] { media.EndPlayback("tx_kasutusjuhend.mp3"); });
  Press(vk::kHelp);
  ASSERT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(0, media.PositionOf(form->MediaPlayer1.DeviceID()));
  EXPECT_TRUE(server->Pages().empty()) << "the manual is built in";
}

TEST_F(PromptsTest, ServerPromptsAreFetchedAndBuiltInOnesNeverRequested) {
  OpenRoot();
  When([this] { return media.IsPlaying("bdy_abi.mp3"); },
       [this] { media.EndPlayback("bdy_abi.mp3"); });
  Press(vk::kF12);
  EXPECT_EQ((std::vector<std::string>{"1kellaaeg.txt+w"}), server->Pages());

  When([this] { return media.IsPlaying("tx_kasutajatunnus.mp3"); },
       [this] { media.EndPlayback("tx_kasutajatunnus.mp3"); });
  form->tomba_loe_abi("1kysiparooli.txt");
  When([this] { return media.IsPlaying("tx_kasutusjuhend.mp3"); },
       [this] { media.EndPlayback("tx_kasutusjuhend.mp3"); });
  form->tomba_loe_abi("1vorbu.txt");
  EXPECT_EQ(1u, server->Pages().size());
}

TEST_F(PromptsTest, UnreachableServerDuringAPromptSpeaksTheErrorNotAStaleAnswer) {
  OpenRoot();
  std::ofstream(Work("bdy_abi.mp3")) << std::string(5000, 'o');  // an old time of day
  server.reset();
  When([this] { return media.IsPlaying("tx_yhendusviga.mp3"); },
       [this] { media.EndPlayback("tx_yhendusviga.mp3"); });
  form->tomba_loe_abi("1kellaaeg.txt");
  const auto opened = media.Opened();
  EXPECT_EQ(opened.end(), std::find(opened.begin(), opened.end(), "bdy_abi.mp3"));
  EXPECT_NE(opened.end(), std::find(opened.begin(), opened.end(), "tx_yhendusviga.mp3"));
}

TEST_F(PromptsTest, AnUnusablePromptAnswerIsSpokenAsASpeechError) {
  OpenRoot();
  speechSize = 100;
  When([this] { return media.IsPlaying("tx_synteesiviga.mp3"); },
       [this] { media.EndPlayback("tx_synteesiviga.mp3"); });
  form->tomba_loe_abi("1kellaaeg.txt");
  const auto opened = media.Opened();
  EXPECT_NE(opened.end(), std::find(opened.begin(), opened.end(), "tx_synteesiviga.mp3"));
  EXPECT_TRUE(media.IsPlaying("bod.mp3")) << "the page resumes";
}

TEST_F(PromptsTest, ArrowsDuringThePromptMoveThePromptAndThePageStillResumes) {
  form->state.pagePath = "012";
  form->FormActivate();
  media.Advance(form->MediaPlayer1.DeviceID(), 5000);
  media.SetLength("tx_kasutusjuhend.mp3", 200000);
  When([this] { return media.IsPlaying("tx_kasutusjuhend.mp3"); },
       [this] {
         Press(vk::kRight);
         EXPECT_EQ(19999, media.PositionOf(form->MediaPlayer2.DeviceID()));
         media.EndPlayback("tx_kasutusjuhend.mp3");
       });
  Press(vk::kHelp);
  EXPECT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(5000, media.PositionOf(form->MediaPlayer1.DeviceID()));
}

TEST_F(PromptsTest, APromptInsideAPromptKeepsTheOuterSavedPosition) {
  form->state.pagePath = "012";
  form->FormActivate();
  media.Advance(form->MediaPlayer1.DeviceID(), 30000);
  When([this] { return media.IsPlaying("bdy_abi.mp3") && !form->state.requestBusy; },
       [this] {
         When([this] { return media.IsPlaying("bdy_abi.mp3") && !form->state.requestBusy; },
              [this] { media.EndPlayback("bdy_abi.mp3"); });
         Press(vk::kF10);  // the status report during the time of day
       });
  Press(vk::kF12);
  EXPECT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(30000, media.PositionOf(form->MediaPlayer1.DeviceID()));
}

TEST_F(PromptsTest, AQuestionPromptIsCutByTheAnswerAndThePageStaysClosed) {
  form->state.pagePath = "012";
  form->FormActivate();
  AnswerWhenAsked(vk::k0 + 2);
  form->kysi_kiirust();
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID());
  EXPECT_EQ(0, form->MediaPlayer2.DeviceID());
}

}  // namespace
