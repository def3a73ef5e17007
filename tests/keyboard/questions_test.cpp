#include <QFile>
#include <QLineEdit>
#include <future>
#include <optional>

#include "reader_fixture.h"

namespace {

std::string Settings(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<none>";
  return file.readAll().toStdString();
}

using QuestionsTest = ReaderFixture;

TEST_F(QuestionsTest, SpeechRateAsksAgainOnAnUnknownKeyThenSavesAndSpeaksTheAnswer) {
  OpenRoot();
  AnswerWhenAsked(vk::k0 + 7);
  When([this] { return server->Pages().size() == 2 && media.IsPlaying("bdy_abi.mp3"); },
       [this] { Press(vk::k0 + 3); });
  Press(vk::kF7);
  EXPECT_EQ("3", form->state.speechRate);
  EXPECT_FALSE(form->state.speedDialog);
  EXPECT_EQ("3\r\n0\r\n", Settings(Work("vorbu.ini")));
  const auto pages = server->Pages();
  ASSERT_GE(pages.size(), 2u);
  EXPECT_EQ("1muudakiirust.txt+w", pages[0]);
  EXPECT_EQ("1muudakiirust.txt+w", pages[1]);
  const auto opened = media.Opened();
  EXPECT_NE(opened.end(), std::find(opened.begin(), opened.end(), "vk_3.mp3"));
  EXPECT_EQ(opened.end(), std::find(opened.begin(), opened.end(), "vk_7.mp3"))
      << "a rejected answer only clicks";
}

TEST_F(QuestionsTest, EscapeOrTheCurrentRateSavesNothing) {
  for (uint16_t key : {vk::kEscape, static_cast<uint16_t>(vk::k0 + 2)}) {
    AnswerWhenAsked(key);
    form->kysi_kiirust();
    EXPECT_EQ("2", form->state.speechRate);
    EXPECT_EQ("<none>", Settings(Work("vorbu.ini")));
  }
}

TEST_F(QuestionsTest, VoiceKeysAreOneAboveTheVoice) {
  struct Case {
    uint16_t key;
    std::string voice;
  } cases[] = {{vk::k0 + 1, "0"}, {vk::k0 + 6, "5"}, {vk::kNumpad0 + 4, "3"}};
  form->state.voice = "2";
  for (const Case& c : cases) {
    AnswerWhenAsked(c.key);
    Press(vk::kF8);
    EXPECT_EQ(c.voice, form->state.voice);
    EXPECT_EQ("2\r\n" + c.voice + "\r\n", Settings(Work("vorbu.ini")));
  }
  // 7 asks again; Escape then keeps the voice.
  server->ClearRequests();
  AnswerWhenAsked(vk::k0 + 7);
  When(
      [this] {
        return server->Pages().size() == 2 && form->state.answerWait &&
               media.IsPlaying("bdy_abi.mp3");
      },
      [this] { Press(vk::kEscape); });
  Press(vk::kF8);
  EXPECT_EQ("3", form->state.voice);
  EXPECT_EQ((std::vector<std::string>{"1muudahaalt.txt+w", "1muudahaalt.txt+w"}), server->Pages());
}

TEST_F(QuestionsTest, ARateChangeResumesTheInterruptedPageAtTheSameFraction) {
  // The faster speech of the same page is shorter: 8000 bytes last 200 s, 6000 bytes 150 s.
  media.msPerByte = 25;
  speechSize = 8000;
  script = [this](const ScriptedRequest& r) {
    ScriptedResponse answer = PageAnswer(r);
    if (r.query.count("w") && r.query.at("q") == "012" && r.query.at("s") == "3")
      answer.body.resize(6000);
    return answer;
  };
  form->state.pagePath = "012";
  form->FormActivate();
  ASSERT_TRUE(WaitForPageSpeech());
  media.Advance(form->MediaPlayer1.DeviceID(), 80000);
  server->ClearRequests();
  AnswerWhenAsked(vk::k0 + 3);
  Press(vk::kF7);
  EXPECT_EQ((std::vector<std::string>{"1muudakiirust.txt+w", "012+w"}), server->Pages());
  EXPECT_EQ("3", server->Requests().back().query.at("s"));
  ASSERT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(60000, media.PositionOf(form->MediaPlayer1.DeviceID()));
}

TEST_F(QuestionsTest, AVoiceChangeOnAMenuStartsItAgain) {
  OpenRoot();
  media.Advance(form->MediaPlayer1.DeviceID(), 8000);
  AnswerWhenAsked(vk::k0 + 4);
  Press(vk::kF8);
  EXPECT_EQ((std::vector<std::string>{"1muudahaalt.txt+w", "0+w"}), server->Pages());
  ASSERT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_EQ(0, media.PositionOf(form->MediaPlayer1.DeviceID()));
}

TEST_F(QuestionsTest, AccessCodeBoxTakesTheCodeAndFetchesThePageWithIt) {
  OpenRoot();
  form->show();
  When([this] { return media.IsPlaying("tx_kasutajatunnus.mp3"); },
       [this] { media.EndPlayback("tx_kasutajatunnus.mp3"); });
  Press(vk::kF9);
  ASSERT_FALSE(form->pass->isHidden());
  EXPECT_EQ("", form->state.accessCode);
  EXPECT_EQ(form->Memo1->geometry().topLeft(), form->pass->geometry().topLeft());
  EXPECT_TRUE(server->Pages().empty()) << "the request for the code is built in";

  keys.KeyDown(vk::kScroll);  // clicks whatever Scroll Lock says
  const int clicks = media.WavesPlayed();
  for (char c : std::string("uus")) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QString(QChar(c)));
    QCoreApplication::sendEvent(form->pass, &press);
  }
  EXPECT_EQ(QStringLiteral("uus"), form->pass->text());
  EXPECT_EQ(QStringLiteral("###"), form->pass->displayText());
  EXPECT_EQ(clicks + 3, media.WavesPlayed());
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
  QCoreApplication::sendEvent(form->pass, &enter);
  EXPECT_TRUE(form->pass->isHidden());
  EXPECT_EQ("uus", form->state.accessCode);
  EXPECT_EQ(clicks + 4, media.WavesPlayed());
  ASSERT_TRUE(WaitUntil([this] { return server->MapPages().size() == 1; }));
  const auto requests = server->Requests();
  ASSERT_EQ(3u, requests.size());
  for (const auto& r : requests) EXPECT_EQ("Vorbu: uus", r.headerLines.back());
}

