// Page requests to the text server: texts and prompts one at a time through HttpClient1,
// the page's speech through HttpClient2 into "bod.mp3" and onto the page player while it
// still arrives, the page's text into Memo1.
// Every failure is heard: an unreachable server by the spoken connection error, speech
// that cannot be played by the spoken speech error; and a request that takes a while
// ticks softly, so that a wait is never silent.
#include <sys/stat.h>
#include <QPlainTextEdit>
#include <QTimer>

#include "reader/form1.h"
#include "reader/text_codec.h"
#include "reader/trace.h"

namespace {

// The access code's own header line, for the configured server only: never through a
// redirect to another host.
void AddAccessCodeHeader(THttpClient& client, const std::string& code) {
  if (client.PassGoesToOtherHost()) return;
  client.RequestHeaders.SetHeader("Vorbu", code);
}

constexpr int kTextTimeOut = 40000;
constexpr off_t kRecordSize = 128;
constexpr off_t kMinimumRecords = 30;
// The "working" tick: first after this long, then once a second while the request runs.
constexpr int kFirstTickMs = 700;
constexpr int kTickIntervalMs = 1000;

}  // namespace

TForm1::BusyScope::BusyScope(TForm1& form) : form_(form) {
  form_.state.requestBusy = true;
  form_.workingTick_->start(kFirstTickMs);
}

TForm1::BusyScope::~BusyScope() {
  form_.state.requestBusy = false;
  form_.UpdateWorkingTick();
}

std::string TForm1::RequestUrl(const std::string& page, bool speech) const {
  std::string url = "/cgi-bin/tx.cgi?s=" + state.speechRate + "&v=" + state.voice +
                    "&q=" + (page.empty() ? "0" : page) + state.requestId;
  if (speech) url += "&w=1";
  return url;
}

int TForm1::tomba(const std::string& page, const std::string& headerFile,
                  const std::string& bodyFile, bool speech) {
  if (state.requestBusy) {
    lastOutcome_ = RequestOutcome::kBusy;
    return -1;
  }
  BusyScope busy(*this);

  const std::string target = page.empty() ? "0" : page;
  // Every request goes to the configured server: a redirect may have moved the client's
  // host and port for the request it redirected, never for the ones after it.
  HttpClient1.Host = services_.serverHost;
  HttpClient1.Port = services_.serverPort;
  HttpClient1.TimeOut = speech ? kSpeechTimeOutMs : kTextTimeOut;
  HttpClient1.HeaderInfo.UserId = state.accessCode;
  HttpClient1.HeaderInfo.Password = state.accessCode;
  if (bodyFile.empty()) {
    HttpClient1.InputFileMode = false;
    speech = false;
  } else {
    HttpClient1.InputFileMode = true;
    HttpClient1.Header = state.workFolder + headerFile;
    HttpClient1.Body = state.workFolder + bodyFile;
  }

  try {
    HttpClient1.Get(RequestUrl(target, speech));
  } catch (const std::exception&) {
    lastOutcome_ = RequestOutcome::kUnreachable;
    ReportUnreachable();
    return -1;
  }
  lastOutcome_ = RequestOutcome::kOk;
  if (bodyFile.empty()) {
    // A page's text is shown only while it is the page at the page path: a text that
    // arrives after the user has left its page would describe another page. A long text
    // goes in with the busy flag still held, so that nothing navigates in the middle of it.
    if (target == state.pagePath) {
      errorOnShow_ = false;
      pageText_ = DecodeServerText(HttpClient1.Body);
      pageSpots_ = TextSpots(pageText_);
      ShowText(pageText_);
    }
  } else if (speech && !audio_file_ok(bodyFile)) {
    lastOutcome_ = RequestOutcome::kUnusable;
    return -1;
  }
  return 1;
}

void TForm1::ReportUnreachable() {
  ShowText(QStringLiteral("Serveriga ei saa ühendust!"));
  errorOnShow_ = true;
  mangi_res_mp3("tx_yhendusviga");
}

// The page's speech goes through HttpClient2. The request busy flag is held only until the
// page is heard (3840 bytes have arrived and open as speech) or the download has ended;
// the rest arrives in the background while the page plays, and its end, or its failure,
// comes back through PageSpeechDone.
int TForm1::tomba_loe() {
  return FetchPageSpeech(true);
}

