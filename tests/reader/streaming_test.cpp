// A page's speech is heard as soon as enough of it has arrived, and the rest arrives in the
// background: its text is shown at once, every key works meanwhile, leaving is silent, and
// a download or a speech that fails after the page was heard is heard as a failure.
#include <sys/stat.h>

#include "keyboard/embedded_sounds.h"
#include "reader_fixture.h"

namespace {

class StreamingTest : public ReaderFixture {
 protected:
  // The speech of `heldPage` is sent up to 8000 bytes, then held at the gate; every other
  // answer comes at once.
  ScriptedResponse Answer(const ScriptedRequest& r) override {
    ScriptedResponse response = ReaderFixture::Answer(r);
    if (r.query.count("w") && r.query.at("w") == "1" && r.query.at("q") == heldPage) {
      response.body = std::string(speechBytes, 'S');
      response.holdAfter = 8000;
      response.hold = gate->Hold();
      response.resetAtEnd = reset;
    }
    return response;
  }
  int WavesOf(const char* name) const {
    const char* image = EmbeddedSounds::Find(SoundKind::Wave, name).constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [image](const auto& w) { return w.image == image; }));
  }
  int OpenedCount(const std::string& name) const {
    const auto opened = media.Opened();
    return static_cast<int>(std::count(opened.begin(), opened.end(), name));
  }
  long long FileSize(const std::string& name) const {
    struct stat st {};
    return ::stat(Work(name).c_str(), &st) == 0 ? st.st_size : -1;
  }
  // Reads `page` with its speech held at the gate: it is heard, and the rest waits.
  void ReadHeld(const std::string& page) {
    gate = std::make_unique<Gate>();
    heldPage = page;
    form->state.pagePath = page;
    form->state.lastPagePath = "-";
    form->FormActivate();
    ASSERT_TRUE(media.IsPlaying("bod.mp3"));
    ASSERT_TRUE(form->HttpClient2.Running());
    ASSERT_TRUE(WaitUntil([this] { return gate->Reached() == 1; }));
    server->ClearRequests();
    media.ClearCommands();
  }

  // Set before the request it holds (the server reads it on its own thread).
  std::unique_ptr<Gate> gate = std::make_unique<Gate>();
  std::string heldPage;
  size_t speechBytes = 40000;
  bool reset = false;
};

TEST_F(StreamingTest, ThePageIsHeardAndShownWhileTheRestOfItsSpeechArrives) {
  heldPage = "0";
  form->FormActivate();
  EXPECT_TRUE(media.IsPlaying("bod.mp3"));
  EXPECT_FALSE(form->state.requestBusy) << "the keys are free";
  EXPECT_TRUE(form->HttpClient2.Running());
  EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages()) << "the text came at once";
  EXPECT_TRUE(MemoText().startsWith("0 Avaleht"));
  EXPECT_TRUE(form->state.menuPage);
  EXPECT_LT(FileSize("bod.mp3"), 40000);

  // The working tick only while the user waits: the page has caught up with its download.
  media.devices[form->MediaPlayer1.DeviceID()].starved = true;
  ASSERT_TRUE(WaitUntil([this] { return WavesOf("tick") > 0; }));
  SendKey(form->Memo1, Qt::Key_Space, " ");
  const int ticks = WavesOf("tick");
  gate->Open();
  ASSERT_TRUE(WaitForPageSpeech());
  EXPECT_EQ(ticks, WavesOf("tick")) << "a paused page is no wait";
  EXPECT_EQ(40000, FileSize("bod.mp3"));
  const std::string path = Work("bod.mp3");
  EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{path, true}, {path, false}}),
            media.growing);
  EXPECT_EQ(1, OpenedCount("bod.mp3"));
  EXPECT_EQ(mci::kModePause, media.ModeOf(form->MediaPlayer1.DeviceID()));
}

