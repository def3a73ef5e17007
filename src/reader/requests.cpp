// Page requests to the text server: one request at a time through HttpClient1, the
// page's speech into "bod.mp3" and onto the page player, the page's text into Memo1.
#include <sys/stat.h>
#include <QPlainTextEdit>

#include "reader/form1.h"
#include "reader/text_codec.h"

namespace {

constexpr int kSpeechTimeOut = 90000;
constexpr int kTextTimeOut = 40000;
constexpr off_t kRecordSize = 128;
constexpr off_t kMinimumRecords = 30;

// Holds the request busy flag for one request and clears it on every way out.
class BusyGuard {
 public:
  explicit BusyGuard(bool& flag) : flag_(flag) { flag_ = true; }
  ~BusyGuard() { flag_ = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  bool& flag_;
};

}  // namespace

int TForm1::tomba(const std::string& page, const std::string& headerFile,
                  const std::string& bodyFile, bool speech) {
  lastRequestUnreachable_ = false;
  if (state.requestBusy) return -1;
  BusyGuard busy(state.requestBusy);

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

  int result = 1;
  try {
    HttpClient1.Get(url);
  } catch (const std::exception&) {
    lastRequestUnreachable_ = true;
    Memo1->setPlainText(QStringLiteral("Serveriga ei saa ühendust!"));
    mangi_res_mp3("tx_yhendusviga");
    return -1;
  }
  if (bodyFile.empty()) {
    Memo1->setPlainText(DecodeServerText(HttpClient1.Body));
  } else if (speech && !audio_file_ok(bodyFile)) {
    result = -1;
  }
  return result;
}

int TForm1::tomba_loe() {
  MediaPlayer1.Close();
  const int r = tomba(state.pagePath, "hdr.txt", "bod.mp3", true);
  if (r > 0) loe("bod.mp3");
  return r;
}

void TForm1::loe(const std::string& fileName) {
  MediaPlayer1.Close();
  MediaPlayer1.FileName = state.workFolder + fileName;
  MediaPlayer1.Open();
  MediaPlayer1.Play();
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
