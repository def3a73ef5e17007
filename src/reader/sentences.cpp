// Sentences of a page: its sentence map, asked for once the text is shown; moving by
// sentence and by paragraph; the mark on the sentence being spoken, which a low-vision
// reader follows in the large type; and the places the user left in pages, continued the
// next time the page is read. A page without a map reads as it always did; only the keys
// that need one answer that they cannot act here.
#include <QFile>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>
#include <algorithm>

#include "reader/form1.h"
#include "reader/trace.h"

namespace {

// Up or Page Up within this long of the start of a sentence (or paragraph) goes to the one
// before; later, to the start of this one.
constexpr int32_t kBackToPrevious = 1500;  // ms
// A page without a map continues this much before where it was left.
constexpr int32_t kNoMapRewind = 5000;  // ms
// The mark never lags the speech by more than this.
constexpr int kMarkLag = 100;  // ms
// The end of a map may pass the speech's exact length by up to one MP3 frame and change.
constexpr int64_t kMapTolerance = 50;  // ms
constexpr uint64_t kMaxMapBytes = 4ull << 20;

}  // namespace

std::string TForm1::ServerName() const {
  return services_.serverHost + ":" + std::to_string(services_.serverPort);
}

void TForm1::RequestMap() {
  HttpClient3.Cancel();
  pageMap_.reset();
  ClearMark();
  mapPage_ = state.pagePath;
  mapSpeech_ = pageSpeechSerial_;
  HttpClient3.MaxFileBody = kMaxMapBytes;
  // A map of a page still being synthesised comes once the synthesis is done.
  HttpClient3.Start(
      ServerRequest(RequestUrl(state.pagePath, false) + "&w=2", kSpeechTimeOutMs, "bod.map"));
}

void TForm1::MapArrived(bool ok) {
  const bool current = mapPage_ == state.pagePath && mapSpeech_ == pageSpeechSerial_ &&
                       TextIsCurrent() && !errorOnShow_;
  std::optional<SentenceMap> map;
  if (ok && current) {
    // No failure is reported: without its map a page reads as it always did.
    QFile file(QString::fromStdString(state.workFolder + "bod.map"));
    if (file.open(QIODevice::ReadOnly) && file.size() <= static_cast<qint64>(kMaxMapBytes)) {
      const QByteArray body = file.readAll();
      map = ParseSentenceMap(std::string_view(body.constData(), static_cast<size_t>(body.size())),
                             pageSpots_.Characters());
    }
  }
  if (!current) return;
  pageMap_ = std::move(map);
  mapChecked_ = false;
  Trace("page " + state.pagePath + (pageMap_ ? " has a map" : " has no map"));
  if (continuing_ && continuing_->target < 0) {
    const Place& place = continuing_->place;
    if (pageMap_ && place.sentence >= 0 && static_cast<size_t>(place.sentence) < pageMap_->size()) {
      continuing_->target = (*pageMap_)[static_cast<size_t>(place.sentence)].start;
    } else if (place.rate == state.speechRate && place.voice == state.voice) {
      continuing_->target = place.ms;
    } else {
      continuing_.reset();  // nowhere to go on from: the page plays from its start
    }
    GoToPlace();
  }
  UpdateMark();
}

bool TForm1::MapUsable() const {
  return pageMap_ && mapPage_ == state.pagePath && mapSpeech_ == pageSpeechSerial_ &&
         TextIsCurrent() && !errorOnShow_;
}

void TForm1::CheckMapFitsSpeech() {
  if (!pageMap_ || mapChecked_ || !pageSpeechComplete_ || MediaPlayer1.DeviceID() == 0) return;
  mapChecked_ = true;
  if (MapFitsSpeech(*pageMap_, MediaPlayer1.Length() + kMapTolerance)) return;
  Trace("page " + state.pagePath + " has a map past its speech");
  pageMap_.reset();
  ClearMark();
}

void TForm1::UpdateMark() {
  markTimer_->stop();
  CheckMapFitsSpeech();
  if (!MapUsable()) {
    ClearMark();
    return;
  }
  const TMPModes mode = MediaPlayer1.Mode();
  if (mode != mpPlaying && mode != mpPaused) return;  // the mark stays where the page stopped
  const SentenceMap& map = *pageMap_;
  const int32_t position = MediaPlayer1.Position();
  const size_t index = SentenceAt(map, position);
  if (index != marked_) ShowMark(index);
  if (mode != mpPlaying) return;
  // Looked at again when the next sentence begins (at the latest after kMarkLag, so that a
  // faster listening speed or a skip never leaves the mark behind for long).
  int64_t wait = kMarkLag;
  if (index + 1 < map.size())
    wait = std::clamp<int64_t>(map[index + 1].start - position, 5, kMarkLag);
  markTimer_->start(static_cast<int>(wait));
}

