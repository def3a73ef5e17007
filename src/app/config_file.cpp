#include "app/config_file.h"

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

std::string ConfigFilePath() {
  return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
          QStringLiteral("/talking-reader/talking-reader.conf"))
      .toStdString();
}

namespace {

// The value as it may be shown on a terminal: control characters become '?'.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

}  // namespace

ServerChoice ChooseServer(const CommandLine& command, const std::string& configPath) {
  ServerChoice choice{command.host, command.port, {}};
  if (command.serverGiven) return choice;

  const QString path = QString::fromStdString(configPath);
  const QFileInfo info(path);
  if (!info.exists()) return choice;
  const std::string fallback = " using " + choice.host + ":" + std::to_string(choice.port);
  if (!info.isFile() || !info.isReadable()) {
    choice.warning = configPath + ": cannot be read;" + fallback;
    return choice;
  }
  const QSettings settings(path, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) {
    choice.warning = configPath + ": not a valid settings file;" + fallback;
    return choice;
  }
  const QVariant value = settings.value(QStringLiteral("server"));
  if (!value.isValid()) return choice;
  // A value with a comma reads as a list; only a single text can be an address.
  const std::string text =
      value.typeId() == QMetaType::QString ? value.toString().toStdString() : std::string();
  std::string why;
  if (!ParseServerAddress(text, choice.host, choice.port, &why)) {
    choice.warning = configPath + ": server=" + (text.empty() ? "(empty)" : Printable(text)) + " " +
                     why + ";" + fallback;
  }
  return choice;
}
