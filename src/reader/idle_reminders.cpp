// Idle reminders: when neither the page nor the prompt player has played for a while,
// tell the user what the reader expects, at intervals that grow until a key is pressed.
// A page that could not be fetched is tried again by the same schedule, so the reader
// gets back to reading by itself once the server answers.
#include <QLineEdit>

#include "reader/form1.h"

namespace {

constexpr int64_t kMinimumSilence = 20;  // seconds
constexpr int32_t kCounterCap = 20;

}  // namespace

void TForm1::Timer1Timer() {
  if (MediaPlayer1.Mode() == mpPlaying || MediaPlayer2.Mode() == mpPlaying) {
    state.lastActivityTime = services_.clock->Now();
    return;
  }
  const auto elapsed = [this] {
    return std::abs(state.lastActivityTime.secsTo(services_.clock->Now()));
  };
  if (elapsed() < kMinimumSilence) return;
  if (state.idleCounter < kCounterCap) ++state.idleCounter;
  if (elapsed() < state.idleCounter * 3 + 7) return;
  if (state.idleCounter < 1) state.idleCounter = 1;

  // A reminder counts as given on every way out, also when it fails: the next one keeps
  // its distance instead of coming on every tick.
  struct Given {
    TForm1& form;
    ~Given() { form.state.lastActivityTime = form.services_.clock->Now(); }
  } given{*this};

  if (!ApplicationIsActive()) {
    mangi_res_heli("click");
  } else if (!pass->isHidden()) {
    mangi_res_mp3("tx_kasutajatunnus");
  } else if (state.quitDialog) {
    tomba_loe_abi("1lopetamine.txt");
  } else if (state.screenReaderDialog) {
    tomba_loe_abi("1ekraanilugeja.txt");
  } else if (state.speedDialog) {
    tomba_loe_abi("1muudakiirust.txt");
  } else if (state.voiceDialog) {
    tomba_loe_abi("1muudahaalt.txt");
  } else if ((MediaPlayer1.Mode() == mpPaused && !continuing_) || MediaPlayer2.Mode() == mpPaused) {
    ytle_klahvi_nimi(32, true);
  } else if (state.menuPage && TextIsCurrent()) {
    korda_menyyd();
  } else {
    if (MediaPlayer1.Mode() == mpStopped) {
      GoUpAndRead();
    } else if (pageFetchFailed_ && MediaPlayer1.DeviceID() == 0) {
      // The page's speech could not be fetched or played: fetch it again, speech and text.
      state.lastPagePath = "-";
    }
    FormActivate();
  }
}
