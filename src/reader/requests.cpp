// Page requests to the text server: one request at a time through HttpClient1, the
// page's speech into "bod.mp3" and onto the page player, the page's text into Memo1.
// Every failure is heard: an unreachable server by the spoken connection error, speech
// that cannot be played by the spoken speech error; and a request that takes a while
// ticks softly, so that a wait is never silent.
#include <sys/stat.h>
#include <QPlainTextEdit>
#include <QTimer>

#include "reader/form1.h"
#include "reader/text_codec.h"

namespace {

constexpr int kSpeechTimeOut = 90000;
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
  form_.workingTick_->stop();
  form_.state.requestBusy = false;
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
  HttpClient1.TimeOut = speech ? kSpeechTimeOut : kTextTimeOut;
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
  std::string url = "/cgi-bin/tx.cgi?s=" + state.speechRate + "&v=" + state.voice + "&q=" + target +
                    state.requestId;
  if (speech) url += "&w=1";

  try {
    HttpClient1.Get(url);
  } catch (const std::exception&) {
    lastOutcome_ = RequestOutcome::kUnreachable;
    ShowText(QStringLiteral("Serveriga ei saa ühendust!"));
    mangi_res_mp3("tx_yhendusviga");
    return -1;
  }
  lastOutcome_ = RequestOutcome::kOk;
  if (bodyFile.empty()) {
    // A page's text is shown only while it is the page at the page path: a text that
    // arrives after the user has left its page would describe another page. A long text
    // goes in with the busy flag still held, so that nothing navigates in the middle of it.
    if (target == state.pagePath) ShowText(DecodeServerText(HttpClient1.Body));
  } else if (speech && !audio_file_ok(bodyFile)) {
    lastOutcome_ = RequestOutcome::kUnusable;
    return -1;
  }
  return 1;
}

int TForm1::tomba_loe() {
  MediaPlayer1.Close();
  if (state.requestBusy) return tomba(state.pagePath, "hdr.txt", "bod.mp3", true);

  // The page's speech starts as soon as enough of it has arrived to be heard; the rest
  // keeps arriving into the same file while it plays.
  const std::string path = state.workFolder + "bod.mp3";
  bool started = false;
  services_.media->SetGrowing(path, true);
  HttpClient1.OnPacketRecvd = [this, &started, &path](TSocketTransport& transport) {
    if (started || transport.ReceivedCount() < kRecordSize * kMinimumRecords) return;
    try {
      OpenAndPlay(MediaPlayer1, path);
      started = true;
    } catch (const EMciDeviceError&) {
      MediaPlayer1.Close();  // not speech yet, or not speech at all: the next piece tells
    }
  };
  int r = tomba(state.pagePath, "hdr.txt", "bod.mp3", true);
  HttpClient1.OnPacketRecvd = nullptr;
  // A download that failed, or a file that fails the check, stops what plays of it.
  if (r <= 0) MediaPlayer1.Close();
  services_.media->SetGrowing(path, false);

  if (r > 0) {
    // Played from the start when it did not start early (or something closed it meanwhile).
    if ((!started || MediaPlayer1.DeviceID() == 0) && !PlaySpeech(MediaPlayer1, "bod.mp3")) r = -1;
  } else if (lastOutcome_ == RequestOutcome::kUnusable) {
    // An answer too short to be speech (an error page of the server): said, not silent.
    mangi_res_mp3("tx_synteesiviga");
  }
  return r;
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
  // The access code goes only to the configured server, never through a redirect to
  // another host.
  if (sender.PassGoesToOtherHost()) return;
  sender.RequestHeaders.SetHeader("Vorbu", state.accessCode);
}

void TForm1::WorkingTick() {
  workingTick_->setInterval(kTickIntervalMs);
  // Speech that plays meanwhile (the page while its text or the rest of it arrives) says
  // enough, unless it has caught up with the download and waits.
  const bool pageHeard = MediaPlayer1.Mode() == mpPlaying && !MediaPlayer1.Starved();
  if (pageHeard || MediaPlayer2.Mode() == mpPlaying) return;
  mangi_res_heli("tick");
}
