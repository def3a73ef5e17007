// The listening speed: + makes the page's speech and the prompts faster, - slower, from half
// to four times their natural speed in steps of a quarter (keypad + and -, and the main
// keyboard's + and - keys). The keys work at any time: while a page plays or is paused,
// during a prompt, while a page's speech still arrives and while a request runs; only a
// waiting question takes them first, as its answer. Each press clicks as a key without a
// name does, then the new speed is said briefly on the key-name player, at natural speed;
// a press at either end gives the "limit" sound instead and changes nothing. Key names and
// the wave sounds keep their natural speed.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "reader/form1.h"

namespace {

constexpr double kSlowest = 0.5;
constexpr double kFastest = 4;
constexpr double kStep = 0.25;

// The recorded phrase of a speed: "kiirus_150" says 1.5.
std::string SpeedSound(double speed) {
  char name[16];
  std::snprintf(name, sizeof name, "kiirus_%03ld", std::lround(speed * 100));
  return name;
}

}  // namespace

bool TForm1::ChangeListeningSpeed(uint16_t key) {
  int step = 0;
  if (key == vk::kAdd || key == vk::kOemPlus) {
    step = 1;
  } else if (key == vk::kSubtract || key == vk::kOemMinus) {
    step = -1;
  } else {
    return false;
  }
  // On the steps, whatever the speed was given at start.
  const double now =
      std::clamp(std::round(MediaPlayer1.Speed() / kStep) * kStep, kSlowest, kFastest);
  const double next = std::clamp(now + step * kStep, kSlowest, kFastest);
  if (next == now) {
    mangi_res_heli("limit");
    return true;
  }
  ytle_klahvi_nimi(key, false);
  MediaPlayer1.SetSpeed(next);
  MediaPlayer2.SetSpeed(next);
  // Said over whatever plays, as a key name is.
  const std::string sound = SpeedSound(next);
  klahvilugeja.Close();
  salvesta_res_mp3(sound);
  klahvilugeja.FileName = state.workFolder + sound + ".mp3";
  klahvilugeja.Open();
  services_.media->SetDucksOthers(klahvilugeja.DeviceID(), true);
  klahvilugeja.Play();
  if (services_.listeningSpeedChanged) services_.listeningSpeedChanged(next);
  return true;
}
