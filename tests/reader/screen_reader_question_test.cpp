// The question whether to silence a screen reader, asked as the window first becomes
// active: before the main menu is read, answered like the leave question, repeated by the
// reminders, and followed by the main menu whatever the answer or its outcome.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include "reader/screen_reader_offer.h"
#include "reader_fixture.h"

namespace {

using Result = ScreenReaderDetection::Result;

class ScreenReaderQuestionTest : public ReaderFixture {
 protected:
  // The window with an offer whose detection reports `found_`.
  void Create() {
    offer = std::make_unique<ScreenReaderOffer>([this] { return found_; }, DataHome(),
                                                dir.path().toStdString() + "/state");
    services.screenReaderOffer = offer.get();
    CreateForm();
    // Prompts end as soon as they play, except the question, which waits for its key.
    When([this] { return media.IsPlaying("tx_vaigistan.mp3"); },
         [this] { media.EndPlayback("tx_vaigistan.mp3"); });
    When([this] { return media.IsPlaying("tx_vaigistusviga.mp3"); },
         [this] { media.EndPlayback("tx_vaigistusviga.mp3"); });
  }
  // Shows and activates it: its first activation asks (or not), then reads the main menu.
  void Start() {
    form->show();
    form->activateWindow();
    QDeadlineTimer deadline(10000);
    while (!media.IsPlaying("bod.mp3") && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
  }
  std::string DataHome() const { return dir.path().toStdString() + "/data"; }

  Result found_ = Result::kLooking;
  std::unique_ptr<ScreenReaderOffer> offer;
};

TEST_F(ScreenReaderQuestionTest, AskedBeforeTheMainMenuAndAnsweredLikeTheLeaveQuestion) {
  struct Case {
    const char* what;
    int key;
    QString text;
    bool dataIsAFile;  // the settings cannot be written
    std::vector<std::string> said;
    bool silenced;
    bool declined;
  } cases[] = {
      {"1: yes",
       Qt::Key_1,
       "1",
       false,
       {"tx_ekraanilugeja.mp3", "tx_vaigistan.mp3", "bod.mp3"},
       true,
       false},
      {"2: no", Qt::Key_2, "2", false, {"tx_ekraanilugeja.mp3", "bod.mp3"}, false, true},
      {"Escape: no",
       Qt::Key_Escape,
       "\x1b",
       false,
       {"tx_ekraanilugeja.mp3", "bod.mp3"},
       false,
       true},
      {"1, and the file cannot be written",
       Qt::Key_1,
       "1",
       true,
       {"tx_ekraanilugeja.mp3", "tx_vaigistusviga.mp3", "bod.mp3"},
       false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    QDir(dir.path() + "/data").removeRecursively();
    QDir(dir.path() + "/state").removeRecursively();
    QFile::remove(dir.path() + "/data");
    if (c.dataIsAFile) {
      QFile file(dir.path() + "/data");
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    Create();
    server->ClearRequests();
    media.ClearCommands();
    // The look is still going on as the window activates; it finds the screen reader a
    // moment later.
    found_ = Result::kLooking;
    When([] { return true; }, [this] { found_ = Result::kRunning; });
    bool askedFirst = false;
    When([this] { return form->state.answerWait && media.IsPlaying("tx_ekraanilugeja.mp3"); },
         [this, &askedFirst, &c] {
           askedFirst = server->Pages().empty();
           SendKey(form->Memo1, c.key, c.text);
         });
    Start();
    EXPECT_TRUE(askedFirst) << "the main menu was fetched before the question";
    EXPECT_EQ(c.said, media.Opened());
    EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
    EXPECT_EQ(c.silenced, QFile::exists(QString::fromStdString(offer->SettingsPath())));
    EXPECT_EQ(c.declined, QFile::exists(QString::fromStdString(offer->DeclinedPath())));
    EXPECT_FALSE(form->state.screenReaderDialog);
    EXPECT_EQ(!c.silenced && !c.declined, offer->ShouldAsk())
        << "an answer that was kept is not asked again; a yes that failed is";
  }
}

TEST_F(ScreenReaderQuestionTest, WhileItWaitsTheRemindersAskItAgainNotTheMenu) {
  found_ = Result::kRunning;
  Create();
  std::vector<int> asked;
  When([this] { return form->state.screenReaderDialog && form->state.answerWait; },
       [this, &asked] {
         asked = RunTimer(50, "tx_ekraanilugeja.mp3");
         Press(vk::k0 + 2);
       });
  Start();
  EXPECT_EQ((std::vector<int>{20, 40}), asked);
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages())
      << "nothing is fetched while the question waits";
}

TEST_F(ScreenReaderQuestionTest, NoScreenReaderNoQuestion) {
  found_ = Result::kNone;
  Create();
  Start();
  EXPECT_EQ((std::vector<std::string>{"bod.mp3"}), media.Opened());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(offer->DeclinedPath())));
}

}  // namespace