TEST_F(QuestionsTest, AnEmptyCodeIsStoredAndThePageStillFetched) {
  form->pass->show();
  char enter = 13;
  form->passKeyPress(enter);
  EXPECT_EQ("", form->state.accessCode);
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
}

TEST_F(QuestionsTest, ACodeTheKeyringDoesNotKeepIsSaidBeforeThePageIsReadAgain) {
  struct Case {
    const char* what;
    std::string code;
    std::optional<bool> kept;  // nothing: the keyring never answers
    bool said;
  } cases[] = {
      {"kept", "uus", true, false},
      {"not kept", "uus", false, true},
      {"no answer", "uus", std::nullopt, true},
      {"an empty code (forgotten, or not)", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::promise<bool> keyring;
    if (c.kept) keyring.set_value(*c.kept);
    const std::shared_future<bool> answer = keyring.get_future().share();
    services.accessCodeEntered = [&answer](const std::string&) { return answer; };
    CreateForm();
    When([this] { return media.IsPlaying("tx_koodiviga.mp3"); },
         [this] { media.EndPlayback("tx_koodiviga.mp3"); });
    media.ClearCommands();
    form->pass->show();
    form->pass->setText(QString::fromStdString(c.code));
    char enter = 13;
    form->passKeyPress(enter);
    const std::vector<std::string> said =
        c.said ? std::vector<std::string>{"tx_koodiviga.mp3", "bod.mp3"}
               : std::vector<std::string>{"bod.mp3"};
    EXPECT_EQ(said, media.Opened());
  }
}

TEST_F(QuestionsTest, StatusPageNameEncodesTheState) {
  struct Case {
    std::string path;
    bool toggleScroll;
    bool numLockOn;
    std::string name;
  } cases[] = {
      {"0312", false, true, "9.k2.s1.n1.v20080619+w"},
      {"0", true, false, "9.k0.s0.n0.v20080619+w"},
      {"", false, true, "9.s1.n1.v20080619+w"},
  };
  for (const Case& c : cases) {
    CreateForm();
    if (c.toggleScroll) keys.KeyDown(vk::kScroll), keys.KeyUp(vk::kScroll);
    if (!c.numLockOn) keys.KeyDown(vk::kNumLock), keys.KeyUp(vk::kNumLock);
    form->state.pagePath = c.path;
    server->ClearRequests();
    When([this] { return media.IsPlaying("bdy_abi.mp3"); },
         [this] { media.EndPlayback("bdy_abi.mp3"); });
    form->tomba_loe_staatus();
    EXPECT_EQ(std::vector<std::string>{c.name}, server->Pages());
    if (c.toggleScroll) keys.KeyDown(vk::kScroll), keys.KeyUp(vk::kScroll);
    if (!c.numLockOn) keys.KeyDown(vk::kNumLock), keys.KeyUp(vk::kNumLock);
  }
}

}  // namespace
