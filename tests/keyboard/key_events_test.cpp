// Keys as the window system delivers them, through the application's key preview: every
// key is heard once and runs its command once, and no key, question or box traps the user.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>

#include "keyboard/embedded_sounds.h"
#include "reader_fixture.h"

namespace {

class KeyEventsTest : public ReaderFixture {
 protected:
  void ShowAndFocus() {
    form->show();
    form->activateWindow();
    form->Memo1->setFocus();
    ProcessEvents();
  }
  int Clicks() const {
    const char* click = EmbeddedSounds::Find(SoundKind::Wave, "click").constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [click](const auto& w) { return w.image == click; }));
  }
  std::string Saved() const {
    QFile file(QString::fromStdString(Work("vorbu.ini")));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<none>";
  }
};

TEST_F(KeyEventsTest, AKeyRunsItsCommandOnceWhenTheFocusIsLostWhileItWaits) {
  struct Case {
    int key;
    QString text;
    std::vector<std::string> pages;
  } cases[] = {
      {Qt::Key_F12, {}, {"1kellaaeg.txt+w"}},
      {Qt::Key_1, "1", {"01+w", "01"}},
  };
  for (const Case& c : cases) {
    CreateForm();
    OpenRoot();
    ShowAndFocus();
    // While the command waits (a prompt plays, a request runs), the focus goes away.
    When([this] { return form->state.requestBusy; }, [this] { form->Memo1->clearFocus(); });
    When([this] { return media.IsPlaying("bdy_abi.mp3"); },
         [this] { media.EndPlayback("bdy_abi.mp3"); });
    SendKey(form->Memo1, c.key, c.text);
    ProcessEvents();
    EXPECT_EQ(c.pages, server->Pages()) << c.key;
  }
}

TEST_F(KeyEventsTest, QuittingInsideAQuestionAppliesSavesAndSaysNothing) {
  struct Case {
    int key;
    bool ReaderState::*dialog;
  } cases[] = {{Qt::Key_F7, &ReaderState::speedDialog},
               {Qt::Key_F8, &ReaderState::voiceDialog},
               {Qt::Key_Escape, &ReaderState::quitDialog}};
  for (const Case& c : cases) {
    bool quitting = false;
    int quits = 0;
    services.quitting = [&quitting] { return quitting; };
    services.quit = [&quits] { ++quits; };
    CreateForm();
    OpenRoot();
    // An earlier question was answered with 3: voice "2" is saved, 3 the last answer key.
    AnswerWhenAsked(vk::k0 + 3);
    Press(vk::kF8);
    ASSERT_EQ("2\r\n2\r\n", Saved());
    media.ClearCommands();
    When([this, &c] { return form->state.*c.dialog && media.IsPlaying("bdy_abi.mp3"); },
         [&quitting] { quitting = true; });
    SendKey(form->Memo1, c.key);
    EXPECT_EQ("2\r\n2\r\n", Saved()) << c.key;
    EXPECT_EQ("2", form->state.speechRate);
    EXPECT_EQ("2", form->state.voice);
    EXPECT_EQ(0, quits);
    EXPECT_FALSE(form->state.*c.dialog);
    const auto opened = media.Opened();
    EXPECT_EQ("bdy_abi.mp3", opened.back()) << "nothing is said after the question";
  }
}

TEST_F(KeyEventsTest, EveryKeyHasACodeThatClicksAndAnswersAQuestion) {
  struct Case {
    const char* what;
    int key;
    Qt::KeyboardModifiers modifiers;
    quint32 scanCode;
    uint16_t code;
  } cases[] = {
      {"ö", Qt::Key_Odiaeresis, Qt::NoModifier, 47, vk::kOem3},
      {"õ without a key code", Qt::Key_Otilde, Qt::NoModifier, 0, vk::kOem1},
      {"AltGr+S (š)", 0x0160, Qt::NoModifier, 39, 'S'},
      {"? (Shift and the + key)", Qt::Key_Question, Qt::ShiftModifier, 20, vk::kOemPlus},
      {"keypad *", Qt::Key_Asterisk, Qt::KeypadModifier, 63, vk::kMultiply},
      {"keypad Delete, Num Lock on", Qt::Key_Delete, Qt::KeypadModifier, 91, vk::kDecimal},
      {"Menu", Qt::Key_Menu, Qt::NoModifier, 135, vk::kApps},
      {"Print Screen", Qt::Key_Print, Qt::NoModifier, 107, vk::kSnapshot},
      {"Super", Qt::Key_Super_L, Qt::NoModifier, 133, vk::kLWin},
      {"AltGr", Qt::Key_AltGr, Qt::NoModifier, 108, vk::kMenu},
      {"Shift", Qt::Key_Shift, Qt::NoModifier, 50, vk::kShift},
  };
  OpenRoot();
  for (const Case& c : cases) {
    // A command key: no name, so it clicks, and it resets the idle counter.
    form->state.idleCounter = 7;
    int clicks = Clicks();
    SendKey(form->Memo1, c.key, {}, c.modifiers, c.scanCode);
    EXPECT_EQ(clicks + 1, Clicks()) << c.what;
    EXPECT_EQ(0, form->state.idleCounter) << c.what;
    // While a question waits, it is the answer.
    form->state.answerWait = true;
    clicks = Clicks();
    SendKey(form->Memo1, c.key, {}, c.modifiers, c.scanCode);
    EXPECT_FALSE(form->state.answerWait) << c.what;
    EXPECT_EQ(c.code, form->state.answerKey) << c.what;
    EXPECT_EQ(clicks + 1, Clicks()) << c.what;
  }
  EXPECT_EQ("0", form->state.pagePath);
}

