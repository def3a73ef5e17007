// TForm1: the reader's one window. It owns the text area Memo1, the hidden access-code
// box `pass`, the one-second timer Timer1, the three media players (MediaPlayer1 for the
// page's speech, MediaPlayer2 for prompts and help, klahvilugeja for key names), the HTTP
// client HttpClient1 for texts and prompts and HttpClient2 for the page's speech, and it
// holds all of the reader's logic as its methods. The
// methods live in the files of the subsystem they belong to: start-up and settings in
// form1.cpp, server requests in requests.cpp, navigation in navigation.cpp, idle
// reminders in idle_reminders.cpp; the key dispatcher, prompts, questions and embedded
// sounds under src/keyboard/.
//
// Everything runs on the GUI thread, but for the download of a page's speech, which runs on
// HttpClient2's own thread once the page is heard and reports back through the event
// queue. Several methods wait by running pending events (requests, prompts, questions), so
// handlers run nested inside one another; the state's request busy flag and answer wait
// flag guard that nesting.
#pragma once

#include <QWidget>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/mci_player.h"
#include "audio/media_device_service.h"
#include "http/background_http_client.h"
#include "http/http_client.h"
#include "keyboard/keyboard_state.h"
#include "reader/clock.h"
#include "reader/places.h"
#include "reader/reader_state.h"
#include "reader/sentence_map.h"

class QPlainTextEdit;
class QLineEdit;
class QElapsedTimer;
class QKeyEvent;
class QTimer;
class ScreenReaderOffer;

// What the window needs from the outside world; tests replace each part.
struct ReaderServices {
  IMediaDeviceService* media = nullptr;
  IWaveVoice* wave = nullptr;
  IClock* clock = nullptr;
  KeyboardState* keyboard = nullptr;
  std::vector<std::string> workFolderCandidates;  // empty: the usual Linux candidates
  std::string serverHost = "127.0.0.1";
  int serverPort = 8080;
  // Whether this application is the active one; empty: ask Qt.
  std::function<bool()> applicationActive;
  // Asks the application to end; empty: the application's own quit request.
  std::function<void()> quit;
  // Whether the application is quitting; empty: ask the application.
  std::function<bool()> quitting;
  // The access code remembered from an earlier run; empty: the built-in code.
  std::optional<std::string> rememberedAccessCode;
  // Called with each code the user enters with F9 and Enter (empty: the user cleared it),
  // so that it can be remembered; must return at once. The answer becomes true once the
  // code is kept (or forgotten), false when it cannot be.
  std::function<std::shared_future<bool>(const std::string& code)> accessCodeEntered;
  // Offers, before the first page is read, to silence a screen reader that speaks over
  // the reader; null: no offer.
  ScreenReaderOffer* screenReaderOffer = nullptr;
  // The file of the places the user left in pages; empty: they are kept for the run only.
  std::string placesPath;
  // The listening speed remembered from an earlier run: 0.5 to 4 times the natural speed.
  double listeningSpeed = 1;
  // Called with each listening speed chosen with + and -, so that it can be remembered.
  std::function<void(double speed)> listeningSpeedChanged;
};

class TForm1 : public QWidget {
 public:
  explicit TForm1(const ReaderServices& services, QWidget* parent = nullptr);
  ~TForm1() override;

  // Components.
  QPlainTextEdit* Memo1 = nullptr;
  QLineEdit* pass = nullptr;
  QTimer* Timer1 = nullptr;
  TMciPlayer MediaPlayer1;
  TMciPlayer MediaPlayer2;
  TMciPlayer klahvilugeja;
  THttpClient HttpClient1;
  // The page's speech, on a client of its own: once the page is heard, the rest of its
  // speech arrives while keys, prompts and texts go on (HttpClient1 stays theirs).
  TBackgroundHttpClient HttpClient2;
  // The page's sentence map, on a client of its own too: a map may wait for the page's
  // speech to be synthesised, and no key waits for it.
  TBackgroundHttpClient HttpClient3;

  ReaderState state;

  // Start-up and settings.
  void FormCreate();
  void Activate();
  void SetNumLock();
  std::string find_work_folder();
  void ini_valja();
  void ini_sisse();

  // Page requests.
  int tomba(const std::string& page, const std::string& headerFile, const std::string& bodyFile,
            bool speech);
  int tomba_loe();
  void loe(const std::string& fileName);
  bool audio_file_ok(const std::string& fileName);
  void HttpClient1AboutToSend(THttpClient& sender);

  // Navigation and menus. FormActivate returns false when it fetched the page and its
  // speech could not be fetched or played.
  bool FormActivate();
  void tomba_naita();
  void parse_menu();
  void MediaPlayer1Notify();
  void korda_menyyd();

  // Idle reminders.
  void Timer1Timer();

  // Key commands.
  void FormKeyDown(uint16_t& key);
  // + and -: the listening speed of the page and the prompts (keyboard/listening_speed.cpp).
  // True when `key` was one of them and has been handled.
  bool ChangeListeningSpeed(uint16_t key);
  void Memo1KeyPress(char& key);