int TForm1::FetchPageSpeech(bool playEarly) {
  MediaPlayer1.Close();
  if (state.requestBusy) {
    lastOutcome_ = RequestOutcome::kBusy;
    return -1;
  }
  // One speech request at a time for the page: new speech replaces one still arriving.
  CancelPageSpeech();
  const std::string path = state.workFolder + "bod.mp3";
  {
    BusyScope busy(*this);
    ++pageSpeechSerial_;
    pageSpeech_ = PageSpeech::kStarting;
    pageSpeechHeard_ = false;
    pageSpeechPlaysEarly_ = playEarly;
    pageSpeechComplete_ = false;
    pageSpeechEnd_.reset();
    // New speech: the map and the place being continued were for the old one.
    HttpClient3.Cancel();
    pageMap_.reset();
    ClearMark();
    continuing_.reset();
    services_.media->SetGrowing(path, true);
    HttpClient2.Start(ServerRequest(RequestUrl(state.pagePath, true), kSpeechTimeOutMs, "bod.mp3"));
    WaitWhile([this] { return !pageSpeechHeard_ && HttpClient2.Running(); });
    if (HttpClient2.Running() && pageSpeechHeard_ && !Quitting()) {
      pageSpeech_ = PageSpeech::kArriving;
      lastOutcome_ = RequestOutcome::kOk;
      pageFetchFailed_ = false;
      return 1;  // the busy flag ends here; the tick follows the arriving speech
    }
  }
  // The download ended before the page was heard, or the application is quitting.
  const std::optional<DownloadEnd> end = pageSpeechEnd_;
  if (!end) {
    CancelPageSpeech();
    lastOutcome_ = RequestOutcome::kBusy;
    return -1;
  }
  pageSpeech_ = PageSpeech::kNone;
  UpdateWorkingTick();
  services_.media->SetGrowing(path, false);
  if (!end->ok) {
    FailPageSpeech(RequestOutcome::kUnreachable);
    return -1;
  }
  if (!audio_file_ok("bod.mp3")) {
    // An answer too short to be speech (an error page of the server): said, not silent.
    FailPageSpeech(RequestOutcome::kUnusable);
    return -1;
  }
  pageSpeechComplete_ = true;
  // Played from the start when it did not start early (or something closed it meanwhile).
  if (playEarly && (!pageSpeechHeard_ || MediaPlayer1.DeviceID() == 0) &&
      !PlaySpeech(MediaPlayer1, "bod.mp3")) {
    ++pageSpeechSerial_;
    pageFetchFailed_ = true;
    return -1;
  }
  lastOutcome_ = RequestOutcome::kOk;
  pageFetchFailed_ = false;
  return 1;
}

void TForm1::PageSpeechPacket() {
  if (pageSpeech_ == PageSpeech::kArriving) {
    GoToPlace();  // a place being continued may have arrived
    return;
  }
  if (pageSpeech_ != PageSpeech::kStarting || !pageSpeechPlaysEarly_ || pageSpeechHeard_ ||
      HttpClient2.ReceivedCount() < kRecordSize * kMinimumRecords)
    return;
  try {
    OpenAndPlay(MediaPlayer1, state.workFolder + "bod.mp3");
    pageSpeechHeard_ = true;
  } catch (const EMciDeviceError&) {
    MediaPlayer1.Close();  // not speech yet, or not speech at all: the next piece tells
  }
}

void TForm1::PageSpeechDone(bool ok, const std::string& error) {
  if (pageSpeech_ == PageSpeech::kStarting) {
    pageSpeechEnd_ = DownloadEnd{ok, error};  // tomba_loe takes it from here
    return;
  }
  if (pageSpeech_ != PageSpeech::kArriving) return;
  pageSpeech_ = PageSpeech::kNone;
  UpdateWorkingTick();
  // Complete: the page's length is exact from now on, and its end is the real end.
  services_.media->SetGrowing(state.workFolder + "bod.mp3", false);
  if (Quitting()) return;
  if (!ok) {
    FailPageSpeech(RequestOutcome::kUnreachable);
  } else if (!audio_file_ok("bod.mp3")) {
    FailPageSpeech(RequestOutcome::kUnusable);
  } else {
    pageSpeechComplete_ = true;
    UpdateMark();  // the map is held against the exact length
    GoToPlace();
  }
}

