// The sounds the reader carries inside its executable: wave images (the click of a key
// without a name, the program's own ding) that are played straight from memory, and
// recorded Estonian MP3 phrases (key names, the user manual, the access-code request, error
// messages) that are copied into the work folder before a media player opens them.
//
// The images are compiled in through Qt's resource system; this class only looks them up.
// It keeps no state, so any thread may call it at any time after static initialisation.
#pragma once

#include <QByteArray>
#include <string>
#include <vector>

enum class SoundKind { Wave, Mp3 };

class EmbeddedSounds {
 public:
  // Looks a sound up by name, ignoring letter case ("click", "CLICK" and "Click" are the
  // same sound); an empty QByteArray when there is none, also for a name with characters
  // other than letters, digits and '_'. The data stays valid for the run (it points into
  // the executable's resources and is never copied).
  static QByteArray Find(SoundKind kind, const std::string& name);

  // The names of every sound of the kind, upper case, sorted (for example "VK_0").
  static std::vector<std::string> Names(SoundKind kind);
};
