// The server's pure parts: query parsing, page names, access check, texts, encodings and
// command-line options.
#include <gtest/gtest.h>

#include <cctype>
#include <ostream>

#include "access_check.h"
#include "page_name.h"
#include "sentence_map.h"
#include "server_options.h"
#include "server_texts.h"
#include "text_encoding.h"
#include "tx_query.h"

namespace {

// A test name made of a text: letters and digits kept, "=" dropped, every other run of
// characters one underscore (test names allow nothing else), at most 32 characters.
std::string nameOf(std::string_view text) {
  std::string name;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (c != '=' && (name.empty() || name.back() != '_'))
      name += '_';
  }
  if (name.size() > 32) name.resize(32);
  return name.empty() ? "empty" : name;
}

// Names the rows of a table by a text of each, e.g. Table/PageNameTest.Classifies/q0_txt,
// adding the row's number only where two rows would have the same name.
template <typename Case, size_t N, typename Text>
auto rowNames(const Case (&table)[N], Text text) {
  return [&table, text](const ::testing::TestParamInfo<Case>& info) {
    std::string name = nameOf(text(info.param));
    for (size_t i = 0; i < N; ++i)
      if (i != info.index && nameOf(text(table[i])) == name)
        return name + "_" + std::to_string(info.index);
    return name;
  };
}

struct QueryCase {
  const char* target;
  QueryProblem problem;
  const char* problemKey;
  bool speech;
};

void PrintTo(const QueryCase& c, std::ostream* os) {
  *os << c.target;
}

std::string_view queryOf(std::string_view target) {
  auto mark = target.find('?');
  return mark == std::string_view::npos ? "" : target.substr(mark + 1);
}

class TxQueryTest : public ::testing::TestWithParam<QueryCase> {};

TEST_P(TxQueryTest, ReportsTheFirstProblemAndTheSpeechFlag) {
  const QueryCase& c = GetParam();
  TxQuery q = parseTxQuery(c.target);
  EXPECT_EQ(q.problem, c.problem) << c.target;
  if (c.problem != QueryProblem::None) {
    EXPECT_EQ(q.problemKey, c.problemKey) << c.target;
  }
  EXPECT_EQ(q.speech, c.speech) << c.target;
}

const QueryCase kQueryCases[] = {
    {"/cgi-bin/tx.cgi?s=2&v=0&q=012&ID=4711&w=1", QueryProblem::None, "", true},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=012&ID=4711", QueryProblem::None, "", false},
    {"/cgi-bin/tx.cgi?w=1&ID=1&q=0&v=5&s=3", QueryProblem::None, "", true},
    // The reader sends no ID when it could not draw one.
    {"/cgi-bin/tx.cgi?s=1&v=0&q=0", QueryProblem::None, "", false},
    {"/cgi-bin/tx.cgi?s=4&v=0&q=0&ID=1", QueryProblem::BadRate, "s", false},
    {"/cgi-bin/tx.cgi?s=0&v=0&q=0&ID=1&w=1", QueryProblem::BadRate, "s", true},
    {"/cgi-bin/tx.cgi?s=22&v=0&q=0&ID=1", QueryProblem::BadRate, "s", false},
    {"/cgi-bin/tx.cgi?s=&v=0&q=0&ID=1", QueryProblem::BadRate, "s", false},
    {"/cgi-bin/tx.cgi?s=2&v=6&q=0&ID=1", QueryProblem::BadVoice, "v", false},
    {"/cgi-bin/tx.cgi?s=2&v=-1&q=0&ID=1&w=1", QueryProblem::BadVoice, "v", true},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&ID=1&w=2", QueryProblem::None, "", true},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&ID=1&w=3", QueryProblem::BadSpeechFlag, "w", false},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&ID=1&w", QueryProblem::BadSpeechFlag, "w", false},
    {"/cgi-bin/tx.cgi?v=0&q=0&ID=1", QueryProblem::MissingKey, "s", false},
    {"/cgi-bin/tx.cgi?s=2&q=0&ID=1&w=1", QueryProblem::MissingKey, "v", true},
    {"/cgi-bin/tx.cgi?s=2&v=0&ID=1", QueryProblem::MissingKey, "q", false},
    {"/cgi-bin/tx.cgi", QueryProblem::MissingKey, "s", false},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&ID=x1", QueryProblem::BadId, "ID", false},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&id=1", QueryProblem::UnknownKey, "id", false},
    {"/cgi-bin/tx.cgi?s=2&v=0&q=0&ID=1&x=1&w=1", QueryProblem::UnknownKey, "x", true},
    {"/cgi-bin/tx.cgi?s=2&s=3&v=0&q=0", QueryProblem::DuplicateKey, "s", false},
};

