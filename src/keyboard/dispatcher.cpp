// The key command dispatcher: every key-down reaches FormKeyDown first. It captures the
// answer to a waiting question, answers a key that must wait for a running request with
// the busy sound (Escape ends the request instead), echoes the key, and runs the key's
// command.
#include <QLineEdit>

#include "reader/form1.h"
#include "reader/reader_application.h"
#include "reader/trace.h"

namespace {

constexpr int32_t kSkip = 20000;  // ms

// Moves a playing player by `delta` ms, clamped to the track: back to 0 at the least,
// forward to one millisecond before the end at the most.
void Skip(TMciPlayer& player, int32_t delta) {
  if (player.Mode() != mpPlaying) return;
  player.Pause();
  int32_t target = player.Position() + delta;
  if (delta < 0) {
    if (target < 0) target = 0;
  } else {
    const int32_t length = player.TrackLength(1);
    if (target > length) target = length;
    if (target > 0) --target;
  }
  player.SetPosition(target);
  player.Play();
}

}  // namespace

void TForm1::FormKeyDown(uint16_t& key) {
  state.idleCounter = 0;
  if (!pass->isHidden()) {
    Trace("key in the code box");  // never which one
    return;
  }
  if (key >= vk::kNumpad0 && key <= vk::kNumpad0 + 9) key -= vk::kNumpad0 - vk::k0;
  if (state.answerWait) {
    Trace("key " + std::to_string(key) + " answers");
    state.answerKey = key;
    state.answerWait = false;
    mangi_res_heli("click");
    return;
  }
  if (key == vk::kScroll) {
    // Heard whatever Scroll Lock now says, also while a request runs.
    Trace("key " + std::to_string(key));
    SayKeyNamesState();
    return;
  }
  // The listening speed keys work at any time, also while a request runs.
  if (ChangeListeningSpeed(key)) {
    Trace("key " + std::to_string(key));
    return;
  }
  if (state.requestBusy) {
    Trace("key " + std::to_string(key) + (key == vk::kEscape ? " ends the request" : " busy"));
    if (key == vk::kEscape) {
      // Escape always gets out: the request ends at once as a failure, and its failure
      // is reported as usual.
      ytle_klahvi_nimi(key, false);
      HttpClient1.Abort();
      if (pageSpeech_ == PageSpeech::kStarting) HttpClient2.Abort();
      // A long text that goes in stops where it is, and then Escape goes back.
      ++textGeneration_;
      escapeWhileBusy_ = true;
    } else {
      mangi_res_heli("busy");
    }
    return;
  }
  Trace("key " + std::to_string(key));
  ytle_klahvi_nimi(key, false);

  switch (key) {
    case vk::kBack:
    case vk::kEscape:
      GoBack();
      break;
    case vk::kReturn:
      korda_menyyd();
      break;
    case vk::kSpace:
      if (MediaPlayer1.Mode() == mpPlaying) {
        MediaPlayer1.Pause();
      } else if (MediaPlayer1.Mode() == mpPaused) {
        MediaPlayer1.Play();
      }
      break;
    case vk::kHome:
      RememberPlace();
      StopPlayingPlayers();
      // A paused page is stopped too, so that the main menu follows through the end of
      // the page as it does for a playing one.
      if (MediaPlayer1.Mode() == mpPaused) MediaPlayer1.Stop();
      CancelPageSpeech();  // the user left the page: no failure to report
      state.pagePath = "0";
      break;
    case vk::kLeft:
      Skip(MediaPlayer1, -kSkip);
      Skip(MediaPlayer2, -kSkip);
      break;
    case vk::kRight:
      Skip(MediaPlayer1, kSkip);
      Skip(MediaPlayer2, kSkip);
      break;
    case vk::kHelp:
    case vk::kF11:
      tomba_loe_abi("1vorbu.txt");
      break;
    case vk::kF12:
      tomba_loe_abi("1kellaaeg.txt");
      break;
    case vk::kF10:
      tomba_loe_staatus();
      break;
    case vk::kF7:
      kysi_kiirust();
      break;
    case vk::kF8:
      kysi_haalt();
      break;
    case vk::kF9:
      kysi_parooli();
      break;
    case vk::kF5:
    case vk::kF6:
      break;
    case vk::kDown:
    case vk::kUp:
      MoveBySentence(key == vk::kDown ? 1 : -1, false);
      break;
    case vk::kNext:
    case vk::kPrior:
      MoveBySentence(key == vk::kNext ? 1 : -1, true);
      break;
    case vk::kEnd:
      ContinueLastPage();
      break;
    default: {
      const int code = key % 256;
      // The keys of a menu on show count only while it is the page at the page path.
      if (TextIsCurrent() && state.menuKeySet.test(static_cast<size_t>(code))) {
        const std::string from = state.pagePath;
        state.pagePath += static_cast<char>(code);
        StayUnlessFetched(from);
      }
    }
  }
  // The mark follows whatever the command did to the page (paused, resumed, moved it).
  UpdateMark();
}

void TForm1::GoBack() {
  RememberPlace();
  StopPlayingPlayers();
  CancelPageSpeech();  // the user left the page: no failure to report
  if (state.pagePath == "0" && kysikinnitust()) {
    if (services_.quit) {
      services_.quit();
    } else {
      RequestApplicationQuit();
    }
  }
  if (state.pagePath.size() > 1) state.pagePath.pop_back();
  FormActivate();
}

void TForm1::SayKeyNamesState() {
  // The key is still held down here: only its toggle tells what the names will be.
  const bool namesOn =
      (services_.keyboard->GetKeyState(vk::kScroll) & 1) == (state.scrollLockReference & 1);
  mangi_res_heli(namesOn ? "names_on" : "names_off");
}

void TForm1::StayUnlessFetched(const std::string& from) {
  const std::string to = state.pagePath;
  if (FormActivate() || state.pagePath != to) return;
  // The chosen page could not be fetched (its failure has been heard): the user stays on
  // the page whose text and menu keys are on show.
  state.pagePath = from;
  state.lastPagePath = from;
}

void TForm1::StopPlayingPlayers() {
  if (MediaPlayer1.Mode() == mpPlaying) MediaPlayer1.Stop();
  if (MediaPlayer2.Mode() == mpPlaying) MediaPlayer2.Stop();
}

void TForm1::Memo1KeyPress(char& key) {
  key = 0;
}
