// The listening speed keys as the window system delivers them: keypad + and -, and the main
// keyboard's + and - keys, through the application's key preview.
#include <condition_variable>
#include <mutex>

#include "keyboard/embedded_sounds.h"
#include "reader_fixture.h"

namespace {

class ListeningSpeedTest : public ReaderFixture {
 protected:
  void SetUp() override {
    services.listeningSpeedChanged = [this](double speed) { saved.push_back(speed); };
    ReaderFixture::SetUp();
  }
  int Waves(const char* name) const {
    const char* image = EmbeddedSounds::Find(SoundKind::Wave, name).constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [image](const auto& w) { return w.image == image; }));
  }
  // Keypad + and -, and the Estonian main keyboard's + (left of Backspace) and - keys.
  void Faster(bool keypad) {
    if (keypad) {
      SendKey(form->Memo1, Qt::Key_Plus, "+", Qt::KeypadModifier, 86);
    } else {
      SendKey(form->Memo1, Qt::Key_Plus, "+", Qt::NoModifier, 20);
    }
  }
  void Slower(bool keypad) {
    if (keypad) {
      SendKey(form->Memo1, Qt::Key_Minus, "-", Qt::KeypadModifier, 82);
    } else {
      SendKey(form->Memo1, Qt::Key_Minus, "-", Qt::NoModifier, 61);
    }
  }
  double SpeedOf(uint16_t device) const {
    auto it = media.devices.find(device);
    return it == media.devices.end() ? -1 : it->second.speed;
  }
  std::string KeyNameFile() const { return media.FileOf(form->klahvilugeja.DeviceID()); }

  std::vector<double> saved;  // what the reader asked to remember
};

TEST_F(ListeningSpeedTest, EachPressClicks_StepsThePageAndPromptSpeed_AndSaysIt) {
  OpenRoot();
  const uint16_t page = form->MediaPlayer1.DeviceID();
  ASSERT_TRUE(media.IsPlaying(media.FileOf(page)));
  const struct {
    bool faster;
    bool keypad;
    double speed;
    const char* said;
  } presses[] = {{true, true, 1.25, "kiirus_125.mp3"},
                 {true, false, 1.5, "kiirus_150.mp3"},
                 {false, true, 1.25, "kiirus_125.mp3"},
                 {false, false, 1.0, "kiirus_100.mp3"},
                 {false, false, 0.75, "kiirus_075.mp3"}};
  for (const auto& p : presses) {
    SCOPED_TRACE(p.said);
    const int clicks = Waves("click");
    p.faster ? Faster(p.keypad) : Slower(p.keypad);
    EXPECT_EQ(clicks + 1, Waves("click"));
    EXPECT_EQ(p.speed, SpeedOf(page));
    EXPECT_EQ(p.speed, form->MediaPlayer2.Speed());
    EXPECT_EQ(p.said, KeyNameFile());
    EXPECT_TRUE(media.IsPlaying(p.said));
    EXPECT_EQ(1.0, SpeedOf(form->klahvilugeja.DeviceID())) << "said at natural speed";
    EXPECT_EQ(p.speed, saved.back());
  }
  EXPECT_EQ(5u, saved.size());
  EXPECT_EQ("0", form->state.pagePath) << "no menu choice, no page change";
  EXPECT_EQ(page, form->MediaPlayer1.DeviceID());
  EXPECT_TRUE(media.IsPlaying(media.FileOf(page)));
}

TEST_F(ListeningSpeedTest, AtEitherEnd_APressGivesItsOwnSoundAndChangesNothing) {
  for (const double end : {4.0, 0.5}) {
    SCOPED_TRACE(end);
    services.listeningSpeed = end;  // as remembered from an earlier run
    saved.clear();
    CreateForm();
    OpenRoot();
    const uint16_t page = form->MediaPlayer1.DeviceID();
    EXPECT_EQ(end, SpeedOf(page)) << "the remembered speed from the start";
    const int clicks = Waves("click");
    const int limits = Waves("limit");
    const size_t opened = media.Opened().size();
    end > 1 ? Faster(true) : Slower(false);
    EXPECT_EQ(limits + 1, Waves("limit"));
    EXPECT_EQ(clicks, Waves("click"));
    EXPECT_EQ(opened, media.Opened().size()) << "nothing said";
    EXPECT_EQ(end, SpeedOf(page));
    EXPECT_TRUE(saved.empty());
    // The other way it moves.
    end > 1 ? Slower(false) : Faster(true);
    EXPECT_EQ(end > 1 ? 3.75 : 0.75, SpeedOf(page));
    EXPECT_EQ(end > 1 ? "kiirus_375.mp3" : "kiirus_075.mp3", KeyNameFile());
  }
}

TEST_F(ListeningSpeedTest, KeysWorkDuringAPromptAndARequest_AQuestionTakesThemAsItsAnswer) {
  OpenRoot();
  // During a prompt: the prompt changes at once, the page when it comes back.
  When([this] { return media.IsPlaying("bdy_abi.mp3") && !form->state.requestBusy; },
       [this] {
         Faster(true);
         EXPECT_EQ(1.25, SpeedOf(form->MediaPlayer2.DeviceID()));
         media.EndPlayback("bdy_abi.mp3");
       });
  SendKey(form->Memo1, Qt::Key_F12);
  EXPECT_EQ(1.25, SpeedOf(form->MediaPlayer1.DeviceID())) << "the page resumed at the speed";

  // While a request holds the busy flag: the server keeps the text back until the key has
  // been handled.
  std::mutex gate;
  std::condition_variable opened;
  bool held = false;  // the text request waits at the gate
  bool open = false;
  const auto openGate = [&] {
    std::lock_guard<std::mutex> lock(gate);
    open = true;
    opened.notify_all();
  };
  script = [&](const ScriptedRequest& r) {
    if (!r.query.count("w") && r.query.at("q") == "01") {
      std::unique_lock<std::mutex> lock(gate);
      held = true;
      opened.wait(lock, [&] { return open; });
    }
    return PageAnswer(r);
  };
  const int busy = Waves("busy");
  When(
      [&] {
        std::lock_guard<std::mutex> lock(gate);
        return held && form->state.requestBusy;
      },
      [&] {
        Faster(false);
        openGate();
      });
  SendKey(form->Memo1, Qt::Key_1, "1");
  openGate();  // in any case, so that the server never waits for ever
  EXPECT_EQ(busy, Waves("busy"));
  EXPECT_EQ(1.5, form->MediaPlayer1.Speed());
  EXPECT_EQ(1.5, SpeedOf(form->MediaPlayer1.DeviceID()));
  EXPECT_EQ("01", form->state.pagePath);
  script = nullptr;

  // A waiting question: + is its answer (not 1: the reader stays), and the speed stays.
  Press(vk::kHome);
  AnswerWhenAsked(vk::kAdd);
  int quits = 0;
  services.quit = [&quits] { ++quits; };
  form->state.pagePath = "0";
  Press(vk::kEscape);
  EXPECT_EQ(0, quits);
  EXPECT_EQ(1.5, form->MediaPlayer1.Speed());
  EXPECT_EQ((std::vector<double>{1.25, 1.5}), saved);
}

}  // namespace
