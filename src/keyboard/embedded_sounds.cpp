#include "keyboard/embedded_sounds.h"

#include <QDir>
#include <QResource>
#include <QString>
#include <QStringList>

namespace {

// The resource folders (resources/CMakeLists.txt) hold one file per sound, named after the
// sound in lower case with the kind's suffix: wave/click.wav, mp3/vk_0.mp3.
QString FolderOf(SoundKind kind) {
  return kind == SoundKind::Wave ? QStringLiteral(":/tr_sounds/wave/")
                                 : QStringLiteral(":/tr_sounds/mp3/");
}

QString SuffixOf(SoundKind kind) {
  return kind == SoundKind::Wave ? QStringLiteral(".wav") : QStringLiteral(".mp3");
}

// Sound names are plain identifiers. Anything else ("../x", "a/b", "", "ä") could only
// address some other resource, so it matches no sound.
bool IsSoundName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool plain =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    if (!plain) return false;
  }
  return true;
}

}  // namespace

QByteArray EmbeddedSounds::Find(SoundKind kind, const std::string& name) {
  if (!IsSoundName(name)) return {};
  const QString path = FolderOf(kind) + QString::fromLatin1(name).toLower() + SuffixOf(kind);
  const QResource resource(path);
  if (!resource.isValid() || resource.size() <= 0) return {};
  // The resources are compiled without compression, so the image can be handed out in place;
  // should a build compress one anyway, a decompressed copy is still correct.
  if (resource.compressionAlgorithm() != QResource::NoCompression) {
    return resource.uncompressedData();
  }
  return QByteArray::fromRawData(reinterpret_cast<const char*>(resource.data()),
                                 static_cast<qsizetype>(resource.size()));
}

std::vector<std::string> EmbeddedSounds::Names(SoundKind kind) {
  const QString suffix = SuffixOf(kind);
  const QStringList files =
      QDir(FolderOf(kind)).entryList({QStringLiteral("*") + suffix}, QDir::Files, QDir::Name);
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const QString& file : files) {
    names.push_back(file.chopped(suffix.size()).toUpper().toStdString());
  }
  return names;
}