INSTANTIATE_TEST_SUITE_P(Table, TxQueryTest, ::testing::ValuesIn(kQueryCases),
                         rowNames(kQueryCases,
                                  [](const QueryCase& c) { return queryOf(c.target); }));

TEST(TxQueryTest, ValuesAreTakenUnescaped) {
  TxQuery q = parseTxQuery("/cgi-bin/tx.cgi?s=3&v=5&q=9.k2.s1.n1.v20080619&ID=0&w=1");
  EXPECT_EQ(q.problem, QueryProblem::None);
  EXPECT_EQ(q.page, "9.k2.s1.n1.v20080619");
  EXPECT_EQ(q.rate, "3");
  EXPECT_EQ(q.voice, "5");
  EXPECT_EQ(parseTxQuery("/x?s=1&v=0&q=%2e%2e&ID=1").page, "%2e%2e");
}

TEST(TxQueryTest, ABadRateOrVoiceFallsBackSoTheErrorCanBeSpoken) {
  TxQuery q = parseTxQuery("/cgi-bin/tx.cgi?s=9&v=3&q=0&w=1");
  EXPECT_EQ(q.rate, "2");
  EXPECT_EQ(q.voice, "3");
}

struct NameCase {
  const char* q;
  PageKind kind;
};

void PrintTo(const NameCase& c, std::ostream* os) {
  *os << '"' << c.q << '"';
}

class PageNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(PageNameTest, Classifies) {
  EXPECT_EQ(classifyPageName(GetParam().q).kind, GetParam().kind) << GetParam().q;
}

const NameCase kNameCases[] = {
    {"0", PageKind::Path},
    {"0123", PageKind::Path},
    {"01A", PageKind::Path},
    {"1kellaaeg.txt", PageKind::Clock},
    {"1lopetamine.txt", PageKind::QuitQuestion},
    {"1muudakiirust.txt", PageKind::RateQuestion},
    {"1muudahaalt.txt", PageKind::VoiceQuestion},
    {"9.k2.s1.n1.v20080619", PageKind::Status},
    {"9.s0.n0.v20080619", PageKind::Status},
    {"9.kA.s1.n0.vX1", PageKind::Status},
    // Not page paths: they would name other files.
    {"", PageKind::Unknown},
    {"1", PageKind::Unknown},
    {"0/", PageKind::Unknown},
    {"0.txt", PageKind::Unknown},
    {"../0", PageKind::Unknown},
    {"0/../0", PageKind::Unknown},
    {"01a", PageKind::Unknown},
    {"/etc/passwd", PageKind::Unknown},
    {"0\\..", PageKind::Unknown},
    {"1vorbu.txt", PageKind::Unknown},
    {"1KELLAAEG.TXT", PageKind::Unknown},
    {"00000000000000000000000000000000000000000000000000000000000000000", PageKind::Unknown},
    // Status names with a piece missing, out of order or out of range.
    {"9", PageKind::Unknown},
    {"9.k2.s1.n1", PageKind::Unknown},
    {"9.k2.s1.n1.v", PageKind::Unknown},
    {"9.k2.n1.s1.v20080619", PageKind::Unknown},
    {"9.k2.s2.n1.v20080619", PageKind::Unknown},
    {"9.k.s1.n1.v20080619", PageKind::Unknown},
    {"9.k2.s1.n1.v2008/../x", PageKind::Unknown},
    {"9.k22.s1.n1.v20080619", PageKind::Unknown},
};

INSTANTIATE_TEST_SUITE_P(Table, PageNameTest, ::testing::ValuesIn(kNameCases),
                         rowNames(kNameCases, [](const NameCase& c) {
                           // "q" first: a name of digits alone would be replaced by CTest.
                           return "q=" + std::string(c.q);
                         }));

