// TForm1: the reader's one window. It owns the text area Memo1, the hidden access-code
// box `pass`, the one-second timer Timer1, the three media players (MediaPlayer1 for the
// page's speech, MediaPlayer2 for prompts and help, klahvilugeja for key names) and the
// HTTP client HttpClient1, and it holds all of the reader's logic as its methods. The
// methods live in the files of the subsystem they belong to: start-up and settings in
// form1.cpp, server requests in requests.cpp, navigation in navigation.cpp, idle
// reminders in idle_reminders.cpp; the key dispatcher, prompts, questions and embedded
// sounds under src/keyboard/.
//
// Everything runs on the GUI thread. Several methods wait by running pending events
// (requests, prompts, questions), so handlers run nested inside one another; the state's
// request busy flag and answer wait flag guard that nesting.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/mci_player.h"
#include "audio/media_device_service.h"
#include "http/http_client.h"
#include "keyboard/keyboard_state.h"
#include "reader/clock.h"
#include "reader/reader_state.h"

class QPlainTextEdit;
class QLineEdit;
class QElapsedTimer;
class QKeyEvent;
class QTimer;

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
  // so that it can be remembered; must return at once.
  std::function<void(const std::string& code)> accessCodeEntered;
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

  // Embedded sounds.
  void mangi_res_heli(const std::string& name);
  void salvesta_res_mp3(const std::string& name);
  void mangi_res_mp3(const std::string& name);

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
  // Plays the "working" tick while a request runs and nothing else is heard.
  void WorkingTick();
  // Asks a single-key question until the answer table accepts the key; false when the
  // application quit first (nothing was applied then).
  bool AskSetting(bool ReaderState::*dialogFlag, const std::string& prompt,
                  const std::function<bool(uint16_t key)>& apply);
  // Drops the page path's last character (never the first), marks the page as not yet
  // fetched and runs the navigation step: the parent page is fetched and read.
  void GoUpAndRead();
  // Backspace and Escape: stops what plays, asks before leaving at the root, and otherwise
  // goes up a level and reads the page there.
  void GoBack();
  // Runs the navigation step for a page the user chose while at `from`; when its speech
  // cannot be fetched or played, the page path goes back to `from`.
  void StayUnlessFetched(const std::string& from);
  // Stops the page player, then the prompt player, each only when it plays.
  void StopPlayingPlayers();
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
};