TBackgroundHttpClient::Request TForm1::ServerRequest(const std::string& url, int32_t timeOut,
                                                     const std::string& bodyFile) const {
  TBackgroundHttpClient::Request request;
  request.host = services_.serverHost;
  request.port = services_.serverPort;
  request.timeOut = timeOut;
  request.userId = state.accessCode;
  request.password = state.accessCode;
  request.url = url;
  request.headerFile = state.workFolder + "hdr.txt";
  request.bodyFile = state.workFolder + bodyFile;
  request.aboutToSend = [code = state.accessCode](THttpClient& client) {
    AddAccessCodeHeader(client, code);
  };
  return request;
}

void TForm1::CancelPageSpeech() {
  if (pageSpeech_ == PageSpeech::kNone) return;
  HttpClient2.Cancel();
  pageSpeech_ = PageSpeech::kNone;
  UpdateWorkingTick();
  services_.media->SetGrowing(state.workFolder + "bod.mp3", false);
}

void TForm1::FailPageSpeech(RequestOutcome why) {
  Trace("page " + state.pagePath + " speech failed");
  ++pageSpeechSerial_;  // a prompt that interrupted the page does not resume it
  pageFetchFailed_ = true;
  lastOutcome_ = why;
  MediaPlayer1.Close();
  if (why == RequestOutcome::kUnreachable) {
    ReportUnreachable();
  } else {
    mangi_res_mp3("tx_synteesiviga");
  }
}

void TForm1::loe(const std::string& fileName) {
  OpenAndPlay(MediaPlayer1, state.workFolder + fileName);
}

void TForm1::OpenAndPlay(TMciPlayer& player, const std::string& path) {
  player.Close();
  player.FileName = path;
  player.Open();
  player.Play();
}

bool TForm1::PlaySpeech(TMciPlayer& player, const std::string& fileName) {
  try {
    OpenAndPlay(player, state.workFolder + fileName);
    return true;
  } catch (const EMciDeviceError&) {
    // The answer passed the size check but is no speech (an error page, a padded body):
    // a failed request, spoken, never an error box.
    lastOutcome_ = RequestOutcome::kUnusable;
    player.Close();
    mangi_res_mp3("tx_synteesiviga");
    return false;
  }
}

bool TForm1::audio_file_ok(const std::string& fileName) {
  const std::string path = state.workFolder + fileName;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) return false;
  std::string extension = fileName.substr(dot);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".mp3") return false;
  return st.st_size / kRecordSize >= kMinimumRecords;
}

void TForm1::HttpClient1AboutToSend(THttpClient& sender) {
  AddAccessCodeHeader(sender, state.accessCode);
}

void TForm1::UpdateWorkingTick() {
  const bool wanted = state.requestBusy || pageSpeech_ != PageSpeech::kNone;
  if (!wanted) {
    workingTick_->stop();
  } else if (!workingTick_->isActive()) {
    workingTick_->start(kFirstTickMs);
  }
}

void TForm1::WorkingTick() {
  workingTick_->setInterval(kTickIntervalMs);
  const bool pagePlays = MediaPlayer1.Mode() == mpPlaying;
  if (!state.requestBusy) {
    // Only the page's speech arrives: the user waits only when it has caught up with its
    // download, or waits for the place being continued to arrive (a page the user paused,
    // or a prompt, is no wait).
    const bool waits =
        (pagePlays && MediaPlayer1.Starved()) || (continuing_ && continuing_->target >= 0);
    if (waits && MediaPlayer2.Mode() != mpPlaying) mangi_res_heli("tick");
    return;
  }
  // Speech that plays meanwhile (the page while its text arrives) says enough, unless it
  // has caught up with its download and waits.
  if ((pagePlays && !MediaPlayer1.Starved()) || MediaPlayer2.Mode() == mpPlaying) return;
  mangi_res_heli("tick");
}