  // Prompts and key names.
  void ytle_klahvi_nimi(uint16_t key, bool force);
  void tomba_loe_abi(const std::string& page);

  // Questions and status.
  bool kysikinnitust();
  void kysi_kiirust();
  void kysi_haalt();
  void kysi_parooli();
  void passKeyPress(char& key);
  void tomba_loe_staatus();
  // Before the first page: asks whether to silence a screen reader that speaks over the
  // reader (1 yes, any other key no), when the offer says so, and does what was answered.
  void kysi_ekraanilugejat();

  // Embedded sounds.
  void mangi_res_heli(const std::string& name);
  void salvesta_res_mp3(const std::string& name);
  void mangi_res_mp3(const std::string& name);

  // Sentences: the next or previous sentence (or paragraph) of the page, by its map; the
  // page left unfinished last, continued where it was left.
  void MoveBySentence(int direction, bool paragraph);
  void ContinueLastPage();

  // The page's text lines as shown (the text's own lines, not the wrapped ones).
  QStringList MemoLines() const;

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // How the last tomba ended.
  enum class RequestOutcome { kOk, kBusy, kUnreachable, kUnusable };

  // Holds the request busy flag (and the working tick) for one request, or for the parse
  // of a long menu, and ends both on every way out.
  class BusyScope {
   public:
    explicit BusyScope(TForm1& form);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    TForm1& form_;
  };
  // The key preview: every key event meant for this window, once, before its widget.
  bool PreviewKey(QWidget* receiver, QKeyEvent* event);
  // Runs pending events, sleeping until the next one, while `waiting` holds and the
  // application is not quitting.
  void WaitWhile(const std::function<bool()>& waiting);
  bool ApplicationIsActive() const;
  bool Quitting() const;
  // Close, FileName := path, Open, Play: how every sound file is played.
  void OpenAndPlay(TMciPlayer& player, const std::string& path);
  // Plays the work folder's `fileName` on `player`. A file the player refuses (not
  // playable speech) is reported by the spoken speech error instead; returns false then.
  bool PlaySpeech(TMciPlayer& player, const std::string& fileName);
  // Puts `text` into Memo1, a long one in slices with the window's events handled between
  // them; false when it was stopped meanwhile (by Escape, by another text, by quitting).
  bool ShowText(const QString& text);
  // Handles the window's events once `slice` has run long enough (or `now`); false when
  // the text being worked on is no longer the one of `generation`.
  bool KeepWindowAlive(QElapsedTimer& slice, uint64_t generation, bool now = false);
  // The text and menu keys on show belong to the page at the page path.
  bool TextIsCurrent() const { return shownPagePath_ == state.pagePath; }
  // Plays the "working" tick while the user waits: a request runs and nothing else is
  // heard, or the page's speech has caught up with its download.
  void WorkingTick();
  // Runs the working tick's timer while a request runs or the page's speech arrives.
  void UpdateWorkingTick();
  // Fetches the page's speech into "bod.mp3" on HttpClient2. With `playEarly` it plays as
  // soon as it can be heard and the rest arrives in the background; without, it returns
  // once the whole file is in, and plays nothing. Results as tomba_loe's.
  int FetchPageSpeech(bool playEarly);
  // The page's speech on HttpClient2: more of it has arrived, or its download has ended.
  void PageSpeechPacket();
  void PageSpeechDone(bool ok, const std::string& error);
  // Ends the download of the page's speech without a word: the user left the page, or
  // new speech for the page player replaces it.
  void CancelPageSpeech();
  // The page's speech failed after it began to play: it stops, and the failure is heard
  // (the connection error, or the speech error for speech that is no speech).
  void FailPageSpeech(RequestOutcome why);
  // "Serveriga ei saa ühendust!" on show and the connection error spoken.
  void ReportUnreachable();
  // The page's sentence map: asked for once its text is shown; used once it has come and
  // fits the page's text and speech.
  void RequestMap();
  void MapArrived(bool ok);
  // The map is the page's own (the page on show, the speech that plays), and fits.
  bool MapUsable() const;
  // Drops a map that reaches past the end of the page's speech, once its length is exact.
  void CheckMapFitsSpeech();
  // Marks the sentence at the page's position, and keeps the mark on the sentence being
  // spoken while the page plays.
  void UpdateMark();
  void ShowMark(size_t index);
  void ClearMark();
  // The key could not act here (no map, past either end): a short sound says so.
  void NotHere();
  // Plays the page from `ms` (a sentence's start), whether it played or was paused.
  void JumpTo(int32_t ms);
  // The user leaves the page: where they were is remembered (for a page that is not a menu,
  // heard before its end).
  void RememberPlace();
  // The page was read to its end: nothing to continue.
  void ForgetPlace();
  // Once the page's text is shown: a page left before is continued where it was left.
  void ContinueWhereLeft();
  // Goes to the place being continued once its sentence, or its time, has arrived.
  void GoToPlace();
  std::string ServerName() const;
  // The text server's URL for `page` (speech when `speech`).
  std::string RequestUrl(const std::string& page, bool speech) const;
  // A request of `url` for a background client, its body into the work folder's `bodyFile`,
  // with the access code as every request carries it.
  TBackgroundHttpClient::Request ServerRequest(const std::string& url, int32_t timeOut,
                                               const std::string& bodyFile) const;
  static constexpr int32_t kSpeechTimeOutMs = 90000;
  // Asks a single-key question until the answer table accepts the key; false when the
  // application quit first (nothing was applied then).
  bool AskSetting(bool ReaderState::*dialogFlag, const std::string& prompt,
                  const std::function<bool(uint16_t key)>& apply);
  // Drops the page path's last character (never the first), marks the page as not yet
  // fetched and runs the navigation step: the parent page is fetched and read.
  void GoUpAndRead();
  // Backspace and Escape: stops what plays, asks before leaving at the root, and otherwise
  // goes up a level and reads the page there (also when that read fails: the reminders
  // then try the page the user went to).
  void GoBack();
  // Scroll Lock: says whether key names are now spoken.
  void SayKeyNamesState();
  // Runs the navigation step for a page the user chose while at `from`; when its speech
  // cannot be fetched or played, the page path goes back to `from`.
  void StayUnlessFetched(const std::string& from);
  // Stops the page player, then the prompt player, each only when it plays.
  void StopPlayingPlayers();
  // The first activation runs the screen-reader question before anything is read; an
  // activation while it runs reads nothing. True when the navigation step may run.
  bool ReadyForFirstPage();
  // Plays the embedded phrase `sound` on the prompt player and waits for its end.
  void SayAndWait(const std::string& sound);
  // After F9 and Enter: waits a moment for the keyring's answer about `kept`, and says so
  // when the code could not be kept.
  void ReportAccessCodeKept(const std::shared_future<bool>& kept);
  // Where the page player stood when a speech-rate or voice question began.
  struct PageSnapshot {
    bool interrupted = false;  // the page was playing or paused
    int32_t position = 0;      // ms; 0 for a menu, which starts again
    int32_t length = 0;
  };
  PageSnapshot SnapshotPage();
  // Fetches the interrupted page again after a setting changed, at the same fraction.
  void ResumeAtSameFraction(const PageSnapshot& page);

