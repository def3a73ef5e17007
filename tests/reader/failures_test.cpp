// Every failure is heard, in the only channel a blind user has, and the reader gets back
// to reading by itself: unplayable speech, a failed choice, a server that stalls, a page
// left while its text arrives, a server that comes back, and errors that reach the error
// box.
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTextBlock>
#include <QTextDocument>
#include <memory>

#include "keyboard/embedded_sounds.h"
#include "reader/reader_application.h"
#include "reader_fixture.h"

namespace {

class FailuresTest : public ReaderFixture {
 protected:
  void SetUp() override {
    ReaderFixture::SetUp();
    app()->SetErrorReporter([this](const QString& m) { errors.push_back(m); });
  }
  void TearDown() override {
    app()->SetErrorReporter([](const QString&) {});
  }
  static ReaderApplication* app() { return static_cast<ReaderApplication*>(qApp); }
  // How many times the wave sound `name` was played.
  int WavesOf(const char* name) const {
    const char* image = EmbeddedSounds::Find(SoundKind::Wave, name).constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [image](const auto& w) { return w.image == image; }));
  }

  std::vector<QString> errors;
};

TEST_F(FailuresTest, UnplayableSpeechIsSpokenNotBoxedAndTheRemindersTryAgainCalmly) {
  media.undecodable.insert("bod.mp3");
  form->FormActivate();
  EXPECT_TRUE(media.IsPlaying("tx_synteesiviga.mp3"));
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages()) << "no text after failed speech";
  EXPECT_TRUE(errors.empty());
  EXPECT_FALSE(form->state.requestBusy);

  SendKey(form->Memo1, Qt::Key_5, "5");
  EXPECT_TRUE(media.IsPlaying("vk_5.mp3")) << "the keys still echo";

  // Every try is heard once, at the reminders' pace; no error box, no loop.
  EXPECT_EQ((std::vector<int>{20, 40, 60}), RunTimer(60, "tx_synteesiviga.mp3"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(FailuresTest, AFailedChoiceLeavesTheUserOnTheMenuTheyChoseFrom) {
  OpenRoot();
  speechSize = 100;  // the server's answer is no speech
  Press(vk::k0 + 1);
  EXPECT_TRUE(media.IsPlaying("tx_synteesiviga.mp3")) << "a failure that is heard";
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_EQ("0", form->state.lastPagePath);
  speechSize = 4000;
  server->ClearRequests();
  Press(vk::k0 + 2);  // the root's menu keys still choose the root's pages
  EXPECT_EQ("02", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"02+w", "02"}), server->Pages());
}

TEST_F(FailuresTest, AStalledRequestTicksAnswersKeysWithBusyAndEscapeEndsIt) {
  OpenRoot();
  // The server takes the requests and answers nothing until the test ends. Both kinds
  // stall: the speech before the page is heard, and a text.
  Gate stall;
  script = [this, hold = stall.Hold()](const ScriptedRequest& r) {
    ScriptedResponse answer = PageAnswer(r);
    answer.hold = hold;
    return answer;
  };
  for (const char* what : {"speech", "text"}) {
    SCOPED_TRACE(what);
    media.waves.clear();
    media.EndPlayback(form->MediaPlayer2.DeviceID());  // the last failure has been said
    QElapsedTimer sinceEscape;
    When([this] { return WavesOf("tick") >= 2; },
         [this, &sinceEscape] {
           Press(vk::k0 + 2);
           EXPECT_EQ(1, WavesOf("busy")) << "a key that must wait is answered";
           sinceEscape.start();
           SendKey(form->Memo1, Qt::Key_Escape);
         });
    // Without Escape this would wait out the time-out.
    if (std::string(what) == "speech") {
      Press(vk::k0 + 1);
    } else {
      form->tomba("0", "", "", false);
    }
    std::cout << "Escape to the end of the stalled " << what
              << " request: " << sinceEscape.elapsed() << " ms\n";
    EXPECT_FALSE(form->state.requestBusy);
    EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
    EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
    EXPECT_EQ("0", form->state.pagePath);
    EXPECT_EQ(1, WavesOf("busy")) << "Escape acts; it is not answered as busy";
  }
}

TEST_F(FailuresTest, APageThatEndsWhileItsTextArrivesIsFollowedAtOnceByItsParent) {
  // The root's text is on show; 01's text takes a while, and its speech ends meanwhile.
  OpenRoot();
  Gate textOf01;
  script = [this, hold = textOf01.Hold()](const ScriptedRequest& r) {
    ScriptedResponse answer = PageAnswer(r);
    if (r.query.at("q") == "01" && !r.query.count("w")) answer.hold = hold;
    return answer;
  };
  pages["01"] = "0 Vale menüü\n7\tSeda pole";
  When([&textOf01] { return textOf01.Reached() == 1; },
       [this, &textOf01] {
         media.EndPlayback("bod.mp3");
         ProcessEvents();
         textOf01.Open();
       });
  SendKey(form->Memo1, Qt::Key_1, "1");
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"01+w", "01", "0+w", "0"}), server->Pages())
      << "the root is read at once, speech and text, not at the next reminder";
  EXPECT_EQ(1, WavesOf("up")) << "the level changed by itself";
  EXPECT_TRUE(MemoText().startsWith("0 Avaleht"));
  EXPECT_TRUE(form->state.menuKeySet.test('1'));
  EXPECT_FALSE(form->state.menuKeySet.test('7')) << "the left page's keys are not installed";
}

