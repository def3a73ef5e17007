// Program entry: the server (command line, else the configuration file), the look for a
// screen reader (begun first, so that it runs while the keyring is asked), the access code
// remembered in the keyring, the application, the window (whose creation runs the
// reader's start-up), and the main loop. Exit code 0 when the loop ends normally.
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>

#include "app/command_line.h"
#include "app/config_file.h"
#include "audio/media_device_service_impl.h"
#include "keyring/access_code_keyring.h"
#include "reader/form1.h"
#include "reader/places.h"
#include "reader/reader_application.h"
#include "reader/screen_reader_detection.h"
#include "reader/screen_reader_offer.h"

namespace {

// The longest the start waits for the keyring before it goes on with the built-in code.
constexpr std::chrono::milliseconds kKeyringWait{2000};

// SIGTERM and SIGINT end the reader as closing its window does. The handler only writes a
// byte; the main loop reads it and asks the application to quit.
int quitSignalPipe[2] = {-1, -1};

void OnQuitSignal(int) {
  const char byte = 1;
  (void)!::write(quitSignalPipe[1], &byte, 1);
}

void QuitOnSignals(ReaderApplication& app) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, quitSignalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app] {
    char byte;
    (void)!::read(quitSignalPipe[0], &byte, 1);
    app.RequestQuit();
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine command = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (command.action) {
    case CommandLine::Action::Help:
      std::fputs(kUsage, stdout);
      return 0;
    case CommandLine::Action::Version:
      std::puts("talking-reader " TR_VERSION);
      return 0;
    case CommandLine::Action::Error:
      std::fprintf(stderr, "talking-reader: %s\n%s", command.error.c_str(), kUsage);
      return 2;
    case CommandLine::Action::Run:
      break;
  }

  const std::string configPath = ConfigFilePath();
  const ServerChoice server = ChooseServer(command, configPath);
  if (!server.warning.empty()) std::fprintf(stderr, "talking-reader: %s\n", server.warning.c_str());
  const SpeedChoice speed = ReadListeningSpeed(configPath);
  if (!speed.warning.empty()) std::fprintf(stderr, "talking-reader: %s\n", speed.warning.c_str());

  ReaderApplication app(argc, argv);
  ReaderApplication::setApplicationName(QStringLiteral("talking-reader"));
  ReaderApplication::setApplicationDisplayName(QStringLiteral("Talking Reader"));

  QuitOnSignals(app);

  // Its answers arrive as events; the window's first activation waits for them (within
  // the detection's bound) before it reads anything.
  const std::optional<std::string> sessionBus = tr_base::SessionBusAddress();
  ScreenReaderDetection screenReader(sessionBus);
  ScreenReaderOffer offer([&screenReader] { return screenReader.result(); }, DataHome(),
                          StateHome());

  MediaDeviceService media(OpenDefaultOutput());
  SystemClock clock;
  KeyboardState keyboard;
  ReaderServices services;
  services.media = &media;
  services.wave = &media;
  services.clock = &clock;
  services.keyboard = &keyboard;
  services.serverHost = server.host;
  services.serverPort = server.port;
  services.placesPath = DefaultPlacesPath();
  services.listeningSpeed = speed.speed;
  services.listeningSpeedChanged = [configPath](double chosen) {
    std::string error;
    if (!WriteListeningSpeed(configPath, chosen, error))
      std::fprintf(stderr, "talking-reader: %s\n", error.c_str());
  };

  // The code belongs to the server it was entered for and is never offered to another.
  AccessCodeKeyring keyring(server.host + ":" + std::to_string(server.port), {}, sessionBus);
  services.rememberedAccessCode = keyring.Lookup(kKeyringWait);
  services.accessCodeEntered = [&keyring](const std::string& code) {
    return keyring.Remember(code);
  };
  services.screenReaderOffer = &offer;

  TForm1 form(services);
  form.show();
  // Without a window manager nobody else activates the window, and the reader starts
  // reading only once it is active.
  form.activateWindow();
  return ReaderApplication::exec();
}
