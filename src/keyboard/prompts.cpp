// Spoken prompts, help and key names: the echo of every key, and the prompt player that
// interrupts the page, plays a prompt or help page on MediaPlayer2, waits for it while
// the window keeps handling events, and resumes the page where it was.
#include "reader/form1.h"
#include "reader/trace.h"

namespace {

const char* KeyName(uint16_t key) {
  static constexpr const char* kDigits[] = {"vk_0", "vk_1", "vk_2", "vk_3", "vk_4",
                                            "vk_5", "vk_6", "vk_7", "vk_8", "vk_9"};
  switch (key) {
    case vk::kBack:
      return "vk_back";
    case vk::kReturn:
      return "vk_return";
    case vk::kEscape:
      return "vk_escape";
    case vk::kSpace:
      return "vk_space";
    case vk::kLeft:
      return "vk_left";
    case vk::kRight:
      return "vk_right";
    default:
      if (key >= vk::k0 && key <= vk::k0 + 9) return kDigits[key - vk::k0];
      return nullptr;
  }
}

bool IsQuestionPage(const std::string& page) {
  return page == "1kysiparooli.txt" || page == "1lopetamine.txt" || page == "1muudakiirust.txt" ||
         page == "1muudahaalt.txt" || page == "1ekraanilugeja.txt";
}

// The prompt pages answered from the embedded sounds instead of the server; nullptr for
// any other page.
const char* BuiltInSound(const std::string& page) {
  if (page == "1kysiparooli.txt") return "tx_kasutajatunnus";
  if (page == "1vorbu.txt") return "tx_kasutusjuhend";
  // Asked before the first page, so it must not depend on the server.
  if (page == "1ekraanilugeja.txt") return "tx_ekraanilugeja";
  return nullptr;
}

}  // namespace

void TForm1::ytle_klahvi_nimi(uint16_t key, bool force) {
  if (!force && services_.keyboard->GetKeyState(vk::kScroll) != state.scrollLockReference) return;
  const char* name = KeyName(key);
  if (name == nullptr) {
    mangi_res_heli("click");
    return;
  }
  klahvilugeja.Close();
  salvesta_res_mp3(name);
  klahvilugeja.FileName = state.workFolder + name + ".mp3";
  klahvilugeja.Open();
  // The page and the prompt step back while a key's name is said.
  services_.media->SetDucksOthers(klahvilugeja.DeviceID(), true);
  klahvilugeja.Play();
}

void TForm1::tomba_loe_abi(const std::string& page) {
  const bool rememberedAnswerWait = state.answerWait;
  // A prompt started inside another prompt's wait finds the page player closed by the
  // outer one: the outer prompt's saved position stands and the outer prompt resumes.
  const bool outermost = promptDepth_ == 0;
  const bool resumePage = outermost && MediaPlayer1.DeviceID() != 0;
  const std::string pagePath = state.pagePath;
  const uint64_t pageSpeech = pageSpeechSerial_;
  if (outermost) state.savedPagePosition = state.menuPage ? 0 : MediaPlayer1.Position();
  ++promptDepth_;
  struct DepthGuard {
    int& depth;
    ~DepthGuard() { --depth; }
  } depthGuard{promptDepth_};

  MediaPlayer1.Close();
  MediaPlayer2.Close();

  if (const char* builtIn = BuiltInSound(page)) {
    const std::string sound = builtIn;
    salvesta_res_mp3(sound);
    OpenAndPlay(MediaPlayer2, state.workFolder + sound + ".mp3");
  } else if (tomba(page, "hdr_abi.txt", "bdy_abi.mp3", true) > 0) {
    // Speech that cannot be played is reported by the spoken speech error, which then
    // plays in its place.
    PlaySpeech(MediaPlayer2, "bdy_abi.mp3");
  } else if (lastOutcome_ == RequestOutcome::kUnreachable) {
    // The spoken connection error is already playing on MediaPlayer2; an old
    // "bdy_abi.mp3" must not be spoken over it. Let it play to its end.
  } else if (lastOutcome_ == RequestOutcome::kUnusable) {
    mangi_res_mp3("tx_synteesiviga");
  } else {
    OpenAndPlay(MediaPlayer2, state.fallbackSoundPath);
  }

  Trace("prompt " + page + " plays");
  WaitWhile(
      [&] { return MediaPlayer2.Mode() == mpPlaying && state.answerWait == rememberedAnswerWait; });
  MediaPlayer2.Close();
  Trace("prompt " + page + " ends");

  // Quitting speaks nothing more; a question follows a question page.
  if (Quitting() || IsQuestionPage(page) || !outermost) return;
  if (state.pagePath != pagePath) {
    // The user went elsewhere during the prompt (Home, Backspace): the old page is not
    // resumed; the page at the page path is read, unless that has begun already.
    if (MediaPlayer1.DeviceID() == 0) FormActivate();
    return;
  }
  // A page whose speech failed meanwhile (or was replaced) is not resumed: its failure has
  // been heard, and the reminders fetch it again.
  if (!resumePage || pageSpeechSerial_ != pageSpeech) return;
  MediaPlayer1.Open();
  MediaPlayer1.SetPosition(state.savedPagePosition);
  MediaPlayer1.SetNotify(true);
  MediaPlayer1.Play();
  UpdateMark();
}