TEST(StatusNameTest, ParsesEveryPiece) {
  auto s = parseStatusName("9.k2.s1.n0.v20080619");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->lastKey, '2');
  EXPECT_TRUE(s->keyNamesSpoken);
  EXPECT_FALSE(s->numLockOn);
  EXPECT_EQ(s->versionTag, "20080619");
  EXPECT_FALSE(parseStatusName("9.s0.n1.v1")->lastKey.has_value());
}

TEST(StatusTextTest, SaysWhatTheNameEncodes) {
  std::string on = statusMessage(*parseStatusName("9.k2.s1.n1.v20080619")).speech;
  EXPECT_NE(on.find("viimane klahv on 2"), std::string::npos) << on;
  EXPECT_NE(on.find("Klahvide nimed öeldakse"), std::string::npos) << on;
  EXPECT_NE(on.find("Numbrilukk on sees"), std::string::npos) << on;
  EXPECT_NE(on.find("2008 06 19"), std::string::npos) << on;
  std::string off = statusMessage(*parseStatusName("9.s0.n0.vB7")).speech;
  EXPECT_NE(off.find("aadress on tühi"), std::string::npos) << off;
  EXPECT_NE(off.find("nimesid ei öelda"), std::string::npos) << off;
  EXPECT_NE(off.find("Numbrilukk on väljas"), std::string::npos) << off;
  EXPECT_NE(off.find("versioon B7"), std::string::npos) << off;
}

TEST(PageSpeechTest, MenuReadsHeadingThenKeyAndLabelOfEachEntry) {
  std::string menu = "0 Peamenüü\r\n1\tUudised\t2025-12-08\n\n2\tIlm\n3\nA\tAbi.\n";
  EXPECT_EQ(pageSpeech(menu), "Peamenüü. 1: Uudised. 2: Ilm. 3. A: Abi.");
  EXPECT_EQ(pageSpeech("0"), "Tühi menüü.");
  EXPECT_EQ(pageSpeech("  Tavaline tekst.\n"), "Tavaline tekst.");
  EXPECT_EQ(pageSpeech(" 0 pole menüü"), "0 pole menüü");
  EXPECT_EQ(pageSpeech("\n \n"), "Lehekülg on tühi.");
}

TEST(PromptTextTest, QuestionsTellWhichKeysAnswer) {
  EXPECT_NE(quitQuestionMessage().speech.find("vajuta 1"), std::string::npos);
  std::string rate = rateQuestionMessage("3").speech;
  for (const char* part : {"vajuta 1", "2", "3", "Escape", "kiirus 3"})
    EXPECT_NE(rate.find(part), std::string::npos) << part;
  std::string voice = voiceQuestionMessage("5").speech;
  for (const char* part : {"1 kuni 6", "Escape", "hääl 6"})
    EXPECT_NE(voice.find(part), std::string::npos) << part;
  std::tm t{};
  t.tm_hour = 7;
  t.tm_min = 5;
  EXPECT_EQ(clockMessage(t).text, "Kell on 7:05.");
}

TEST(ErrorTextTest, UserInputNeverReachesTheSpokenText) {
  // Spoken texts are cached; a name chosen by the client must not make new entries.
  Message m = queryProblemMessage(QueryProblem::UnknownKey, "evil\x01key");
  EXPECT_EQ(m.speech.find("evil"), std::string::npos);
  EXPECT_NE(m.text.find("evil?key"), std::string::npos);
  EXPECT_EQ(pageNotFoundMessage("../x").speech, "Lehekülge ei leitud.");
}

