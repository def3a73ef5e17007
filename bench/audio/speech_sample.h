// A minute of Estonian speech as the development server makes it (espeak-ng, then
// LAME at 44.1 kHz mono, 64 kbit/s), for the audio benchmarks. Needs espeak-ng, lame
// and, for `loud`, sox on the PATH.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace benchaudio {

// Writes speech.mp3 into `dir` and returns its path, or "" when a tool failed. `loud`
// normalises the speech to a peak of -0.5 dBFS first, as loud speech often is.
inline std::string MakeSpeechMp3(const std::string& dir, bool loud) {
  const std::string txt = dir + "/speech.txt";
  const std::string wav = dir + "/speech.wav";
  const std::string loudWav = dir + "/speech_loud.wav";
  const std::string mp3 = dir + "/speech.mp3";
  {
    std::ofstream out(txt);
    for (int i = 0; i < 5; ++i)
      out << "Tere tulemast. See on kõneleva lugeja katsetekst, mida loetakse ette aeglaselt ja "
             "selgelt, et mõõta, kui palju aega kulub ühe minuti kõne lahtipakkimiseks. ";
  }
  const auto run = [](const std::string& cmd) { return std::system(cmd.c_str()) == 0; };
  if (!run("espeak-ng -v et -s 150 -w '" + wav + "' -f '" + txt + "'")) return "";
  if (loud && !run("sox -q '" + wav + "' '" + loudWav + "' norm -0.5")) return "";
  if (!run("lame --quiet -b 64 --resample 44.1 '" + (loud ? loudWav : wav) + "' '" + mp3 + "'"))
    return "";
  return mp3;
}

}  // namespace benchaudio
