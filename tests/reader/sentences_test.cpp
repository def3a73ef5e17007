// Sentences: the map a server publishes (and the maps the reader refuses), moving by
// sentence and paragraph with real keys, the mark that follows the speech, and the places
// the user left, continued the next time, also after a restart.
#include <sys/stat.h>

#include <QFile>
#include <QPlainTextEdit>

#include "keyboard/embedded_sounds.h"
#include "reader/places.h"
#include "reader/sentence_map.h"
#include "reader_fixture.h"

namespace {

TEST(SentenceMapTest, AWellFormedMapIsTakenAnythingElseIsNoMap) {
  const std::string good =
      R"({"sentences": [{"start": 0, "end": 900, "from": 0, "to": 5, "paragraph": 0},
                        {"start": 900, "end": 2000, "from": 6, "to": 11, "paragraph": 1}]})";
  const auto map = ParseSentenceMap(good, 11);
  ASSERT_TRUE(map);
  ASSERT_EQ(2u, map->size());
  EXPECT_EQ(900, (*map)[1].start);
  EXPECT_EQ(6, (*map)[1].from);
  EXPECT_EQ(1, (*map)[1].paragraph);

  const auto one = [](const std::string& fields) {
    return R"({"sentences": [{"start": 0, "end": 900, "from": 0, "to": 5, "paragraph": 0}, {)" +
           fields + "}]}";
  };
  const struct {
    const char* name;
    std::string body;
  } bad[] = {
      {"the text of a server that does not know w=2", "0 Peamenüü\n1\tUudised\n"},
      {"an error page", "<html><body>404</body></html>"},
      {"no sentence", R"({"sentences": []})"},
      {"not a list", R"({"sentences": {"start": 0}})"},
      {"a field missing", one(R"("start": 900, "end": 1000, "from": 6, "to": 9)")},
      {"a number in quotes",
       one(R"("start": "900", "end": 1000, "from": 6, "to": 9, "paragraph": 0)")},
      {"a fraction", one(R"("start": 900.5, "end": 1000, "from": 6, "to": 9, "paragraph": 0)")},
      {"a negative time", one(R"("start": -1, "end": 1000, "from": 6, "to": 9, "paragraph": 0)")},
      {"times out of order",
       one(R"("start": 800, "end": 1000, "from": 6, "to": 9, "paragraph": 0)")},
      {"an end before its start",
       one(R"("start": 950, "end": 940, "from": 6, "to": 9, "paragraph": 0)")},
      {"characters overlapping",
       one(R"("start": 900, "end": 1000, "from": 4, "to": 9, "paragraph": 0)")},
      {"characters beyond the text",
       one(R"("start": 900, "end": 1000, "from": 6, "to": 12, "paragraph": 0)")},
      {"an empty sentence",
       one(R"("start": 900, "end": 1000, "from": 6, "to": 6, "paragraph": 0)")},
      {"paragraphs going back",
       R"({"sentences": [{"start": 0, "end": 9, "from": 0, "to": 5, "paragraph": 1},
                                   {"start": 9, "end": 20, "from": 6, "to": 9, "paragraph": 0}]})"},
      {"a number past 32 bits",
       one(R"("start": 9e12, "end": 9e12, "from": 6, "to": 9, "paragraph": 0)")},
  };
  for (const auto& b : bad) EXPECT_FALSE(ParseSentenceMap(b.body, 11)) << b.name;

  EXPECT_TRUE(MapFitsSpeech(*map, 2000));
  EXPECT_FALSE(MapFitsSpeech(*map, 1999)) << "times beyond the speech";
  EXPECT_EQ(0u, SentenceAt(*map, 899));
  EXPECT_EQ(1u, SentenceAt(*map, 900));
}

TEST(SentenceMapTest, CharactersAreFoundWhereTheTextAreaShowsThem) {
  // Code points, not UTF-16 units; CR LF is one line end; U+1D11E takes two units.
  const QString text = QString::fromUtf8(
      "ab\r\nc\xF0\x9D\x84\x9E"
      "d\ne");
  const TextSpots spots(text);
  EXPECT_EQ(9, spots.Characters());
  const struct {
    int64_t character;
    int block;
    qsizetype column;
  } cases[] = {{0, 0, 0}, {1, 0, 1}, {4, 1, 0}, {5, 1, 1}, {6, 1, 3}, {8, 2, 0}, {9, 2, 1}};
  for (const auto& c : cases) {
    const TextSpot spot = spots.Spot(c.character);
    EXPECT_EQ(c.block, spot.block) << c.character;
    EXPECT_EQ(c.column, spot.column) << c.character;
  }
}