TEST(SentenceMapTest, SentencesAreCarriedToThePagesCharactersAndLines) {
  // A byte order mark is no character; "ü" and "õ" are one each; a carriage return is one;
  // a menu's key and label are read as "1: Üks." and its extra field is not.
  const struct {
    std::string page;
    std::vector<SentenceMark> marks;  // from and to in the spoken text
    std::string json;
  } cases[] = {
      {"\xEF\xBB\xBF\n Üks lause. Kaks?\r\n\nKõik.\n",
       {{10, 900, 0, 11}, {950, 1400, 11, 19}, {1500, 1900, 19, 24}},
       R"({"sentences": [{"start": 10, "end": 900, "from": 2, "to": 12, "paragraph": 1}, )"
       R"({"start": 950, "end": 1400, "from": 13, "to": 18, "paragraph": 1}, )"
       R"({"start": 1500, "end": 1900, "from": 21, "to": 26, "paragraph": 3}]})"},
      {"0 Menüü\n1\tÜks\tlisa\n2\tKaks\n",
       {{0, 500, 0, 7}, {600, 900, 7, 15}, {950, 1200, 15, 23}},
       R"({"sentences": [{"start": 0, "end": 500, "from": 2, "to": 7, "paragraph": 0}, )"
       R"({"start": 600, "end": 900, "from": 8, "to": 13, "paragraph": 1}, )"
       R"({"start": 950, "end": 1200, "from": 19, "to": 25, "paragraph": 2}]})"},
      // What the server says in place of an empty page reads none of it.
      {"  \n", {{0, 800, 0, 17}}, R"({"sentences": []})"},
  };
  for (const auto& c : cases) {
    const SpokenText spoken = spokenPage(c.page);
    EXPECT_EQ(c.json, sentenceMapJson(c.marks, spoken)) << spoken.text;
  }
  EXPECT_EQ("Menüü. 1: Üks. 2: Kaks.", spokenPage(cases[1].page).text);
}

TEST(SentenceMapTest, TimerStartsAtTheFirstSoundAfterTheEventAndSplitsAtALine) {
  // Speech of the text "Üks\nkaks. Kolm.": silence and sound in stretches of ten samples.
  // The second line's first word begins a sentence although no sentence event came there.
  SentenceTimer timer({4});
  std::vector<int16_t> samples(100, 0);
  for (size_t i : {5, 6, 7, 40, 41, 42, 80, 81}) samples[i] = 3000;
  samples[30] = SentenceTimer::kSoundLevel;  // not yet sound
  timer.sentence(0, 0);
  timer.word(0, 0);
  timer.word(25, 4);
  timer.sentence(60, 11);
  timer.word(60, 11);
  timer.samples(samples.data(), 50);
  timer.samples(samples.data() + 50, 50);
  const auto marks = timer.finish();
  ASSERT_EQ(3u, marks.size());
  EXPECT_EQ(5u, marks[0].startSample);
  EXPECT_EQ(8u, marks[0].endSample);
  EXPECT_EQ(40u, marks[1].startSample);
  EXPECT_EQ(43u, marks[1].endSample);
  EXPECT_EQ(4u, marks[1].textPosition);
  EXPECT_EQ(80u, marks[2].startSample);
  EXPECT_EQ(11u, marks[2].textPosition);
}

TEST(SentenceMapTest, StoredMarksReadBackAndACutFileIsRefused) {
  const std::vector<SentenceMark> marks = {{25, 1200, 0, 17}, {1500, 3000, 18, 40}};
  EXPECT_EQ(marks, parseMarks(formatMarks(marks)));
  const std::string text = formatMarks(marks);
  EXPECT_FALSE(parseMarks(text.substr(0, text.size() - 1)));
  EXPECT_FALSE(parseMarks("something else\n"));
  EXPECT_EQ(std::vector<SentenceMark>{}, parseMarks(formatMarks({})));
}

struct AccessCase {
  const char* name;
  std::optional<std::string> authorization;
  std::optional<std::string> vorbu;
  AccessResult expected;
};

void PrintTo(const AccessCase& c, std::ostream* os) {
  *os << c.name;
}

class AccessCheckTest : public ::testing::TestWithParam<AccessCase> {};

TEST_P(AccessCheckTest, Decides) {
  const AccessCase& c = GetParam();
  EXPECT_EQ(checkAccess(c.authorization, c.vorbu, {"wqwqw", "teine"}), c.expected) << c.name;
}

