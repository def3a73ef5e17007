// A page's speech starts while it still arrives: once enough of it is there to be heard,
// with the text fetched after the whole file, and every failure of the rest still heard.
#include <sys/stat.h>

#include "keyboard/embedded_sounds.h"
#include "reader_fixture.h"

namespace {

class StreamingTest : public ReaderFixture {
 protected:
  // Speech sent in pieces, as a server that makes it while it sends it.
  ScriptedResponse Answer(const ScriptedRequest& r) override {
    ScriptedResponse response = ReaderFixture::Answer(r);
    if (r.query.count("w")) {
      response.body = std::string(speechBytes, 'S');
      response.pieceSize = 4000;
      response.pauseMs = pauseMs;
      response.resetAtEnd = reset;
    }
    return response;
  }
  int Ticks() const {
    const char* tick = EmbeddedSounds::Find(SoundKind::Wave, "tick").constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [tick](const auto& w) { return w.image == tick; }));
  }
  int OpenedCount(const std::string& name) const {
    const auto opened = media.Opened();
    return static_cast<int>(std::count(opened.begin(), opened.end(), name));
  }
  long long FileSize(const std::string& name) const {
    struct stat st {};
    return ::stat(Work(name).c_str(), &st) == 0 ? st.st_size : -1;
  }

  size_t speechBytes = 20000;
  int pauseMs = 50;
  bool reset = false;
};

TEST_F(StreamingTest, ThePageStartsBeforeItsSpeechHasArrivedAndTheTextFollowsTheWholeFile) {
  // While it plays ahead of the download, no tick; once it waits for data, the tick.
  for (bool starved : {false, true}) {
    CreateForm();
    media.ClearCommands();
    media.growing.clear();
    server->ClearRequests();
    pauseMs = 400;
    long long arrivedAtStart = -1;
    When([this] { return form->state.requestBusy && media.IsPlaying("bod.mp3"); },
         [this, &arrivedAtStart, starved] {
           arrivedAtStart = FileSize("bod.mp3");
           media.devices[form->MediaPlayer1.DeviceID()].starved = starved;
         });
    form->FormActivate();
    EXPECT_GE(arrivedAtStart, 3840) << "started once 3840 bytes were there";
    EXPECT_LT(arrivedAtStart, 20000) << "and before the rest";
    const std::string path = Work("bod.mp3");
    EXPECT_EQ((std::vector<std::pair<std::string, bool>>{{path, true}, {path, false}}),
              media.growing);
    EXPECT_EQ((std::vector<std::string>{"0+w", "0"}), server->Pages());
    EXPECT_EQ(1, OpenedCount("bod.mp3"));
    EXPECT_TRUE(media.IsPlaying("bod.mp3"));
    EXPECT_TRUE(form->state.menuPage);
    EXPECT_EQ(starved, Ticks() > 0) << starved;
  }
}

TEST_F(StreamingTest, ADownloadThatFailsStopsItsSpeechAndIsReported) {
  reset = true;
  form->FormActivate();
  EXPECT_EQ(1, OpenedCount("bod.mp3")) << "it had started";
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID()) << "and stopped";
  EXPECT_TRUE(media.IsPlaying("tx_yhendusviga.mp3"));
  EXPECT_EQ(QStringLiteral("Serveriga ei saa ühendust!"), MemoText());
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages());
}

TEST_F(StreamingTest, AnAnswerThatIsNoSpeechNeverStartsAndIsSpokenAsTheSpeechError) {
  media.undecodable.insert("bod.mp3");
  form->FormActivate();
  EXPECT_TRUE(media.IsPlaying("tx_synteesiviga.mp3"));
  EXPECT_EQ(0, form->MediaPlayer1.DeviceID());
  EXPECT_EQ((std::vector<std::string>{"0+w"}), server->Pages());
}

}  // namespace