TEST(PlaceBookTest, PlacesAreKeptPrivatelyAcrossRunsTheOldestGoesFirst) {
  QTemporaryDir dir;
  const std::string path = dir.path().toStdString() + "/state/talking-reader/places";
  {
    PlaceBook book(path);
    for (int i = 0; i < static_cast<int>(PlaceBook::kMostPlaces) + 2; ++i) {
      book.Remember({"h:1", "0" + std::to_string(i), "t", i, i * 10, "2", "0", 0});
    }
  }
  PlaceBook again(path);
  EXPECT_FALSE(again.Find("h:1", "00")) << "the oldest went first";
  EXPECT_FALSE(again.Find("h:1", "01"));
  ASSERT_TRUE(again.Find("h:1", "02"));
  EXPECT_EQ(20, again.Find("h:1", "02")->ms);
  EXPECT_EQ("0" + std::to_string(PlaceBook::kMostPlaces + 1), again.Last("h:1")->page);
  EXPECT_FALSE(again.Last("other:1"));
  struct stat st {};
  ASSERT_EQ(0, ::stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  ASSERT_EQ(0, ::stat((dir.path().toStdString() + "/state/talking-reader").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
}

// A page of two paragraphs: three sentences in the first line, two in the second.
class SentencesTest : public ReaderFixture {
 protected:
  void SetUp() override {
    ReaderFixture::SetUp();
    pages["012"] = "Üks. Kaks. Kolm.\nNeli. Viis.";
    map = R"({"sentences": [
      {"start": 0, "end": 10000, "from": 0, "to": 4, "paragraph": 0},
      {"start": 10000, "end": 20000, "from": 5, "to": 10, "paragraph": 0},
      {"start": 20000, "end": 30000, "from": 11, "to": 16, "paragraph": 0},
      {"start": 30000, "end": 40000, "from": 17, "to": 22, "paragraph": 1},
      {"start": 40000, "end": 50000, "from": 23, "to": 28, "paragraph": 1}]})";
    script = [this](const ScriptedRequest& r) -> ScriptedResponse {
      if (r.query.count("w") && r.query.at("w") == "2") {
        if (map.empty()) return {404, "Lehekülge ei leitud"};
        return {200, map, "application/json"};
      }
      return PageAnswer(r);
    };
  }
  // Reads page 012 and waits for its map (or for the server's answer that there is none).
  void Read012() {
    const size_t maps = server->MapPages().size();
    form->state.pagePath = "012";
    form->state.lastPagePath = "-";
    form->FormActivate();
    ASSERT_TRUE(WaitForPageSpeech());
    ASSERT_TRUE(WaitUntil(
        [&] { return server->MapPages().size() > maps && !form->HttpClient3.Running(); }));
  }
  // Home, and the main menu read through the end of the page it stopped.
  void HomeAndWait() {
    SendKey(form->Memo1, Qt::Key_Home);
    ASSERT_TRUE(WaitUntil([this] {
      return form->state.lastPagePath == "0" && MemoText().startsWith("0 Avaleht") &&
             !form->state.requestBusy;
    }));
    ASSERT_TRUE(WaitForPageSpeech());
  }
  int32_t Position() { return media.PositionOf(form->MediaPlayer1.DeviceID()); }
  void SetPosition(uint32_t ms) { media.devices[form->MediaPlayer1.DeviceID()].position = ms; }
  int WavesOf(const char* name) const {
    const char* image = EmbeddedSounds::Find(SoundKind::Wave, name).constData();
    return static_cast<int>(std::count_if(media.waves.begin(), media.waves.end(),
                                          [image](const auto& w) { return w.image == image; }));
  }
  QString Marked() const {
    const auto marks = form->Memo1->extraSelections();
    return marks.isEmpty() ? QString() : marks.first().cursor.selectedText();
  }

  std::string map;
};

