// The embedded sounds as the reader meets them: looked up by name in any letter case, the
// images linked into this test executable through the static resource library, every MP3
// phrase a clean MPEG-1 Layer III 44.1 kHz mono 64 kbit/s stream that decodes to speech,
// and the wave images with the headers the players rely on.
#include "keyboard/embedded_sounds.h"

#include <gtest/gtest.h>
#include <mpg123.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

uint32_t Le(const QByteArray& data, qsizetype at, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(data[at + i]);
  return value;
}

// A RIFF wave split into its chunks: "fmt " and "data" at least.
struct Wave {
  std::map<std::string, QByteArray> chunks;
  uint16_t FormatTag() const { return Le(chunks.at("fmt "), 0, 2); }
  uint16_t Channels() const { return Le(chunks.at("fmt "), 2, 2); }
  uint32_t Rate() const { return Le(chunks.at("fmt "), 4, 4); }
  uint16_t Bits() const { return Le(chunks.at("fmt "), 14, 2); }
};

// Fails the test unless the image is a well-formed RIFF WAVE whose chunks fill it exactly.
Wave ParseWave(const QByteArray& image) {
  Wave wave;
  EXPECT_GE(image.size(), 12);
  if (image.size() < 12) return wave;
  EXPECT_EQ(image.left(4), "RIFF");
  EXPECT_EQ(image.mid(8, 4), "WAVE");
  EXPECT_EQ(Le(image, 4, 4), static_cast<uint32_t>(image.size() - 8));
  qsizetype at = 12;
  while (at + 8 <= image.size()) {
    const uint32_t size = Le(image, at + 4, 4);
    EXPECT_LE(at + 8 + static_cast<qsizetype>(size), image.size());
    wave.chunks[image.mid(at, 4).toStdString()] = image.mid(at + 8, size);
    at += 8 + size + (size & 1);
  }
  EXPECT_EQ(at, image.size());
  EXPECT_TRUE(wave.chunks.count("fmt ") && wave.chunks.count("data"));
  return wave;
}

struct Decoded {
  long rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;
  double Seconds() const { return rate ? static_cast<double>(samples.size()) / rate : 0; }
  int Peak() const {
    int peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
    return peak;
  }
};

// Decodes a whole MP3 image with libmpg123, as the media player will.
Decoded DecodeMp3(const QByteArray& image) {
  Decoded out;
  mpg123_handle* mh = mpg123_new(nullptr, nullptr);
  EXPECT_NE(mh, nullptr);
  if (mh == nullptr) return out;
  mpg123_format_none(mh);
  for (long rate : {11025L, 44100L}) {
    mpg123_format(mh, rate, MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
  }
  EXPECT_EQ(mpg123_open_feed(mh), MPG123_OK);
  EXPECT_EQ(
      mpg123_feed(mh, reinterpret_cast<const unsigned char*>(image.constData()), image.size()),
      MPG123_OK);
  std::vector<unsigned char> buffer(16384);
  for (;;) {
    size_t done = 0;
    const int rc = mpg123_read(mh, buffer.data(), buffer.size(), &done);
    const auto* pcm = reinterpret_cast<const int16_t*>(buffer.data());
    out.samples.insert(out.samples.end(), pcm, pcm + done / 2);
    if (rc == MPG123_NEW_FORMAT) {
      int encoding = 0;
      mpg123_getformat(mh, &out.rate, &out.channels, &encoding);
    } else if (rc != MPG123_OK) {
      EXPECT_TRUE(rc == MPG123_NEED_MORE || rc == MPG123_DONE) << mpg123_plain_strerror(rc);
      break;
    }
  }
  mpg123_delete(mh);
  return out;
}

struct FrameWalk {
  int frames = 0;
  std::string fault;  // empty when every frame is MPEG-1 Layer III, 64 kbit/s, 44.1 kHz, mono
};

// Walks the MP3 stream frame by frame from its first byte to its last: no tags, no gaps.
FrameWalk WalkFrames(const QByteArray& mp3) {
  FrameWalk walk;
  qsizetype at = 0;
  const qsizetype end = mp3.size();
  while (at < end) {
    if (end - at < 4) {
      walk.fault = "truncated header at " + std::to_string(at);
      return walk;
    }
    const uint32_t h = static_cast<uint32_t>(Le(mp3, at, 1)) << 24 | Le(mp3, at + 1, 1) << 16 |
                       Le(mp3, at + 2, 1) << 8 | Le(mp3, at + 3, 1);
    const bool sync = (h >> 21) == 0x7ff;
    const bool mpeg1 = ((h >> 19) & 3) == 3;
    const bool layer3 = ((h >> 17) & 3) == 1;
    const bool kbit64 = ((h >> 12) & 15) == 5;
    const bool hz44100 = ((h >> 10) & 3) == 0;
    const bool mono = ((h >> 6) & 3) == 3;
    if (!(sync && mpeg1 && layer3 && kbit64 && hz44100 && mono)) {
      walk.fault = "unexpected frame header at " + std::to_string(at);
      return walk;
    }
    const qsizetype length = 144 * 64000 / 44100 + ((h >> 9) & 1);
    if (at + length > end) {
      walk.fault = "truncated frame at " + std::to_string(at);
      return walk;
    }
    at += length;
    ++walk.frames;
  }
  return walk;
}

// Every MP3 sound the reader carries.
// clang-format off
const char* const kMp3Names[] = {
    "KIIRUS_050", "KIIRUS_075", "KIIRUS_100", "KIIRUS_125", "KIIRUS_150", "KIIRUS_175",
    "KIIRUS_200", "KIIRUS_225", "KIIRUS_250", "KIIRUS_275", "KIIRUS_300", "KIIRUS_325",
    "KIIRUS_350", "KIIRUS_375", "KIIRUS_400",
    "TX_EKRAANILUGEJA", "TX_KASUTAJATUNNUS", "TX_KASUTUSJUHEND", "TX_KOODIVIGA", "TX_LOGIMISVIGA",
    "TX_SYNTEESIVIGA", "TX_VAIGISTAN", "TX_VAIGISTUSVIGA", "TX_VASTUSEVIGA", "TX_YHENDUSVIGA",
    "VK_0", "VK_1", "VK_2", "VK_3", "VK_4", "VK_5", "VK_6", "VK_7", "VK_8", "VK_9",
    "VK_BACK", "VK_ESCAPE", "VK_F11", "VK_F12", "VK_F9", "VK_LEFT", "VK_RETURN", "VK_RIGHT",
    "VK_SPACE"};
// clang-format on

// How long a sound's speech should last, in seconds: a key name or a listening speed is
// short, a message a sentence or two, the manual a few minutes.
std::pair<double, double> ExpectedSeconds(const std::string& name) {
  if (name == "TX_KASUTUSJUHEND") return {120, 300};
  if (name.rfind("VK_", 0) == 0 || name.rfind("KIIRUS_", 0) == 0) return {0.2, 2};
  return {0.8, 8};
}

}  // namespace

