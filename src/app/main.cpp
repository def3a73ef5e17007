// Program entry: the application, the window (whose creation runs the reader's
// start-up), and the main loop. Exit code 0 when the loop ends normally.
#include <cstdio>

#include "app/command_line.h"
#include "audio/media_device_service_impl.h"
#include "reader/form1.h"
#include "reader/reader_application.h"

int main(int argc, char** argv) {
  const CommandLine command =
      ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
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

  ReaderApplication app(argc, argv);
  ReaderApplication::setApplicationName(QStringLiteral("talking-reader"));
  ReaderApplication::setApplicationDisplayName(QStringLiteral("Talking Reader"));

  MediaDeviceService media(OpenDefaultOutput());
  SystemClock clock;
  KeyboardState keyboard;
  ReaderServices services;
  services.media = &media;
  services.wave = &media;
  services.clock = &clock;
  services.keyboard = &keyboard;
  services.serverHost = command.host;
  services.serverPort = command.port;

  TForm1 form(services);
  form.show();
  return ReaderApplication::exec();
}
