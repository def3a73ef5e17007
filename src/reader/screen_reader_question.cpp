// The question asked once, before the first page is read, when a screen reader speaks
// over the reader: whether to silence it in this program. It is answered like the
// question whether to leave (1 yes, any other key no) and repeated by the idle reminders
// while it waits; whatever the answer, and whatever becomes of it, the reader then goes
// on to read the main menu.
#include <cstdio>

#include "reader/form1.h"
#include "reader/reader_application.h"
#include "reader/screen_reader_offer.h"
#include "reader/work_folder.h"

bool TForm1::ReadyForFirstPage() {
  switch (firstPage_) {
    case FirstPage::kReady:
      return true;
    case FirstPage::kAsking:
      return false;
    case FirstPage::kWaiting:
      break;
  }
  firstPage_ = FirstPage::kAsking;
  try {
    kysi_ekraanilugejat();
  } catch (const std::exception& e) {
    // A question that failed (a sound that cannot be played) must not keep the reader
    // from its pages.
    ShowErrorBox(QString::fromUtf8(e.what()));
  }
  firstPage_ = FirstPage::kReady;
  return !Quitting();
}

void TForm1::kysi_ekraanilugejat() {
  ScreenReaderOffer* offer = services_.screenReaderOffer;
  if (offer == nullptr) return;
  // The detection ends by itself within its bound; keys and ticks are handled meanwhile.
  WaitWhile([offer] { return !offer->Decided(); });
  if (Quitting() || !offer->ShouldAsk()) return;

  state.screenReaderDialog = true;
  state.answerKey = 0;
  state.answerWait = true;
  tomba_loe_abi("1ekraanilugeja.txt");
  WaitWhile([this] { return state.answerWait; });
  state.screenReaderDialog = false;
  const bool answered = !state.answerWait;
  state.answerWait = false;
  if (!answered) return;  // quitting: nothing is written or said

  if (state.answerKey == vk::k0 + 1) {
    try {
      if (offer->Accept()) {
        SayAndWait("tx_vaigistan");
        return;
      }
      std::fprintf(stderr, "talking-reader: %s exists already and is left as it is\n",
                   offer->SettingsPath().c_str());
    } catch (const EInOutError& e) {
      std::fprintf(stderr, "talking-reader: the screen reader's settings cannot be written: %s\n",
                   e.what());
    }
    SayAndWait("tx_vaigistusviga");
    return;
  }
  try {
    offer->Decline();
  } catch (const EInOutError& e) {
    std::fprintf(stderr, "talking-reader: the answer cannot be remembered: %s\n", e.what());
    SayAndWait("tx_vastuseviga");
  }
}
