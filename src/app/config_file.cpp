#include "app/config_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <cmath>
#include <cstdio>

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

// Whether `line` (without its line break) sets `key` of the file's unnamed section.
bool SetsKey(const QByteArray& line, const QByteArray& key) {
  const qsizetype equals = line.indexOf('=');
  return equals > 0 && line.left(equals).trimmed() == key;
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

SpeedChoice ReadListeningSpeed(const std::string& configPath) {
  SpeedChoice choice;
  const QString path = QString::fromStdString(configPath);
  const QFileInfo info(path);
  if (!info.exists()) return choice;
  if (!info.isFile() || !info.isReadable()) {
    choice.warning = configPath + ": cannot be read; listening at speed 1";
    return choice;
  }
  const QSettings settings(path, QSettings::IniFormat);
  if (settings.status() != QSettings::NoError) {
    choice.warning = configPath + ": not a valid settings file; listening at speed 1";
    return choice;
  }
  const QVariant value = settings.value(QStringLiteral("speed"));
  if (!value.isValid()) return choice;
  const QString text =
      value.typeId() == QMetaType::QString ? value.toString().trimmed() : QString();
  bool number = false;
  const double speed = text.toDouble(&number);
  const double quarters = speed * 4;
  // A plain decimal number, on the steps from 0.5 to 4.
  if (number && !text.contains(QLatin1Char('e'), Qt::CaseInsensitive) && speed >= 0.5 &&
      speed <= 4 && quarters == std::round(quarters)) {
    choice.speed = speed;
    return choice;
  }
  choice.warning = configPath + ": speed=" +
                   (text.isEmpty() ? std::string("(empty)") : Printable(text.toStdString())) +
                   " is not a listening speed from 0.5 to 4 in steps of 0.25; listening at speed 1";
  return choice;
}

bool WriteListeningSpeed(const std::string& configPath, double speed, std::string& error) {
  const QString path = QString::fromStdString(configPath);
  QByteArray old;
  if (QFileInfo::exists(path)) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) {
      error = configPath + ": cannot be read: " + in.errorString().toStdString();
      return false;
    }
    old = in.readAll();
  } else if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
    error = configPath + ": its folder cannot be made";
    return false;
  }
  char value[32];
  std::snprintf(value, sizeof value, "speed=%g", speed);
  const QByteArray eol = old.contains("\r\n") ? QByteArray("\r\n") : QByteArray("\n");
  QList<QByteArray> lines = old.split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();  // the last line break
  // The unnamed section: the lines before the first section, and the section [General].
  bool unnamed = true;
  qsizetype general = -1;
  qsizetype at = -1;
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QByteArray line = lines[i].endsWith('\r') ? lines[i].chopped(1) : lines[i];
    const QByteArray trimmed = line.trimmed();
    if (trimmed.startsWith('[')) {
      unnamed = trimmed == "[General]";
      if (unnamed && general < 0) general = i;
      continue;
    }
    if (unnamed && SetsKey(line, "speed")) {
      at = i;
      break;
    }
  }
  const QByteArray entry = QByteArray(value) + (eol == "\r\n" ? "\r" : "");
  if (at >= 0) {
    lines[at] = entry;
  } else {
    // Before the first section, or first in [General].
    lines.insert(general >= 0 ? general + 1 : 0, entry);
  }
  QByteArray text = lines.join('\n');
  text += '\n';
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
    error = configPath + ": cannot be written: " + out.errorString().toStdString();
    return false;
  }
  return true;
}