TEST(EmbeddedSoundsTest, NamesListExactlyTheSoundsOfEachKind) {
  EXPECT_EQ(EmbeddedSounds::Names(SoundKind::Mp3),
            std::vector<std::string>(std::begin(kMp3Names), std::end(kMp3Names)));
  EXPECT_EQ(EmbeddedSounds::Names(SoundKind::Wave),
            (std::vector<std::string>{"BOING", "BUSY", "CLICK", "CONTINUING", "DING", "LIMIT",
                                      "NAMES_OFF", "NAMES_ON", "NOT_HERE", "TICK", "TX_TEKKISVIGA",
                                      "UP"}));
}

TEST(EmbeddedSoundsTest, LookUpIgnoresLetterCase) {
  const struct {
    SoundKind kind;
    const char* name;
    const char* canonical;
  } cases[] = {
      {SoundKind::Wave, "click", "CLICK"},
      {SoundKind::Wave, "Click", "CLICK"},
      {SoundKind::Wave, "ding", "DING"},
      {SoundKind::Wave, "bOiNg", "BOING"},
      {SoundKind::Mp3, "vk_back", "VK_BACK"},
      {SoundKind::Mp3, "Vk_F9", "VK_F9"},
      {SoundKind::Mp3, "tx_kasutajatunnus", "TX_KASUTAJATUNNUS"},
      {SoundKind::Mp3, "tx_yhendusviga", "TX_YHENDUSVIGA"},
  };
  for (const auto& c : cases) {
    const QByteArray found = EmbeddedSounds::Find(c.kind, c.name);
    EXPECT_FALSE(found.isEmpty()) << c.name;
    EXPECT_EQ(found, EmbeddedSounds::Find(c.kind, c.canonical)) << c.name;
  }
  // Each sound is a different recording.
  EXPECT_NE(EmbeddedSounds::Find(SoundKind::Mp3, "vk_1"),
            EmbeddedSounds::Find(SoundKind::Mp3, "vk_7"));
}

TEST(EmbeddedSoundsTest, UnknownOrMalformedNamesFindNothing) {
  const struct {
    SoundKind kind;
    const char* name;
  } cases[] = {
      {SoundKind::Wave, "vk_0"},          // an MP3 sound asked for as a wave
      {SoundKind::Mp3, "click"},          // and the other way round
      {SoundKind::Mp3, "vk_f10"},         // a key without a recorded name
      {SoundKind::Mp3, "bdy_abi"},        // a downloaded file, not an embedded sound
      {SoundKind::Wave, ""},              //
      {SoundKind::Wave, "click.wav"},     // the name, not the file name
      {SoundKind::Wave, "click "},        //
      {SoundKind::Mp3, "../wave/click"},  // no way out of the kind's folder
      {SoundKind::Wave, "/tr_sounds/wave/click"},
      {SoundKind::Mp3, "vk_\xc3\xa4"},  // non-ASCII
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(EmbeddedSounds::Find(c.kind, c.name).isEmpty()) << c.name;
  }
  EXPECT_TRUE(EmbeddedSounds::Find(SoundKind::Mp3, std::string("vk_1\0", 5)).isEmpty());
}

