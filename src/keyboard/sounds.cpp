// Embedded sounds: the click played from memory, and the recorded MP3 phrases written
// once into the work folder and played by a media player.
#include <sys/stat.h>

#include "keyboard/embedded_sounds.h"
#include "reader/form1.h"
#include "reader/work_folder.h"

void TForm1::mangi_res_heli(const std::string& name) {
  const QByteArray image = EmbeddedSounds::Find(SoundKind::Wave, name);
  if (image.isEmpty()) return;
  services_.wave->PlayWave(image.constData(), static_cast<std::size_t>(image.size()));
}

void TForm1::salvesta_res_mp3(const std::string& name) {
  const std::string target = state.workFolder + name + ".mp3";
  // An existing file is never examined or rewritten, also one left by an earlier run.
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0) return;
  const QByteArray sound = EmbeddedSounds::Find(SoundKind::Mp3, name);
  if (sound.isEmpty()) throw Exception("No embedded sound named " + name);
  WriteFileIfMissing(target,
                     std::string_view(sound.constData(), static_cast<size_t>(sound.size())));
}

void TForm1::mangi_res_mp3(const std::string& name) {
  MediaPlayer2.Close();
  salvesta_res_mp3(name);
  OpenAndPlay(MediaPlayer2, state.workFolder + name + ".mp3");
}

void TForm1::SayAndWait(const std::string& sound) {
  mangi_res_mp3(sound);
  WaitWhile([this] { return MediaPlayer2.Mode() == mpPlaying; });
  MediaPlayer2.Close();
}
