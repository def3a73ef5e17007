// The whole reader in one process with every real part: the development server (its own
// process, real speech), the HTTP client over loopback, the media device service with
// libmpg123 and SDL2's disk driver capturing what the reader says.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <cstdlib>

#include "audio/media_device_service_impl.h"
#include "reader/form1.h"
#include "server_process.h"

namespace {

// Runs the event loop until `done` holds or `ms` pass.
bool RunUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  }
  return done();
}

// Bytes of the captured output that are not silence (silence is all zero bytes in any of
// SDL's sample formats).
size_t NonSilentBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return 0;
  const QByteArray bytes = file.readAll();
  return static_cast<size_t>(
      std::count_if(bytes.begin(), bytes.end(), [](char b) { return b != 0; }));
}

// The reader's window on the real media device service, with SDL2's disk driver writing
// everything it says into `capture`.
struct RealReader {
  RealReader(const QTemporaryDir& dir, const QString& capture, int serverPort)
      : media((SetDiskOutput(capture), OpenDefaultOutput())) {
    services.media = &media;
    services.wave = &media;
    services.clock = &clock;
    services.keyboard = &keys;
    services.workFolderCandidates = {dir.path().toStdString() + "/work"};
    services.serverPort = serverPort;
    form = std::make_unique<TForm1>(services);
  }
  static void SetDiskOutput(const QString& capture) {
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILE", capture.toLocal8Bit().constData(), 1);
  }

  MediaDeviceService media;
  SystemClock clock;
  KeyboardState keys;
  ReaderServices services;
  std::unique_ptr<TForm1> form;
};

TEST(ReaderEndToEndTest, ReadsTheRootPageAloudShowsItAndGoesDownOnADigit) {
  QTemporaryDir dir;
  const QString capture = dir.path() + "/spoken.raw";
  ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", TR_SERVER_SAMPLE_PAGES, "--cache",
                                              dir.path().toStdString() + "/cache"});
  ASSERT_NE(0, server.port()) << server.log();
  RealReader reader(dir, capture, server.port());
  TForm1& form = *reader.form;
  form.show();
  form.FormActivate();  // as the window's activation does

  ASSERT_TRUE(RunUntil([&] { return form.Memo1->toPlainText().startsWith("0 Peamenüü"); }, 90000))
      << form.Memo1->toPlainText().toStdString() << "\n"
      << server.log();
  EXPECT_TRUE(form.state.menuPage);
  EXPECT_EQ(mpPlaying, form.MediaPlayer1.Mode());
  EXPECT_TRUE(RunUntil([&] { return NonSilentBytes(capture) > 20000; }, 10000))
      << "the root page's speech reached the output";

  uint16_t two = vk::k0 + 2;
  form.FormKeyDown(two);
  EXPECT_EQ("02", form.state.pagePath);
  EXPECT_TRUE(RunUntil([&] { return form.Memo1->toPlainText().contains("Ilm"); }, 90000))
      << form.Memo1->toPlainText().toStdString();
  EXPECT_EQ(mpPlaying, form.MediaPlayer1.Mode());
}

TEST(ReaderEndToEndTest, TheEmbeddedManualReachesTheOutput) {
  QTemporaryDir dir;
  const QString capture = dir.path() + "/manual.raw";
  RealReader reader(dir, capture, 1);
  TForm1& form = *reader.form;
  form.mangi_res_mp3("tx_kasutusjuhend");
  EXPECT_EQ(mpPlaying, form.MediaPlayer2.Mode());
  EXPECT_TRUE(RunUntil([&] { return NonSilentBytes(capture) > 20000; }, 10000))
      << "the manual's speech reached the output";
}

}  // namespace
