// How long the window stops answering while a large page is shown: the reader fetches a
// page of nearly 8 MiB (the largest text it takes) over loopback, shows it and parses its
// menu, while a timer that should fire every 5 ms records the longest gap between its
// ticks, that is the longest time the event loop was held. Beside it, the reference from
// the same run: the same text put into a text area of the same kind in one call
// (QPlainTextEdit::setPlainText), which holds the loop for as long as it takes.
//
// Cases: short lines (the most lines), lines of 80 characters, a menu whose every entry is
// cut at its second tab (parsed and shown again), and one single line. A text area lays a
// line out whole, in time that grows faster than its length, so for the single line the
// reference is given only its first 256 KiB (the whole line takes it many minutes).
//
// Usage: large_page_bench
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "audio/media_device_service_impl.h"
#include "audio/silent_audio_output.h"
#include "reader/form1.h"
#include "reader/reader_application.h"
#include "scripted_http_server.h"

namespace {

constexpr size_t kPageBytes = (8u << 20) - 4096;

std::string Repeat(const std::string& line, const std::string& first = {}) {
  std::string text = first;
  while (text.size() + line.size() <= kPageBytes) text += line;
  return text;
}

// Runs `work` while a 5 ms timer watches the event loop; the longest gap in ms.
qint64 LongestStall(const std::function<void()>& work) {
  QTimer watch;
  QElapsedTimer since;
  qint64 longest = 0;
  QObject::connect(&watch, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
  watch.start(5);
  since.start();
  work();
  longest = std::max(longest, since.elapsed());
  return longest;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  ReaderApplication app(argc, argv);
  app.SetErrorReporter(
      [](const QString& m) { std::fprintf(stderr, "error: %s\n", qPrintable(m)); });

  std::ifstream mp3(TR_SOUNDS_DIR "/tx_logimisviga.mp3", std::ios::binary);
  const std::string speech((std::istreambuf_iterator<char>(mp3)), {});
  const struct {
    const char* what;
    std::string text;
    size_t referenceBytes = kPageBytes;
  } cases[] = {
      {"short lines", Repeat("x\n")},
      {"80-character lines", Repeat(std::string(79, 'y') + "\n")},
      {"menu, every entry cut", Repeat("1\tvalik\tpeidetud\n", "0 Menüü\n")},
      {"one line", std::string(kPageBytes, 'z'), 256u << 10},
  };

  std::printf("%-24s %10s %10s %18s %22s\n", "page (8 MiB)", "lines", "shown in", "longest stall",
              "setPlainText at once");
  for (const auto& c : cases) {
    ScriptedHttpServer server([&](const ScriptedRequest& r) -> ScriptedResponse {
      if (r.query.count("w")) return {200, speech, "audio/mpeg"};
      return {200, c.text};
    });
    QTemporaryDir dir;
    MediaDeviceService media(std::make_unique<SilentAudioOutput>());
    SystemClock clock;
    KeyboardState keys;
    ReaderServices services;
    services.media = &media;
    services.wave = &media;
    services.clock = &clock;
    services.keyboard = &keys;
    services.workFolderCandidates = {dir.path().toStdString() + "/work"};
    services.serverPort = server.Port();
    TForm1 form(services);
    form.show();
    QElapsedTimer total;
    total.start();
    const qint64 ours = LongestStall([&] { form.FormActivate(); });
    const qint64 shownIn = total.elapsed();
    const qint64 lines = form.Memo1->document()->blockCount();

    QPlainTextEdit reference;
    reference.show();
    const QString text = QString::fromStdString(c.text.substr(0, c.referenceBytes));
    const qint64 once = LongestStall([&] {
      reference.setPlainText(text);
      QCoreApplication::processEvents();
    });
    std::printf("%-24s %10lld %8lld ms %15lld ms %19lld ms%s\n", c.what, lines, shownIn, ours, once,
                c.referenceBytes < c.text.size() ? " (first 256 KiB)" : "");
    std::fflush(stdout);
  }
  std::printf("\ntarget: the longest stall at most 100 ms\n");
  return 0;
}