TEST_F(KeyEventsTest, TheCodeBoxKeepsTheFocusAndClicksForEveryKey) {
  OpenRoot();
  ShowAndFocus();
  When([this] { return media.IsPlaying("tx_kasutajatunnus.mp3"); },
       [this] { media.EndPlayback("tx_kasutajatunnus.mp3"); });
  SendKey(form->Memo1, Qt::Key_F9);
  ASSERT_TRUE(form->pass->isVisible());
  keys.KeyDown(vk::kScroll);  // clicks whatever Scroll Lock says
  const int clicks = Clicks();
  SendKey(form->pass, Qt::Key_A, "a");
  SendKey(form->pass, Qt::Key_Tab, "\t");
  EXPECT_EQ(form->pass, QApplication::focusWidget()) << "Tab does not leave the box";
  SendKey(form->pass, Qt::Key_B, "b");
  SendKey(form->pass, Qt::Key_Backspace, "\b");
  SendKey(form->pass, Qt::Key_Escape, "\x1b");
  SendKey(form->pass, Qt::Key_Left);
  SendKey(form->pass, Qt::Key_Shift);
  form->Memo1->setFocus();  // the focus cannot be taken away either
  EXPECT_EQ(form->pass, QApplication::focusWidget());
  SendKey(form->Memo1, Qt::Key_C, "c");
  EXPECT_EQ(QStringLiteral("ca"), form->pass->text()) << "Backspace deletes; c went into the box";
  EXPECT_EQ(clicks + 7, Clicks()) << "every key but Shift clicked";
  SendKey(form->pass, Qt::Key_Return, "\r");
  EXPECT_FALSE(form->pass->isVisible());
  EXPECT_EQ("ca", form->state.accessCode);
}

TEST_F(KeyEventsTest, KeysThatMoveACaretAreCommandsOnlyAndLeaveTheTextAreasCaret) {
  OpenRoot();
  ShowAndFocus();
  QTextCursor cursor = form->Memo1->textCursor();
  cursor.setPosition(5);
  form->Memo1->setTextCursor(cursor);
  for (int key : {Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp,
                  Qt::Key_PageDown, Qt::Key_End, Qt::Key_Home}) {
    for (Qt::KeyboardModifiers modifiers :
         {Qt::KeyboardModifiers(Qt::NoModifier), Qt::KeyboardModifiers(Qt::ShiftModifier),
          Qt::KeyboardModifiers(Qt::ControlModifier)}) {
      form->state.idleCounter = 7;
      SendKey(form->Memo1, key, {}, modifiers);
      EXPECT_EQ(0, form->state.idleCounter) << key << " did not reach the reader";
      EXPECT_EQ(5, form->Memo1->textCursor().position()) << key << " moved the caret";
      EXPECT_FALSE(form->Memo1->textCursor().hasSelection()) << key;
    }
  }
}

TEST_F(KeyEventsTest, HomeOnAPausedPageLeadsToTheMainMenu) {
  form->state.pagePath = "012";
  form->FormActivate();
  server->ClearRequests();
  SendKey(form->Memo1, Qt::Key_Space, " ");
  ASSERT_EQ(mpPaused, form->MediaPlayer1.Mode());
  SendKey(form->Memo1, Qt::Key_Home);
  ProcessEvents();
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
  EXPECT_TRUE(form->state.menuPage);
  EXPECT_EQ(mpPlaying, form->MediaPlayer1.Mode()) << "the main menu is read";
}

TEST_F(KeyEventsTest, HomeDuringTheManualReadsTheMainMenuNotTheOldPage) {
  form->state.pagePath = "012";
  form->FormActivate();
  media.Advance(form->MediaPlayer1.DeviceID(), 40000);
  server->ClearRequests();
  When([this] { return media.IsPlaying("tx_kasutusjuhend.mp3"); },
       [this] { SendKey(form->Memo1, Qt::Key_Home); });
  SendKey(form->Memo1, Qt::Key_F11);
  ProcessEvents();
  EXPECT_EQ("0", form->state.pagePath);
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
  EXPECT_EQ(0, media.PositionOf(form->MediaPlayer1.DeviceID())) << "not the old page at 40 s";
  EXPECT_TRUE(form->state.menuPage);
}

TEST_F(KeyEventsTest, ScrollLockSaysWhetherKeyNamesAreOnWhateverItsState) {
  const char* on = EmbeddedSounds::Find(SoundKind::Wave, "names_on").constData();
  const char* off = EmbeddedSounds::Find(SoundKind::Wave, "names_off").constData();
  for (bool onAtStart : {false, true}) {
    if (onAtStart) {
      keys.KeyDown(vk::kScroll);
      keys.KeyUp(vk::kScroll);
    }
    CreateForm();
    OpenRoot();
    std::vector<const void*> heard;
    for (int press = 0; press < 3; ++press) {
      media.waves.clear();
      SendKey(form->Memo1, Qt::Key_ScrollLock);
      ASSERT_EQ(1u, media.waves.size());
      heard.push_back(media.waves.back().image);
    }
    EXPECT_EQ((std::vector<const void*>{off, on, off}), heard) << onAtStart;
    SendKey(form->Memo1, Qt::Key_5, "5");
    EXPECT_FALSE(media.IsPlaying("vk_5.mp3")) << "names are off";
  }
}

}  // namespace