TEST_F(FailuresTest, AFailedBackspaceGoesUpAndTheRetryReadsThePageTheUserWentTo) {
  form->state.pagePath = "012";
  form->FormActivate();
  ASSERT_TRUE(WaitForPageSpeech());
  const int port = server->Port();
  server.reset();
  SendKey(form->Memo1, Qt::Key_Backspace);
  EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
  EXPECT_EQ("01", form->state.pagePath) << "up, as the user asked";
  server = std::make_unique<ScriptedHttpServer>(
      [this](const ScriptedRequest& r) { return Answer(r); }, port);
  EXPECT_EQ(std::vector<int>{20}, RunTimer(20, "bod.mp3"));
  EXPECT_EQ((std::vector<std::string>{"01+w", "01"}), server->Pages());
}

TEST_F(FailuresTest, OnlyAFailedFetchIsTriedAgainAPageAQuestionClosedWaitsForAKey) {
  form->state.pagePath = "012";
  form->FormActivate();
  ASSERT_TRUE(WaitForPageSpeech());
  AnswerWhenAsked(vk::kEscape);  // the speech rate stays: the page is not fetched again
  Press(vk::kF7);
  ASSERT_EQ(0, form->MediaPlayer1.DeviceID());
  server->ClearRequests();
  EXPECT_TRUE(RunTimer(60, "bod.mp3").empty());
  EXPECT_TRUE(server->Pages().empty());
}

TEST_F(FailuresTest, WhenTheServerIsBackThePageIsReadOnceSpeechThenText) {
  OpenRoot();
  const int port = server->Port();
  server.reset();
  media.EndPlayback("bod.mp3");  // the root's end: read again, which fails
  ProcessEvents();
  ASSERT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
  RunTimer(100, "bod.mp3");
  server = std::make_unique<ScriptedHttpServer>(
      [this](const ScriptedRequest& r) { return Answer(r); }, port);
  RunTimer(67, "bod.mp3");
  ASSERT_TRUE(WaitForPageSpeech());
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
  EXPECT_TRUE(MemoText().startsWith("0 Avaleht")) << "not the error over the menu being read";
  server->ClearRequests();
  media.EndPlayback("bod.mp3");
  ProcessEvents();
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages()) << "then as usual";
}

TEST_F(FailuresTest, ALargePageGoesInWhileKeysAreAnsweredAndEscapeThereGoesBack) {
  std::string large = "0 Suur menüü\n";
  for (int i = 0; i < 20000; ++i) large += "1\tvalik\tpeidetud\n";
  pages["01"] = large + "2\t" + std::string(20000, 'a');
  const auto showingLarge = [this] {
    return form->state.requestBusy &&
           form->Memo1->document()->firstBlock().text().startsWith(QStringLiteral("0 Suur"));
  };
  OpenRoot();

  // A key while the text goes in is answered with the busy sound; the page's menu is then
  // whole, its overlong line shown cut.
  When(showingLarge, [this] { SendKey(form->Memo1, Qt::Key_2, QStringLiteral("2")); });
  Press(vk::k0 + 1);
  EXPECT_EQ(1, WavesOf("busy"));
  EXPECT_EQ("01", form->state.pagePath);
  EXPECT_EQ(std::bitset<256>().set('1').set('2'), form->state.menuKeySet);
  const QString last = form->Memo1->document()->lastBlock().text();
  EXPECT_EQ(16 * 1024 + 1, last.size());
  EXPECT_TRUE(last.endsWith(QChar(0x2026)));

  // Escape while it goes in stops it and goes back to the root, read in full.
  Press(vk::kBack);
  ASSERT_EQ("0", form->state.pagePath);
  server->ClearRequests();
  When(showingLarge, [this] { SendKey(form->Memo1, Qt::Key_Escape); });
  Press(vk::k0 + 1);
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"01+w", "01", "0+w", "0"}), server->Pages());
  EXPECT_TRUE(MemoText().startsWith("0 Avaleht"));
  EXPECT_EQ(std::bitset<256>().set('1').set('2'), form->state.menuKeySet);
  EXPECT_EQ(1, WavesOf("busy")) << "Escape acts; it is not answered as busy";
}

TEST_F(FailuresTest, AnErrorBoxIsHeardTakesNoKeysAndANewerOneReplacesIt) {
  app()->SetErrorReporter({});
  form->show();
  form->activateWindow();
  form->Memo1->setFocus();
  ProcessEvents();
  app()->ReportError(QStringLiteral("first"));
  app()->ReportError(QStringLiteral("second"));
  ProcessEvents();
  EXPECT_EQ(2, WavesOf("tx_tekkisviga"));
  int shown = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (qobject_cast<QMessageBox*>(w) && w->isVisible()) ++shown;
  }
  EXPECT_EQ(1, shown);
  ASSERT_NE(nullptr, app()->ErrorBox());
  EXPECT_EQ(QStringLiteral("second"), app()->ErrorBox()->text());
  EXPECT_FALSE(app()->ErrorBox()->isModal());
  EXPECT_EQ(form->Memo1, QApplication::focusWidget())
      << QApplication::focusWidget()->metaObject()->className() << " in "
      << QApplication::focusWidget()->window()->metaObject()->className();
  OpenRoot();
  SendKey(form->Memo1, Qt::Key_1, "1");
  EXPECT_EQ("01", form->state.pagePath) << "the keys go on working";
  app()->ErrorBox()->close();
}

}  // namespace