TEST_F(SentencesTest, TheFourKeysMoveBySentenceAndParagraphAndSayWhenTheyCannot) {
  Read012();
  const struct {
    int key;
    uint32_t from;  // ms
    int32_t to;     // -1: stays, with the "not here" sound
  } cases[] = {
      {Qt::Key_Down, 0, 10000},        {Qt::Key_Down, 12000, 20000},
      {Qt::Key_Up, 21000, 10000},  // within 1.5 s: the one before
      {Qt::Key_Up, 25000, 20000},  // later: this one again
      {Qt::Key_Up, 500, -1},       // the first, within 1.5 s: nothing before it
      {Qt::Key_Down, 45000, -1},   // the last: nothing after it
      {Qt::Key_PageDown, 5000, 30000}, {Qt::Key_PageDown, 35000, -1},
      {Qt::Key_PageUp, 31000, 0},      // within 1.5 s of the paragraph: the one before
      {Qt::Key_PageUp, 45000, 30000},  // later: this one's start
  };
  for (const auto& c : cases) {
    SetPosition(c.from);
    const int notHere = WavesOf("not_here");
    const int clicks = WavesOf("click");
    SendKey(form->Memo1, c.key);
    EXPECT_EQ(clicks + 1, WavesOf("click")) << c.key << " at " << c.from << ": the key's click";
    if (c.to < 0) {
      EXPECT_EQ(notHere + 1, WavesOf("not_here")) << c.key << " at " << c.from;
      EXPECT_EQ(static_cast<int32_t>(c.from), Position());
    } else {
      EXPECT_EQ(c.to, Position()) << c.key << " at " << c.from;
      EXPECT_TRUE(media.IsPlaying("bod.mp3"));
    }
  }
  // A paused page moves too, and plays from the sentence it moved to.
  SetPosition(3000);
  SendKey(form->Memo1, Qt::Key_Space, " ");
  SendKey(form->Memo1, Qt::Key_Down);
  EXPECT_EQ(10000, Position());
  EXPECT_TRUE(media.IsPlaying("bod.mp3"));

  // Without a map (the server does not know w=2) every one of them is "not here".
  map.clear();
  Read012();
  SetPosition(12000);
  for (int key : {Qt::Key_Down, Qt::Key_Up, Qt::Key_PageDown, Qt::Key_PageUp}) {
    const int notHere = WavesOf("not_here");
    SendKey(form->Memo1, key);
    EXPECT_EQ(notHere + 1, WavesOf("not_here")) << key;
    EXPECT_EQ(12000, Position());
  }
}

TEST_F(SentencesTest, TheMarkFollowsTheSentenceBeingSpoken) {
  Read012();
  EXPECT_EQ(QStringLiteral("Üks."), Marked());
  SetPosition(20500);  // the speech goes on
  EXPECT_TRUE(WaitUntil([this] { return Marked() == QStringLiteral("Kolm."); }));
  SetPosition(41000);
  EXPECT_TRUE(WaitUntil([this] { return Marked() == QStringLiteral("Viis."); }));
  // The caret is where the mark is, for a magnifier or a braille display.
  EXPECT_EQ(23, form->Memo1->textCursor().position());
  // A map that reaches past the speech's end is no map: no mark.
  media.SetLength("bod.mp3", 45000);
  Read012();
  EXPECT_TRUE(Marked().isEmpty());
}

TEST_F(SentencesTest, ALeftPageContinuesWhereItWasLeftAlsoAfterARestart) {
  Read012();
  SetPosition(25000);  // in "Kolm."
  SendKey(form->Memo1, Qt::Key_Backspace);
  ASSERT_EQ("01", form->state.pagePath);

  // Read again, and read again after a restart: it goes on at "Kolm." with its sound.
  for (bool restart : {false, true}) {
    if (restart) {
      CreateForm();
      OpenRoot();
    }
    const int continuing = WavesOf("continuing");
    Read012();
    EXPECT_EQ(continuing + 1, WavesOf("continuing")) << restart;
    EXPECT_EQ(20000, Position()) << restart;
    EXPECT_EQ(QStringLiteral("Kolm."), Marked());
    HomeAndWait();
  }

  // End goes to the page left last and continues it.
  SendKey(form->Memo1, Qt::Key_End);
  ASSERT_TRUE(WaitUntil([this] { return !form->HttpClient3.Running() && Position() == 20000; }));
  EXPECT_EQ("012", form->state.pagePath);

  // Heard to its end, it is forgotten: read again, it starts at its beginning.
  media.EndPlayback(form->MediaPlayer1.DeviceID());
  ProcessEvents();
  const int continuing = WavesOf("continuing");
  Read012();
  EXPECT_EQ(continuing, WavesOf("continuing"));
  EXPECT_EQ(0, Position());
}

TEST_F(SentencesTest, APageWhoseTextChangedStartsFromItsBeginning) {
  Read012();
  SetPosition(35000);
  SendKey(form->Memo1, Qt::Key_Backspace);
  pages["012"] = "Üks. Kaks. Kolm. Uus lause.\nNeli. Viis.";
  const int continuing = WavesOf("continuing");
  map.clear();
  Read012();
  EXPECT_EQ(continuing, WavesOf("continuing"));
  EXPECT_EQ(0, Position());
  SendKey(form->Memo1, Qt::Key_End);
  EXPECT_EQ("012", form->state.pagePath) << "nothing left to continue";
}

TEST_F(SentencesTest, APageWithoutAMapContinuesFiveSecondsBeforeWhereItWasLeft) {
  map.clear();
  Read012();
  SetPosition(25000);
  HomeAndWait();
  Read012();
  EXPECT_EQ(20000, Position());
}

}  // namespace
