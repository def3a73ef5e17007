// A TForm1 wired to fakes for unit tests of the reader's logic: a media device service
// that plays nothing, a clock that stands still, the program's keyboard state, a work
// folder in a temporary directory, and a scripted text server on a loopback port that
// answers text and speech requests from the pages a test gives it.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>

#include "fake_clock.h"
#include "fake_media_devices.h"
#include "reader/form1.h"
#include "scripted_http_server.h"

class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pages["0"] = "0 Avaleht\n1\tUudised\n2\tIlm\n";
    pages["01"] = "0 Uudised\n1\tEsimene uudis\n";
    pages["012"] = "Pikk tekst.";
    server = std::make_unique<ScriptedHttpServer>(
        [this](const ScriptedRequest& r) { return Answer(r); });
    services.media = &media;
    services.wave = &media;
    services.clock = &clock;
    services.keyboard = &keys;
    services.workFolderCandidates = {dir.path().toStdString() + "/work"};
    services.placesPath = dir.path().toStdString() + "/state/talking-reader/places";
    services.serverHost = "127.0.0.1";
    services.serverPort = server->Port();
    services.applicationActive = [this] { return active; };
    CreateForm();
  }

  void CreateForm() {
    form = std::make_unique<TForm1>(services);
    form->Timer1->stop();  // ticks are driven by hand, in virtual time
  }

  // The server's answer: `script`'s when a test set one, else a page's text, or for w=1 a
  // speech body of speechSize bytes.
  virtual ScriptedResponse Answer(const ScriptedRequest& r) {
    if (script) return script(r);
    return PageAnswer(r);
  }
  // The answer from `pages` and speechSize alone.
  ScriptedResponse PageAnswer(const ScriptedRequest& r) const {
    const std::string q = r.query.count("q") ? r.query.at("q") : "";
    if (r.query.count("w")) return {200, std::string(speechSize, 'S'), "audio/mpeg"};
    auto page = pages.find(q);
    if (page == pages.end()) return {404, "Lehte ei leitud"};
    return {200, page->second};
  }

  void Press(uint16_t key) { form->FormKeyDown(key); }
  // A real key press and release, as the window system delivers them: through the
  // application's key preview to the widget `to`.
  void SendKey(QWidget* to, int key, const QString& text = {},
               Qt::KeyboardModifiers modifiers = Qt::NoModifier, quint32 scanCode = 0) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers, scanCode, 0, 0, text);
    QCoreApplication::sendEvent(to, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers, scanCode, 0, 0, text);
    QCoreApplication::sendEvent(to, &release);
  }

  // Runs the window's own one-second timer for `seconds` of virtual time (a tick every
  // millisecond, the clock a second further each time), with every prompt ending as soon
  // as it plays. A request in flight and a prompt take no virtual time: the clock stands
  // still while either lasts, however long this machine takes over them, so the silence is
  // counted exactly as on an instant machine. Returns the seconds (counted from 1) at which
  // a file of `baseName` was opened.
  std::vector<int> RunTimer(int seconds, const std::string& baseName) {
    std::vector<int> at;
    const QDateTime start = clock.Now();
    const auto elapsed = [&] { return static_cast<int>(start.secsTo(clock.Now())); };
    bool done = false;
    size_t seen = media.Opened().size();
    const auto endPrompt = [this] {
      if (form->MediaPlayer2.Mode() == mpPlaying) media.EndPlayback(form->MediaPlayer2.DeviceID());
    };
    endPrompt();
    QTimer ender;
    QObject::connect(&ender, &QTimer::timeout, endPrompt);
    ender.start(1);
    const auto connection = QObject::connect(form->Timer1, &QTimer::timeout, [&] {
      const auto opened = media.Opened();
      for (size_t i = seen; i < opened.size(); ++i) {
        if (opened[i] == baseName) at.push_back(elapsed());
      }
      seen = opened.size();
      if (form->state.requestBusy || form->MediaPlayer2.Mode() == mpPlaying) return;
      if (elapsed() < seconds) {
        clock.Advance(1);
      } else {
        done = true;
      }
    });
    clock.Advance(1);
    form->Timer1->start(1);
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    form->Timer1->stop();
    QObject::disconnect(connection);
    return at;
  }

  // Runs `action` once `condition` holds, from inside whatever wait the reader is in.
  void When(std::function<bool()> condition, std::function<void()> action) {
    auto* timer = new QTimer(form.get());
    timer->setInterval(2);
    QObject::connect(timer, &QTimer::timeout, [timer, condition, action] {
      if (!condition()) return;
      timer->stop();
      timer->deleteLater();
      action();
    });
    timer->start();
  }
  // Answers the next question prompt with `key` once it plays.
  void AnswerWhenAsked(uint16_t key) {
    When([this] { return form->state.answerWait && media.IsPlaying(PromptFile()); },
         [this, key] { Press(key); });
  }
  std::string PromptFile() const { return media.FileOf(form->MediaPlayer2.DeviceID()); }

  void ProcessEvents() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
  }
  // Runs the event loop until `done` holds; false when it has not within 20 s. What a test
  // waits for is an event (a request the server saw, a sound that plays), never a time.
  bool WaitUntil(const std::function<bool()>& done) {
    QTimer look;  // wakes the loop to look again when only another thread has moved
    look.start(5);
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
      if (waited.elapsed() > 20000) return false;
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
  }
  // Waits until the page's speech has arrived, or failed, and what follows has been done.
  bool WaitForPageSpeech() {
    return WaitUntil([this] { return !form->HttpClient2.Running(); });
  }
  // Waits until the page's speech and its sentence map have arrived (or failed).
  bool WaitForPageAndMap() {
    return WaitUntil(
        [this] { return !form->HttpClient2.Running() && !form->HttpClient3.Running(); });
  }
  std::string Work(const std::string& name) const { return form->state.workFolder + name; }
  QString MemoText() const { return form->Memo1->toPlainText(); }
  // Reads the root page: the navigation step that the window's activation runs.
  void OpenRoot() {
    form->state.pagePath = "0";
    form->state.lastPagePath = "-";
    form->FormActivate();
    WaitForPageAndMap();
    ProcessEvents();
    server->ClearRequests();
    media.ClearCommands();
  }

  QTemporaryDir dir;
  FakeMediaDevices media;
  FakeClock clock;
  KeyboardState keys;
  bool active = true;
  size_t speechSize = 4000;
  std::map<std::string, std::string> pages;
  // Set before the request it answers (the server calls it on its own thread).
  std::function<ScriptedResponse(const ScriptedRequest&)> script;
  std::unique_ptr<ScriptedHttpServer> server;
  ReaderServices services;
  std::unique_ptr<TForm1> form;
};