  ReaderServices services_;
  int promptDepth_ = 0;  // nesting depth of tomba_loe_abi
  RequestOutcome lastOutcome_ = RequestOutcome::kOk;
  std::string shownPagePath_;  // the page whose text and menu keys are on show
  QTimer* workingTick_ = nullptr;
  uint64_t textGeneration_ = 0;   // counts the texts put into Memo1
  bool textStopped_ = false;      // a text stopped before all of it went in
  bool escapeWhileBusy_ = false;  // Escape was pressed while the page was busy
  bool errorOnShow_ = false;      // Memo1 shows the connection error, not the page's text

  // The download of the page's speech on HttpClient2: starting (the request busy flag is
  // held until the page is heard or the download ends), or arriving while the page plays.
  enum class PageSpeech { kNone, kStarting, kArriving };
  PageSpeech pageSpeech_ = PageSpeech::kNone;
  bool pageSpeechHeard_ = false;       // the starting download has begun to play
  bool pageSpeechPlaysEarly_ = false;  // it plays as soon as it can be heard
  struct DownloadEnd {
    bool ok = false;
    std::string error;
  };
  std::optional<DownloadEnd> pageSpeechEnd_;  // how a starting download ended
  uint64_t pageSpeechSerial_ = 0;             // changes with every new or failed page speech
  bool pageFetchFailed_ = false;              // the page's speech could not be fetched or played
  bool pageSpeechComplete_ = false;  // the page's speech has all arrived (its length is exact)

  // Sentences.
  QString pageText_;                    // the page's text as the server returned it
  TextSpots pageSpots_;                 // where its characters are shown
  bool mapChecked_ = false;             // the map has been held against the speech's length
  std::optional<SentenceMap> pageMap_;  // the map of the page on show, once it fits
  std::string mapPage_;                 // the page the map (or its request) is for
  uint64_t mapSpeech_ = 0;              // the page speech it is for (pageSpeechSerial_)
  QTimer* markTimer_ = nullptr;         // moves the mark along while the page plays
  size_t marked_ = SIZE_MAX;            // the sentence marked
  PlaceBook places_;
  // A page being continued where it was left: the place, and its time in the speech once
  // known (-1 while the map is still to come).
  struct Continuing {
    Place place;
    int32_t target = -1;
  };
  std::optional<Continuing> continuing_;
  // The first page: waiting for the first activation, the screen-reader question being
  // asked, or free to be read.
  enum class FirstPage { kWaiting, kAsking, kReady };
  FirstPage firstPage_ = FirstPage::kWaiting;
};
