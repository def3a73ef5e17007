// Real synthesis and encoding: the MP3 that the reader gets decodes with libmpg123, has
// the promised format, is long enough, and rates and voices sound different.
#include <gtest/gtest.h>

#include <set>

#include "mp3_encoder.h"
#include "mp3_probe.h"
#include "speech_synth.h"

namespace {

EspeakSynth& synth() {
  static EspeakSynth instance;
  return instance;
}

const std::string kSentence = "Täna on ilus ilm ja päike paistab kogu päeva.";  // 9 words

TEST(SpeechOutputTest, Mp3IsMpeg1Layer3Mono44k64kbit) {
  std::string mp3 = encodeMp3(synth().synthesise(kSentence, 2, 0));
  Mp3Probe p = probeMp3(mp3);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.version, 0);  // MPEG 1
  EXPECT_EQ(p.layer, 3);
  EXPECT_EQ(p.channels, 1);
  EXPECT_EQ(p.rate, 44100);
  EXPECT_EQ(p.bitrate, 64);
  EXPECT_TRUE(p.constantBitrate);
  EXPECT_GT(p.rms, 0.01) << "speech, not silence";
  // 64 kbit/s is 8000 bytes a second.
  EXPECT_NEAR(double(mp3.size()) / 8000.0, p.seconds(), 0.2);
}

TEST(SpeechOutputTest, ShortestSpeechIsPaddedToTheMinimumSize) {
  for (const char* text : {"", ".", "A"}) {
    std::string mp3 = encodeMp3(synth().synthesise(text, 3, 0));
    EXPECT_GE(mp3.size(), kMinSpeechBytes) << '"' << text << '"';
    EXPECT_TRUE(probeMp3(mp3).ok);
  }
  Pcm empty;
  empty.sampleRate = 22050;
  EXPECT_GE(encodeMp3(empty).size(), kMinSpeechBytes);
}

TEST(SpeechOutputTest, LastsAsLongAsTheTextSuggests) {
  // Nine words at the normal rate of 175 words a minute: about three seconds, with room
  // for pauses and the longer Estonian words.
  double seconds = probeMp3(encodeMp3(synth().synthesise(kSentence, 2, 0))).seconds();
  EXPECT_GT(seconds, 1.5);
  EXPECT_LT(seconds, 6.0);
}

TEST(SpeechOutputTest, RatesAreClearlyDifferentSpeeds) {
  double slow = synth().synthesise(kSentence, 1, 0).seconds();
  double normal = synth().synthesise(kSentence, 2, 0).seconds();
  double fast = synth().synthesise(kSentence, 3, 0).seconds();
  EXPECT_GT(slow / normal, 1.2);
  EXPECT_GT(normal / fast, 1.2);
}

TEST(SpeechOutputTest, SixVoicesSoundDifferent) {
  std::set<std::vector<int16_t>> distinct;
  for (int voice = 0; voice < 6; ++voice) {
    Pcm pcm = synth().synthesise("Tere, mina olen sinu lugeja.", 2, voice);
    EXPECT_GT(pcm.seconds(), 0.5) << voice;
    distinct.insert(pcm.samples);
  }
  EXPECT_EQ(distinct.size(), 6u);
}

TEST(SpeechOutputTest, StoppedSynthesisLeavesTheSynthesiserReady) {
  double before = synth().synthesise(kSentence, 2, 3).seconds();
  std::string longText;
  for (int i = 0; i < 20; ++i) longText += kSentence + " ";
  size_t made = 0;
  EXPECT_FALSE(speakMp3(synth(), longText, 2, 0, [&](std::string_view frames) {
    made += frames.size();
    return made < 4000;
  }));
  EXPECT_LT(made, 20000u) << "it stopped near where it was told to";
  // Nothing of the stopped text is left over. (The same text never gives exactly the
  // same samples twice: the synthesiser varies a little from call to call.)
  EXPECT_NEAR(synth().synthesise(kSentence, 2, 3).seconds(), before, 0.1);
}

TEST(SpeechOutputTest, OutOfRangeRateOrVoiceIsRefused) {
  EXPECT_THROW(synth().synthesise("x", 0, 0), SynthError);
  EXPECT_THROW(synth().synthesise("x", 2, 6), SynthError);
}

}  // namespace