TEST(EmbeddedSoundsTest, DataPointsIntoTheExecutableWithoutCopies) {
  const QByteArray first = EmbeddedSounds::Find(SoundKind::Mp3, "tx_kasutusjuhend");
  const QByteArray second = EmbeddedSounds::Find(SoundKind::Mp3, "TX_KASUTUSJUHEND");
  ASSERT_FALSE(first.isEmpty());
  EXPECT_EQ(first.constData(), second.constData());
}

TEST(EmbeddedSoundsTest, EveryMp3IsMpeg1Layer3At64kbit44kHzMonoAndDecodesToSpeech) {
  for (const char* name : kMp3Names) {
    SCOPED_TRACE(name);
    const QByteArray mp3 = EmbeddedSounds::Find(SoundKind::Mp3, name);
    ASSERT_FALSE(mp3.isEmpty());
    const FrameWalk walk = WalkFrames(mp3);
    EXPECT_EQ(walk.fault, "");
    EXPECT_GT(walk.frames, 5);

    const Decoded decoded = DecodeMp3(mp3);
    EXPECT_EQ(decoded.rate, 44100);
    EXPECT_EQ(decoded.channels, 1);
    const auto [min_seconds, max_seconds] = ExpectedSeconds(name);
    EXPECT_GE(decoded.Seconds(), min_seconds);
    EXPECT_LE(decoded.Seconds(), max_seconds);
    EXPECT_GT(decoded.Peak(), 8000);  // normalised speech, not silence
  }
}

TEST(EmbeddedSoundsTest, ClickIs8BitMono22050HzPcmOf1918Bytes) {
  const Wave wave = ParseWave(EmbeddedSounds::Find(SoundKind::Wave, "click"));
  ASSERT_TRUE(wave.chunks.count("fmt ") && wave.chunks.count("data"));
  EXPECT_EQ(wave.FormatTag(), 1);
  EXPECT_EQ(wave.Channels(), 1);
  EXPECT_EQ(wave.Rate(), 22050u);
  EXPECT_EQ(wave.Bits(), 8);
  const QByteArray& data = wave.chunks.at("data");
  ASSERT_EQ(data.size(), 1918);
  // 8-bit samples are unsigned around 128; the click must be audible.
  int peak = 0;
  for (char c : data) peak = std::max(peak, std::abs(static_cast<uint8_t>(c) - 128));
  EXPECT_GT(peak, 60);
}

TEST(EmbeddedSoundsTest, BoingIsMpegLayer3InAWaveAt11025HzMono) {
  const Wave wave = ParseWave(EmbeddedSounds::Find(SoundKind::Wave, "boing"));
  ASSERT_TRUE(wave.chunks.count("fmt ") && wave.chunks.count("data"));
  EXPECT_EQ(wave.FormatTag(), 85);
  EXPECT_EQ(wave.Channels(), 1);
  EXPECT_EQ(wave.Rate(), 11025u);
  const QByteArray& fmt = wave.chunks.at("fmt ");
  ASSERT_EQ(fmt.size(), 30);  // WAVEFORMATEX plus the 12 bytes of MPEGLAYER3WAVEFORMAT
  EXPECT_EQ(Le(fmt, 16, 2), 12u);
  EXPECT_EQ(Le(fmt, 18, 2), 1u);  // MPEG id

  const Decoded decoded = DecodeMp3(wave.chunks.at("data"));
  EXPECT_EQ(decoded.rate, 11025);
  EXPECT_EQ(decoded.channels, 1);
  EXPECT_GT(decoded.Seconds(), 0.3);
  EXPECT_GT(decoded.Peak(), 8000);
}

TEST(EmbeddedSoundsTest, DingIsShort16BitMonoPcm) {
  const Wave wave = ParseWave(EmbeddedSounds::Find(SoundKind::Wave, "ding"));
  ASSERT_TRUE(wave.chunks.count("fmt ") && wave.chunks.count("data"));
  EXPECT_EQ(wave.FormatTag(), 1);
  EXPECT_EQ(wave.Channels(), 1);
  EXPECT_EQ(wave.Bits(), 16);
  const QByteArray& data = wave.chunks.at("data");
  const double seconds = static_cast<double>(data.size()) / 2 / wave.Rate();
  EXPECT_GT(seconds, 0.2);
  EXPECT_LT(seconds, 1.0);
  int peak = 0;
  for (qsizetype i = 0; i + 1 < data.size(); i += 2) {
    peak = std::max(peak, std::abs(static_cast<int16_t>(Le(data, i, 2))));
  }
  EXPECT_GT(peak, 8000);
}