void TForm1::ShowMark(size_t index) {
  const Sentence& s = (*pageMap_)[index];
  QTextDocument* document = Memo1->document();
  const auto place = [&](int64_t character) {
    const TextSpot spot = pageSpots_.Spot(character);
    const QTextBlock block = document->findBlockByNumber(spot.block);
    if (!block.isValid()) return document->characterCount() - 1;
    // A line shown shorter than it is (a menu entry, a line cut) marks what is shown of it.
    return block.position() +
           static_cast<int>(std::min<qsizetype>(spot.column, block.length() - 1));
  };
  QTextCursor sentence(document);
  sentence.setPosition(place(s.from));
  sentence.setPosition(place(s.to), QTextCursor::KeepAnchor);
  QTextEdit::ExtraSelection mark;
  mark.cursor = sentence;
  // Black on yellow: the sentence stands out in any colour scheme a low-vision reader uses.
  mark.format.setBackground(QColor(255, 230, 0));
  mark.format.setForeground(QColor(0, 0, 0));
  Memo1->setExtraSelections({mark});
  marked_ = index;
  Trace("sentence " + std::to_string(index) + " marked");

  // The caret goes to the sentence's start, so that a magnifier or a braille display
  // follows it, and the view with it. Only the caret: a screen reader does not speak a
  // caret that moves by itself, but it reads a selection that changes, aloud, again.
  QTextCursor start(document);
  start.setPosition(sentence.selectionStart());
  Memo1->setTextCursor(start);
  Memo1->ensureCursorVisible();
}

void TForm1::ClearMark() {
  if (markTimer_ != nullptr) markTimer_->stop();
  if (marked_ == SIZE_MAX) return;
  marked_ = SIZE_MAX;
  Memo1->setExtraSelections({});
}

void TForm1::NotHere() {
  mangi_res_heli("not_here");
}

void TForm1::JumpTo(int32_t ms) {
  // As a skip does: the page fades out where it was and comes in at the new place.
  if (MediaPlayer1.Mode() == mpPlaying) MediaPlayer1.Pause();
  MediaPlayer1.SetPosition(ms);
  MediaPlayer1.Play();
  UpdateMark();
}

void TForm1::MoveBySentence(int direction, bool paragraph) {
  const TMPModes mode = MediaPlayer1.Mode();
  if (!MapUsable() || (mode != mpPlaying && mode != mpPaused)) {
    NotHere();
    return;
  }
  continuing_.reset();  // the user has chosen a place of their own
  const SentenceMap& map = *pageMap_;
  const int32_t position = MediaPlayer1.Position();
  const size_t at = SentenceAt(map, position);
  std::optional<size_t> target;
  if (direction > 0) {
    size_t next = at + 1;
    while (paragraph && next < map.size() && map[next].paragraph == map[at].paragraph) ++next;
    if (next < map.size()) target = next;
  } else {
    const size_t first = paragraph ? ParagraphStart(map, at) : at;
    if (position < map[first].start || position - map[first].start >= kBackToPrevious) {
      target = first;  // the start of this one again
    } else if (first > 0) {
      target = paragraph ? ParagraphStart(map, first - 1) : first - 1;
    }
  }
  // A sentence whose speech has not arrived yet cannot be played yet.
  if (!target || (!pageSpeechComplete_ && map[*target].start >= MediaPlayer1.Length())) {
    NotHere();
    return;
  }
  JumpTo(map[*target].start);
}

void TForm1::RememberPlace() {
  if (state.menuPage || !TextIsCurrent() || errorOnShow_ || continuing_) return;
  const TMPModes mode = MediaPlayer1.Mode();
  if (mode != mpPlaying && mode != mpPaused) return;
  const int32_t position = MediaPlayer1.Position();
  Place place;
  place.server = ServerName();
  place.page = state.pagePath;
  place.text = PlaceBook::Fingerprint(pageText_.toStdString());
  place.sentence = MapUsable() ? static_cast<int32_t>(SentenceAt(*pageMap_, position)) : -1;
  place.ms = std::max(0, position - kNoMapRewind);
  place.rate = state.speechRate;
  place.voice = state.voice;
  places_.Remember(place);
  Trace("page " + state.pagePath + " left at " + std::to_string(position) + " ms");
}

void TForm1::ForgetPlace() {
  places_.Forget(ServerName(), state.pagePath);
}

void TForm1::ContinueWhereLeft() {
  continuing_.reset();
  if (state.menuPage) return;
  const std::optional<Place> place = places_.Find(ServerName(), state.pagePath);
  if (!place) return;
  if (place->text != PlaceBook::Fingerprint(pageText_.toStdString())) {
    places_.Forget(ServerName(), state.pagePath);  // the page has changed: from its start
    return;
  }
  const bool sameSpeech = place->rate == state.speechRate && place->voice == state.voice;
  if (place->sentence < 0 && !sameSpeech) return;  // no time that means the same here
  continuing_ = Continuing{*place, place->sentence < 0 ? place->ms : -1};
  mangi_res_heli("continuing");
  Trace("page " + state.pagePath + " continues");
  GoToPlace();
}

void TForm1::GoToPlace() {
  if (!continuing_ || continuing_->target < 0) return;
  if (MediaPlayer1.DeviceID() == 0) {
    continuing_.reset();
    return;
  }
  const int32_t target = continuing_->target;
  if (!pageSpeechComplete_ && target >= MediaPlayer1.Length()) {
    // Not arrived yet: the page waits there (the working tick says so) until it has.
    if (MediaPlayer1.Mode() == mpPlaying) MediaPlayer1.Pause();
    return;
  }
  continuing_.reset();
  JumpTo(std::min(target, std::max(0, MediaPlayer1.Length() - 1)));
}

void TForm1::ContinueLastPage() {
  const std::optional<Place> place = places_.Last(ServerName());
  if (!place || place->page == state.pagePath) {
    NotHere();
    return;
  }
  RememberPlace();
  StopPlayingPlayers();
  if (MediaPlayer1.Mode() == mpPaused) MediaPlayer1.Stop();
  CancelPageSpeech();
  state.pagePath = place->page;
  state.lastPagePath = "-";
  FormActivate();
}
