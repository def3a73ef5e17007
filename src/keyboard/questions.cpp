// Questions and the status report: leaving at the root, speech rate and voice (each a
// single key), the access code (typed into `pass`), and the spoken status page whose
// name encodes the reader's state.
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <chrono>

#include "reader/form1.h"
#include "reader/trace.h"

namespace {

constexpr char kStatusTag[] = "20080619";
// How long the reader waits for the keyring to say whether it kept a code.
constexpr qint64 kKeyringAnswerMs = 1500;

}  // namespace

// A question ends with an answer key, or without one when the application quits; then
// nothing is applied, saved or said. The answer key of an earlier question never counts.
bool TForm1::kysikinnitust() {
  state.quitDialog = true;
  state.answerKey = 0;
  state.answerWait = true;
  tomba_loe_abi("1lopetamine.txt");
  WaitWhile([this] { return state.answerWait; });
  state.quitDialog = false;
  const bool answered = !state.answerWait;
  state.answerWait = false;
  return answered && state.answerKey == vk::k0 + 1;
}

bool TForm1::AskSetting(bool ReaderState::*dialogFlag, const std::string& prompt,
                        const std::function<bool(uint16_t key)>& apply) {
  state.*dialogFlag = true;
  bool answered = false;
  while (!answered && !Quitting()) {
    state.answerKey = 0;
    state.answerWait = true;
    tomba_loe_abi(prompt);
    WaitWhile([this] { return state.answerWait; });
    answered = !state.answerWait && apply(state.answerKey);
  }
  state.*dialogFlag = false;
  state.answerWait = false;
  if (answered) ytle_klahvi_nimi(state.answerKey, false);
  return answered;
}

void TForm1::kysi_kiirust() {
  const std::string before = state.speechRate;
  const PageSnapshot page = SnapshotPage();
  const bool answered =
      AskSetting(&ReaderState::speedDialog, "1muudakiirust.txt", [this](uint16_t key) {
        if (key >= vk::k0 + 1 && key <= vk::k0 + 3) {
          state.speechRate = std::string(1, static_cast<char>(key));
          return true;
        }
        return key == vk::kEscape;
      });
  if (answered && state.speechRate != before) {
    ini_valja();
    ResumeAtSameFraction(page);
  }
}

void TForm1::kysi_haalt() {
  const std::string before = state.voice;
  const PageSnapshot page = SnapshotPage();
  const bool answered =
      AskSetting(&ReaderState::voiceDialog, "1muudahaalt.txt", [this](uint16_t key) {
        if (key >= vk::k0 + 1 && key <= vk::k0 + 6) {
          state.voice = std::string(1, static_cast<char>(key - 1));
          return true;
        }
        return key == vk::kEscape;
      });
  if (answered && state.voice != before) {
    ini_valja();
    ResumeAtSameFraction(page);
  }
}

TForm1::PageSnapshot TForm1::SnapshotPage() {
  const TMPModes mode = MediaPlayer1.Mode();
  PageSnapshot page;
  page.interrupted = mode == mpPlaying || mode == mpPaused;
  if (page.interrupted && !state.menuPage) {
    page.position = MediaPlayer1.Position();
    page.length = MediaPlayer1.Length();
  }
  return page;
}

// The page that a speech-rate or voice question interrupted is fetched again with the
// new setting and continues at the same fraction of its length; a menu starts again.
void TForm1::ResumeAtSameFraction(const PageSnapshot& page) {
  if (!page.interrupted) return;
  // The whole new speech first: its length places the page.
  if (FetchPageSpeech(false) <= 0) return;
  MediaPlayer1.FileName = state.workFolder + "bod.mp3";
  try {
    MediaPlayer1.Open();
  } catch (const EMciDeviceError&) {
    FailPageSpeech(RequestOutcome::kUnusable);
    return;
  }
  if (page.length > 0 && page.position > 0) {
    const int64_t newLength = MediaPlayer1.Length();
    const int64_t scaled = static_cast<int64_t>(page.position) * newLength;
    MediaPlayer1.SetPosition(
        static_cast<int32_t>((scaled * 2 + page.length) / (int64_t{2} * page.length)));
  }
  MediaPlayer1.Play();
  Trace("page " + state.pagePath + " heard");
  RequestMap();  // the map of the speech at the new rate or voice
}

void TForm1::kysi_parooli() {
  pass->clear();
  pass->setGeometry(Memo1->geometry().left(), Memo1->geometry().top(), Memo1->viewport()->width(),
                    pass->sizeHint().height());
  pass->show();
  pass->raise();
  pass->setFocus();
  state.accessCode.clear();
  tomba_loe_abi("1kysiparooli.txt");
}

void TForm1::passKeyPress(char& key) {
  if (key == 13) {
    state.accessCode = pass->text().toStdString();
    std::shared_future<bool> kept;
    if (services_.accessCodeEntered) kept = services_.accessCodeEntered(state.accessCode);
    pass->clear();
    pass->hide();
    Memo1->setFocus();
    mangi_res_heli("click");
    if (!state.accessCode.empty() && kept.valid()) ReportAccessCodeKept(kept);
    state.lastPagePath = "-";
    FormActivate();
    return;
  }
  mangi_res_heli("click");
}

void TForm1::ReportAccessCodeKept(const std::shared_future<bool>& kept) {
  // The keyring answers within milliseconds when it answers at all; a keyring that takes
  // longer has not kept the code as far as the user can tell.
  QElapsedTimer waited;
  waited.start();
  QTimer poll;
  poll.start(10);  // wakes the wait below; the answer comes from another thread
  WaitWhile([&] {
    return kept.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
           waited.elapsed() < kKeyringAnswerMs;
  });
  poll.stop();
  if (Quitting()) return;
  const bool ready = kept.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  if (!ready || !kept.get()) SayAndWait("tx_koodiviga");
}

void TForm1::tomba_loe_staatus() {
  std::string name = "9";
  if (!state.pagePath.empty()) name += ".k" + state.pagePath.substr(state.pagePath.size() - 1);
  name += services_.keyboard->GetKeyState(vk::kScroll) == state.scrollLockReference ? ".s1" : ".s0";
  name += services_.keyboard->GetKeyState(vk::kNumLock) == 1 ? ".n1" : ".n0";
  name += ".v";
  name += kStatusTag;
  tomba_loe_abi(name);
}