// "d3F3cXc6d3F3cXc=" is wqwqw:wqwqw, "dGVpbmU6dGVpbmU=" teine:teine.
const AccessCase kAccessCases[] = {
    {"none", std::nullopt, std::nullopt, AccessResult::NoCredentials},
    {"both right", "Basic d3F3cXc6d3F3cXc=", "wqwqw", AccessResult::Granted},
    {"basic only", "Basic d3F3cXc6d3F3cXc=", std::nullopt, AccessResult::Granted},
    {"header only", std::nullopt, "wqwqw", AccessResult::Granted},
    {"second code", "Basic dGVpbmU6dGVpbmU=", "teine", AccessResult::Granted},
    {"scheme in lower case", "basic d3F3cXc6d3F3cXc=", std::nullopt, AccessResult::Granted},
    {"wrong header", std::nullopt, "wqwq", AccessResult::WrongCredentials},
    {"empty header", std::nullopt, "", AccessResult::WrongCredentials},
    {"right basic, wrong header", "Basic d3F3cXc6d3F3cXc=", "x", AccessResult::WrongCredentials},
    {"wrong basic, right header", "Basic eDp4", "wqwqw", AccessResult::WrongCredentials},
    // wqwqw:teine — both codes are valid, but user id and password differ.
    {"mixed codes", "Basic d3F3cXc6dGVpbmU=", std::nullopt, AccessResult::WrongCredentials},
    {"not base64", "Basic ***", std::nullopt, AccessResult::WrongCredentials},
    {"other scheme", "Bearer d3F3cXc6d3F3cXc=", std::nullopt, AccessResult::WrongCredentials},
};

INSTANTIATE_TEST_SUITE_P(Table, AccessCheckTest, ::testing::ValuesIn(kAccessCases),
                         rowNames(kAccessCases, [](const AccessCase& c) { return c.name; }));

TEST(Base64Test, DecodesWithAndWithoutPadding) {
  EXPECT_EQ(decodeBase64("d3F3cXc6d3F3cXc="), "wqwqw:wqwqw");
  EXPECT_EQ(decodeBase64("YQ"), "a");
  EXPECT_EQ(decodeBase64("YQ=="), "a");
  EXPECT_FALSE(decodeBase64("Y"));
  EXPECT_FALSE(decodeBase64("YQ=a"));
}

TEST(TextEncodingTest, ConvertsEstonianLettersBothWays) {
  std::string utf8 = "Õun ühel šõõr žürii ÄÖ";
  std::string baltic = utf8ToWindows1257(utf8);
  EXPECT_EQ(baltic, "\xD5un \xFChel \xF0\xF5\xF5r \xFE\xFCrii \xC4\xD6");
  EXPECT_EQ(windows1257ToUtf8(baltic), utf8);
  EXPECT_EQ(utf8ToWindows1257("€ ☺"), "\x80 ?");
  EXPECT_TRUE(isValidUtf8(utf8));
  EXPECT_FALSE(isValidUtf8(baltic));
  EXPECT_FALSE(isValidUtf8("\xC0\x80"));      // overlong
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(isValidUtf8("\xE2\x82"));      // cut short
  EXPECT_EQ(asUtf8(baltic), utf8);
}

std::vector<std::string> args(std::initializer_list<const char*> list) {
  return {list.begin(), list.end()};
}

TEST(ServerOptionsTest, DefaultsAndRepeatedCodes) {
  ServerOptions o = parseServerOptions(args({"--cache", "/tmp/c"}));
  EXPECT_EQ(o.bind, "127.0.0.1");
  EXPECT_EQ(o.port, 8080);
  EXPECT_EQ(o.accessCodes, std::vector<std::string>{"wqwqw"});
  EXPECT_FALSE(o.pagesDir.empty());
  o = parseServerOptions(args({"--access-code", "a1", "--access-code=b2", "--port=0", "--encoding",
                               "windows-1257", "--open", "--cache", "/tmp/c"}));
  EXPECT_EQ(o.accessCodes, (std::vector<std::string>{"a1", "b2"}));
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.encoding, TextEncoding::Windows1257);
  EXPECT_TRUE(o.open);
}

TEST(ServerOptionsTest, BadArgumentsAreRefused) {
  for (auto bad :
       {args({"--port", "x"}), args({"--port", "65536"}), args({"--port"}), args({"--bogus"}),
        args({"--encoding", "latin1"}), args({"--open=1"}), args({"--access-code", ""}),
        args({"--access-code", "a:b"}), args({"--access-code", "a b"}), args({"extra"})})
    EXPECT_THROW(parseServerOptions(bad), UsageError) << bad[0];
}

TEST(ServerOptionsTest, CacheFolderFollowsXdg) {
  EXPECT_EQ(defaultCacheDir("/x/cache", "/home/u"), "/x/cache/talking-reader-server");
  EXPECT_EQ(defaultCacheDir("relative", "/home/u"), "/home/u/.cache/talking-reader-server");
  EXPECT_EQ(defaultCacheDir("", ""), "");
}

}  // namespace
