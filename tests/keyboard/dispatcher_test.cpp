#include "keyboard/embedded_sounds.h"
#include "reader_fixture.h"

namespace {

using DispatcherTest = ReaderFixture;

TEST_F(DispatcherTest, KeypadDigitsActAsDigits) {
  OpenRoot();
  uint16_t key = vk::kNumpad0 + 1;
  form->FormKeyDown(key);
  EXPECT_EQ(vk::k0 + 1, key) << "the mapped code is written back";
  EXPECT_EQ("01", form->state.pagePath);
  EXPECT_NE(std::string::npos, media.Opened().front().find("vk_1.mp3"));
  EXPECT_EQ((std::vector<std::string>{"01+w", "01"}), server->Pages());
}

TEST_F(DispatcherTest, BackspaceGoesUpAndFetchesTheParent) {
  pages["0312"] = "tekst";
  pages["031"] = "0 Menüü\n2\tx";
  form->state.pagePath = "0312";
  form->FormActivate();
  server->ClearRequests();
  Press(vk::kBack);
  EXPECT_EQ("031", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"031+w", "031"}), server->Pages());
}

TEST_F(DispatcherTest, LeavingAtTheRootAsksFirst) {
  struct Case {
    uint16_t answer;
    bool quits;
  } cases[] = {{vk::k0 + 1, true},
               {vk::kNumpad0 + 1, true},
               {vk::k0 + 2, false},
               {vk::kReturn, false},
               {vk::kEscape, false}};
  for (const Case& c : cases) {
    int quits = 0;
    services.quit = [&quits] { ++quits; };
    CreateForm();
    OpenRoot();
    AnswerWhenAsked(c.answer);
    Press(vk::kEscape);
    EXPECT_EQ(c.quits ? 1 : 0, quits) << c.answer;
    EXPECT_EQ("0", form->state.pagePath);
    EXPECT_EQ((std::vector<std::string>{"1lopetamine.txt+w"}), server->Pages()) << c.answer;
  }
}

TEST_F(DispatcherTest, HomeStopsAndSetsTheRootWithoutFetching) {
  form->state.pagePath = "012";
  form->FormActivate();
  server->ClearRequests();
  form->MediaPlayer1.OnNotify = nullptr;  // look at the key handler alone
  Press(vk::kHome);
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_TRUE(media.Playing().empty());
  EXPECT_TRUE(server->Pages().empty());
}

TEST_F(DispatcherTest, HomeWhilePlayingReadsTheRootThroughTheCompletionNotice) {
  form->state.pagePath = "012";
  form->FormActivate();
  server->ClearRequests();
  Press(vk::kHome);
  EXPECT_TRUE(server->Pages().empty());
  ProcessEvents();
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
}

TEST_F(DispatcherTest, ArrowsSkipTwentySecondsWithinTheTrack) {
  media.SetLength("bod.mp3", 100000);
  struct Case {
    int32_t start;
    uint16_t key;
    int32_t expected;
  } cases[] = {
      {5000, vk::kLeft, 0},
      {50000, vk::kLeft, 30000},
      {90000, vk::kRight, 99999},
      {10000, vk::kRight, 29999},
  };
  for (const Case& c : cases) {
    form->state.pagePath = "012";
    form->state.lastPagePath = "-";
    form->FormActivate();
    const uint16_t page = form->MediaPlayer1.DeviceID();
    media.Advance(page, c.start);
    Press(c.key);
    EXPECT_EQ(c.expected, media.PositionOf(page)) << c.start << " " << c.key;
    EXPECT_EQ(mci::kModePlay, media.ModeOf(page));
  }
}

TEST_F(DispatcherTest, SpacePausesAndResumesAndIgnoresAnEndedPage) {
  form->state.pagePath = "012";
  form->FormActivate();
  const uint16_t page = form->MediaPlayer1.DeviceID();
  media.Advance(page, 7000);
  Press(vk::kSpace);
  EXPECT_EQ(mci::kModePause, media.ModeOf(page));
  Press(vk::kSpace);
  EXPECT_EQ(mci::kModePlay, media.ModeOf(page));
  EXPECT_EQ(7000, media.PositionOf(page));

  form->MediaPlayer1.OnNotify = nullptr;
  media.EndPlayback(page);
  media.ClearCommands();
  Press(vk::kSpace);
  for (const auto& c : media.Commands()) {
    EXPECT_FALSE(c.device == page && (c.command == mci::kPlay || c.command == mci::kPause));
  }
}

TEST_F(DispatcherTest, ADigitOutsideTheMenuOnlyEchoes) {
  OpenRoot();
  Press(vk::k0 + 7);
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_TRUE(server->Pages().empty());
  EXPECT_EQ((std::vector<std::string>{"vk_7.mp3"}), media.Opened());
}

TEST_F(DispatcherTest, AnyKeyWhileAQuestionWaitsIsOnlyAnAnswerWithAClick) {
  OpenRoot();
  for (uint16_t key : {vk::kEscape, vk::kF12, static_cast<uint16_t>(vk::k0 + 1)}) {
    form->state.answerWait = true;
    const int clicks = media.WavesPlayed();
    Press(key);
    EXPECT_FALSE(form->state.answerWait);
    EXPECT_EQ(key, form->state.answerKey);
    EXPECT_EQ(clicks + 1, media.WavesPlayed());
    EXPECT_TRUE(media.Opened().empty());
    EXPECT_EQ("0", form->state.pagePath);
  }
  // The click of an answer ignores Scroll Lock.
  keys.KeyDown(vk::kScroll);
  form->state.answerWait = true;
  const int clicks = media.WavesPlayed();
  Press(vk::k0 + 2);
  EXPECT_EQ(clicks + 1, media.WavesPlayed());
}

TEST_F(DispatcherTest, KeysDuringARequestGiveTheBusySoundUnlessAQuestionWaits) {
  OpenRoot();
  form->state.requestBusy = true;
  const int sounds = media.WavesPlayed();
  Press(vk::k0 + 1);
  Press(vk::kF7);
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_TRUE(media.Opened().empty());
  ASSERT_EQ(sounds + 2, media.WavesPlayed());
  EXPECT_EQ(EmbeddedSounds::Find(SoundKind::Wave, "busy").constData(), media.waves.back().image);
  form->state.answerWait = true;
  Press(vk::k0 + 3);
  EXPECT_EQ(vk::k0 + 3, form->state.answerKey);
  form->state.requestBusy = false;
}

TEST_F(DispatcherTest, EveryKeyResetsTheIdleCounterEvenIntoTheAccessCodeBox) {
  form->state.idleCounter = 9;
  form->pass->show();
  Press(vk::k0 + 1);
  EXPECT_EQ(0, form->state.idleCounter);
  EXPECT_TRUE(media.Opened().empty()) << "the box takes the key";
  form->pass->hide();
}

}  // namespace
