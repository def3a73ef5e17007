#include <QLineEdit>

#include "reader_fixture.h"

namespace {

class IdleRemindersTest : public ReaderFixture {
 protected:
  // Runs the one-second timer for `seconds` of virtual time; returns the seconds (from the
  // start of the run) at which a file of `baseName` was opened.
  std::vector<int> Tick(int seconds, const std::string& baseName) {
    std::vector<int> at;
    for (int s = 1; s <= seconds; ++s) {
      clock.Advance(1);
      const size_t before = media.Opened().size();
      form->Timer1Timer();
      const auto opened = media.Opened();
      for (size_t i = before; i < opened.size(); ++i) {
        if (opened[i] == baseName) at.push_back(s);
      }
    }
    return at;
  }
};

TEST_F(IdleRemindersTest, AClosedMenuIsReadAgainAbout20SecondsAfterTheLastSound) {
  OpenRoot();
  form->MediaPlayer1.Close();  // as after a question
  EXPECT_EQ(std::vector<int>{20}, Tick(21, "bod.mp3"));
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages());
}

TEST_F(IdleRemindersTest, PlayingRefreshesTheSilence) {
  OpenRoot();
  EXPECT_TRUE(Tick(60, "bod.mp3").empty()) << "the page is still playing";
  EXPECT_EQ(clock.Now(), form->state.lastActivityTime);
}

TEST_F(IdleRemindersTest, APausedPageNamesSpaceAt20_40_60_80ThenEvery67Seconds) {
  form->state.pagePath = "012";
  form->FormActivate();
  Press(vk::kSpace);
  keys.KeyDown(vk::kScroll);  // the reminder speaks whatever Scroll Lock says
  form->state.lastActivityTime = clock.Now();
  EXPECT_EQ((std::vector<int>{20, 40, 60, 80, 147, 214}), Tick(214, "vk_space.mp3"));
}

TEST_F(IdleRemindersTest, InTheBackgroundEveryReminderIsTheClick) {
  form->state.pagePath = "012";
  form->FormActivate();
  Press(vk::kSpace);
  active = false;
  form->state.speedDialog = true;
  const int clicks = media.WavesPlayed();
  EXPECT_TRUE(Tick(60, "vk_space.mp3").empty());
  EXPECT_EQ(clicks + 3, media.WavesPlayed());
  form->state.speedDialog = false;
}

TEST_F(IdleRemindersTest, TheAccessCodeRequestComesFirst) {
  form->state.pagePath = "012";
  form->FormActivate();
  Press(vk::kSpace);
  form->pass->show();
  form->state.speedDialog = true;
  EXPECT_EQ(std::vector<int>{20}, Tick(20, "tx_kasutajatunnus.mp3"));
  form->state.speedDialog = false;
  form->pass->hide();
}

TEST_F(IdleRemindersTest, AKeyPressOnlyResetsTheCounter) {
  OpenRoot();
  form->MediaPlayer1.Close();
  form->state.lastActivityTime = clock.Now().addSecs(-100);
  form->state.idleCounter = 20;
  Press(vk::k0 + 9);  // not in the menu: no playback
  EXPECT_EQ(std::vector<int>{1}, Tick(1, "bod.mp3")) << "the next tick reminds at once";
}

TEST_F(IdleRemindersTest, AServerDownAtStartIsTriedAgainUntilItAnswersThenTheRootIsRead) {
  const int port = server->Port();
  server.reset();
  form->FormActivate();  // as the window's activation does; nothing answers
  EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
  // Each try is heard, at the reminders' pace: 20 s four times, then every 67 s.
  EXPECT_EQ((std::vector<int>{20, 40, 60, 80, 147}), RunTimer(147, "tx_yhendusviga.mp3"));
  server = std::make_unique<ScriptedHttpServer>(
      [this](const ScriptedRequest& r) { return Answer(r); }, port);
  EXPECT_EQ(std::vector<int>{67}, RunTimer(67, "bod.mp3"));
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
  EXPECT_TRUE(form->state.menuPage);
  EXPECT_TRUE(MemoText().startsWith("0 Avaleht"));
}

TEST_F(IdleRemindersTest, WhileTheLeaveQuestionWaitsItIsAskedAgainNotTheMenu) {
  int quits = 0;
  services.quit = [&quits] { ++quits; };
  CreateForm();
  OpenRoot();
  std::vector<int> asked;
  // Inside the question's wait: 50 s of silence, then the answer 2 (stay).
  When([this] { return form->state.quitDialog && !form->state.requestBusy; },
       [this, &asked] {
         asked = RunTimer(50, "bdy_abi.mp3");
         Press(vk::k0 + 2);
       });
  Press(vk::kEscape);
  EXPECT_EQ((std::vector<int>{20, 40}), asked);
  EXPECT_EQ(
      (std::vector<std::string>{"1lopetamine.txt+w", "1lopetamine.txt+w", "1lopetamine.txt+w"}),
      server->Pages())
      << "the menu is not read while the question waits";
  EXPECT_EQ(0, quits);
  EXPECT_FALSE(form->state.quitDialog);
}

}  // namespace