TEST_F(StreamingTest, EveryKeyWorksWhileThePageSpeechArrives) {
  struct Case {
    const char* name;
    std::string page;  // read with its speech held
    int key;
    QString text;
    std::vector<std::string> pages;  // what the key asked of the server
    std::string pagePath;            // where the user is afterwards
    bool downloadGoesOn;
  } cases[] = {
      {"Space pauses", "012", Qt::Key_Space, " ", {}, "012", true},
      {"Right skips", "012", Qt::Key_Right, {}, {}, "012", true},
      {"F12 tells the time", "012", Qt::Key_F12, {}, {"1kellaaeg.txt+w"}, "012", true},
      {"Backspace goes up", "012", Qt::Key_Backspace, {}, {"01+w", "01"}, "01", false},
      {"Escape goes up", "012", Qt::Key_Escape, {}, {"01+w", "01"}, "01", false},
      {"Home stops", "012", Qt::Key_Home, {}, {"0+w", "0"}, "0", false},
      {"a menu key chooses", "0", Qt::Key_2, "2", {"02+w", "02"}, "02", false},
      {"Enter reads the menu again", "0", Qt::Key_Return, {}, {"0+w"}, "0", false},
  };
  pages["02"] = "Ilm on ilus.";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CreateForm();
    ReadHeld(c.page);
    const uint16_t device = form->MediaPlayer1.DeviceID();
    // A prompt ends as soon as it plays, and the page comes back.
    When([this] { return media.IsPlaying("bdy_abi.mp3"); },
         [this] { media.EndPlayback("bdy_abi.mp3"); });
    SendKey(form->Memo1, c.key, c.text);
    ASSERT_TRUE(WaitUntil([&] { return server->Pages().size() >= c.pages.size(); }));
    ProcessEvents();
    EXPECT_EQ(c.pages, server->Pages());
    EXPECT_EQ(c.pagePath, form->state.pagePath);
    // Leaving cancels the held download: the new speech above could not be asked for
    // while it ran.
    if (c.downloadGoesOn) {
      EXPECT_TRUE(form->HttpClient2.Running());
    }
    EXPECT_EQ(0, WavesOf("busy")) << "no key waits";
    EXPECT_EQ(0, OpenedCount("tx_yhendusviga.mp3")) << "leaving is no connection error";
    if (c.key == Qt::Key_Space) {
      EXPECT_EQ(mci::kModePause, media.ModeOf(device));
      SendKey(form->Memo1, Qt::Key_Space, " ");
      EXPECT_EQ(mci::kModePlay, media.ModeOf(device));
    }
    if (c.key == Qt::Key_Right) {
      EXPECT_EQ(19999, media.PositionOf(device));
    }
    if (c.key == Qt::Key_F12) {
      EXPECT_TRUE(media.IsPlaying("bod.mp3")) << "the page goes on";
    }
    gate->Open();
    ASSERT_TRUE(WaitForPageSpeech());
    EXPECT_EQ(0, OpenedCount("tx_yhendusviga.mp3"));
  }
}

TEST_F(StreamingTest, ADownloadThatFailsAfterThePageIsHeardStopsItAndIsHeardThenTried) {
  reset = true;
  ReadHeld("012");
  gate->Open();
  ASSERT_TRUE(WaitForPageSpeech());
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID()) << "the page stops";
  EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
  EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
  // The reminders fetch it again, speech and text.
  reset = false;
  heldPage.clear();
  EXPECT_EQ(std::vector<int>{20}, RunTimer(20, "bod.mp3"));
  EXPECT_EQ((std::vector<std::string>{"012+w", "012"}), server->Pages());
}

TEST_F(StreamingTest, SpeechThatTurnsIntoNoiseIsAFailedPageNotItsEnd) {
  form->state.pagePath = "012";
  form->FormActivate();
  ASSERT_TRUE(WaitForPageSpeech());
  server->ClearRequests();
  media.EndPlayback(form->MediaPlayer1.DeviceID(), /*failed=*/true);
  ProcessEvents();
  EXPECT_TRUE(media.IsPlaying("tx_synteesiviga.mp3"));
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID());
  EXPECT_EQ("012", form->state.pagePath) << "not gone up as after the page's end";
  EXPECT_EQ(0, WavesOf("up"));
  EXPECT_TRUE(server->Pages().empty());
  EXPECT_EQ(std::vector<int>{20}, RunTimer(20, "bod.mp3")) << "tried again as a failed fetch";
}

TEST_F(StreamingTest, AnAnswerThatIsNoSpeechNeverStartsAndIsSpokenAsTheSpeechError) {
  media.undecodable.insert("bod.mp3");
  form->FormActivate();
  EXPECT_TRUE(media.IsPlaying("tx_synteesiviga.mp3"));
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID());
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages());
}

}  // namespace
