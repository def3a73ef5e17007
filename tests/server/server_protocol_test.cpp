// The real server executable over loopback, spoken to as the reader speaks: HTTP/1.0,
// unescaped query values, the access code in basic authorisation and in `Vorbu`.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include "mp3_probe.h"
#include "sentence_map_probe.h"
#include "server_process.h"

namespace {

namespace fs = std::filesystem;

const std::string kMenu = "0 Proovimenüü\n1\tEsimene\n2\tTeine\tlisaväli\n";

std::string target(const std::string& query) {
  return "/cgi-bin/tx.cgi?" + query;
}
std::string page(const std::string& q, const std::string& extra = "") {
  return target("s=2&v=0&q=" + q + "&ID=4711" + extra);
}

// What the reader sends besides the request line.
std::vector<std::string> readerHeaders(const std::string& code = "wqwqw") {
  return {"Accept: */*", "Accept: text/html", basicLine(code, code),
          "Content-type: application/x-www-form-urlencoded", vorbuLine(code)};
}

// About `words` words of running text: long enough that its synthesis takes seconds.
std::string longText(int words) {
  const std::string sentence =
      "Hommikul sadas vihma, aga lõuna paiku tuli päike välja ja linn hakkas jälle elama. ";
  std::string text;
  for (int n = 0; n < words; n += 15) text += sentence;
  return text;
}

int countSyntheses(const std::string& log) {
  int n = 0;
  for (size_t pos = 0; (pos = log.find("\nsynth ", pos)) != std::string::npos; ++pos) ++n;
  return n;
}

class ServerProtocolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = makeTempDir();
    fs::create_directory(root_ + "/pages");
    writeFile(root_ + "/secret.txt", "SALAJANE");
    writeFile(root_ + "/pages/0.txt", kMenu);
    writeFile(root_ + "/pages/01.txt", "Lühike tekst.");
    writeFile(root_ + "/pages/02.txt", "0 Teine menüü\n1\tAlam\n");
    writeFile(root_ + "/pages/021.txt", "Kolmanda taseme leht.");
    writeFile(root_ + "/pages/03.txt",
              "See lause on kirjutatud selleks, et kuulda, kui kiiresti server räägib.");
    writeFile(root_ + "/pages/04.txt", longText(500));
    server_ = new ServerProcess(TR_SERVER_EXECUTABLE,
                                {"--pages", root_ + "/pages", "--cache", root_ + "/cache",
                                 "--access-code", "wqwqw", "--access-code", "teine"});
    ASSERT_GT(server_->port(), 0) << server_->log();
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(server_->stop(), 0) << "a clean stop on SIGTERM";
    delete server_;
    removeTree(root_);
  }

  static std::string root_;
  static ServerProcess* server_;
};

std::string ServerProtocolTest::root_;
ServerProcess* ServerProtocolTest::server_ = nullptr;

struct AuthCase {
  const char* name;
  std::vector<std::string> headers;
  int status;
};

TEST_F(ServerProtocolTest, AccessCodeVariants) {
  const AuthCase cases[] = {
      {"none", {}, 401},
      {"wrong basic only", {basicLine("vale", "vale")}, 401},
      {"wrong header only", {vorbuLine("vale")}, 401},
      {"basic only", {basicLine("wqwqw", "wqwqw")}, 200},
      {"header only", {vorbuLine("wqwqw")}, 200},
      {"both right", readerHeaders(), 200},
      {"second code", readerHeaders("teine"), 200},
      {"right basic, wrong header", {basicLine("wqwqw", "wqwqw"), vorbuLine("vale")}, 401},
      {"wrong basic, right header", {basicLine("wqwqw", "vale"), vorbuLine("wqwqw")}, 401},
      {"user id and password differ", {basicLine("wqwqw", "teine")}, 401},
  };
  for (const auto& c : cases) {
    HttpAnswer a = server_->get(page("01"), c.headers);
    ASSERT_TRUE(a.ok) << c.name;
    EXPECT_EQ(a.status, c.status) << c.name;
    if (c.status == 401) {
      EXPECT_EQ(a.body, "Vale juurdepääsukood. Vajuta F9 ja sisesta õige kood.") << c.name;
      EXPECT_EQ(a.headers["www-authenticate"], "Basic realm=\"talking-reader\"");
    } else {
      EXPECT_EQ(a.body, "Lühike tekst.") << c.name;
    }
  }
}

TEST_F(ServerProtocolTest, WrongCodeIsSpokenWhenSpeechIsAsked) {
  HttpAnswer a = server_->get(page("01", "&w=1"), {vorbuLine("vale")});
  EXPECT_EQ(a.status, 401);
  EXPECT_EQ(a.headers["content-type"], "audio/mpeg");
  EXPECT_GE(a.body.size(), 3840u);
  EXPECT_TRUE(probeMp3(a.body).ok);
}

struct QueryCase {
  std::string query;
  int status;
  std::string bodyPart;
};

TEST_F(ServerProtocolTest, QueryTable) {
  const QueryCase cases[] = {
      {"s=2&v=0&q=01&ID=4711", 200, "Lühike tekst."},
      {"ID=4711&q=01&v=5&s=3", 200, "Lühike tekst."},
      {"s=2&v=0&q=01", 200, "Lühike tekst."},  // no ID: the reader may have none
      {"s=4&v=0&q=01&ID=1", 400, "kõnekiirus"},
      {"s=0&v=0&q=01&ID=1", 400, "kõnekiirus"},
      {"s=&v=0&q=01&ID=1", 400, "kõnekiirus"},
      {"s=2&v=6&q=01&ID=1", 400, "hääl"},
      {"s=2&v=x&q=01&ID=1", 400, "hääl"},
      {"s=2&v=0&q=01&ID=1&w=0", 400, "w"},
      {"s=2&v=0&q=01&ID=1&w=yes", 400, "w"},
      {"v=0&q=01&ID=1", 400, "võti s puudub"},
      {"s=2&q=01&ID=1", 400, "võti v puudub"},
      {"s=2&v=0&ID=1", 400, "võti q puudub"},
      {"s=2&v=0&q=01&ID=abc", 400, "ID"},
      {"s=2&v=0&q=01&ID=1&lang=et", 400, "tundmatu võti \"lang\""},
      {"s=2&v=0&q=01&q=02&ID=1", 400, "mitu korda"},
      {"", 400, "puudub"},
  };
  for (const auto& c : cases) {
    HttpAnswer a = server_->get(target(c.query), readerHeaders());
    ASSERT_TRUE(a.ok) << c.query;
    EXPECT_EQ(a.status, c.status) << c.query;
    EXPECT_NE(a.body.find(c.bodyPart), std::string::npos) << c.query << " -> " << a.body;
    EXPECT_EQ(a.headers["content-type"], "text/plain; charset=utf-8") << c.query;
  }
  EXPECT_TRUE(server_->running());
}

TEST_F(ServerProtocolTest, BadQueryIsSpokenWhenSpeechIsAsked) {
  HttpAnswer a = server_->get(target("s=9&v=0&q=01&ID=1&w=1"), readerHeaders());
  EXPECT_EQ(a.status, 400);
  EXPECT_EQ(a.headers["content-type"], "audio/mpeg");
  EXPECT_GE(a.body.size(), 3840u);
  EXPECT_TRUE(probeMp3(a.body).ok);
}

TEST_F(ServerProtocolTest, EveryKindOfPageAsText) {
  struct {
    std::string q;
    int status;
    std::string body;  // a regular expression matched against the whole body
  } cases[] = {
      {"0", 200, kMenu},
      {"02", 200, "0 Teine menüü\n1\tAlam\n"},
      {"021", 200, "Kolmanda taseme leht\\."},
      {"09", 404, "Lehekülge ei leitud: 09"},
      {"0211", 404, "Lehekülge ei leitud: 0211"},
      {"1kellaaeg.txt", 200, "Kell on [0-9]{1,2}:[0-9]{2}\\."},
      {"1lopetamine.txt", 200, ".*vajuta 1.*"},
      {"1muudakiirust.txt", 200, ".*vajuta 1, tavalise jaoks 2, kiire jaoks 3.*Escape.*"},
      {"1muudahaalt.txt", 200, ".*1 kuni 6.*Escape.*"},
      {"9.k2.s1.n1.v20080619", 200,
       "Olekuteade\\. Lehekülje aadressi viimane klahv on 2\\. Klahvide nimed öeldakse\\. "
       "Numbrilukk on sees\\. Lugeja versioon 2008 06 19\\."},
      {"9.k0.s0.n0.v20080619", 200,
       ".*klahv on 0\\. Klahvide nimesid ei öelda\\. Numbrilukk on väljas.*"},
      {"9.s1.n0.v1", 200, ".*aadress on tühi.*"},
      {"9.k2.s1.n1", 404, "Lehekülge ei leitud.*"},
      {"1vorbu.txt", 404, "Lehekülge ei leitud.*"},
  };
  for (const auto& c : cases) {
    HttpAnswer a = server_->get(page(c.q), readerHeaders());
    ASSERT_TRUE(a.ok) << c.q;
    EXPECT_EQ(a.status, c.status) << c.q;
    EXPECT_TRUE(std::regex_match(a.body, std::regex(c.body))) << c.q << " -> " << a.body;
  }
}

TEST_F(ServerProtocolTest, TraversalAttemptsFindNothing) {
  const char* attempts[] = {"../secret",
                            "..%2Fsecret",
                            "0/../../secret",
                            "/etc/passwd",
                            "0.txt",
                            "01/",
                            "0%00",
                            "..",
                            "0/..",
                            "9.k2.s1.n1.v../",
                            "1kellaaeg.txt/..",
                            "%2e%2e/secret"};
  for (const char* q : attempts) {
    HttpAnswer a = server_->get(page(q), readerHeaders());
    ASSERT_TRUE(a.ok) << q;
    EXPECT_EQ(a.status, 404) << q;
    EXPECT_EQ(a.body.find("SALAJANE"), std::string::npos) << q;
  }
  // Outside the page service altogether.
  for (const char* path : {"/secret.txt", "/cgi-bin/../secret.txt", "/pages/01.txt"}) {
    HttpAnswer a = server_->get(path, readerHeaders());
    EXPECT_EQ(a.status, 404) << path;
    EXPECT_EQ(a.body.find("SALAJANE"), std::string::npos) << path;
  }
}

TEST_F(ServerProtocolTest, SpeechIsMp3OfTheRightFormatAndLength) {
  for (const char* q : {"01", "0", "1muudakiirust.txt", "9.k2.s1.n1.v20080619", "1kellaaeg.txt"}) {
    HttpAnswer a = server_->get(page(q, "&w=1"), readerHeaders());
    ASSERT_TRUE(a.ok) << q;
    EXPECT_EQ(a.status, 200) << q;
    EXPECT_EQ(a.headers["content-type"], "audio/mpeg") << q;
    EXPECT_GE(a.body.size(), 3840u) << q;
    Mp3Probe p = probeMp3(a.body);
    ASSERT_TRUE(p.ok) << q;
    EXPECT_EQ(p.version, 0) << q;
    EXPECT_EQ(p.layer, 3) << q;
    EXPECT_EQ(p.channels, 1) << q;
    EXPECT_EQ(p.rate, 44100) << q;
    EXPECT_EQ(p.bitrate, 64) << q;
  }
  // Two words; a menu of a heading and two entries; a question of about twenty words.
  double shortText = probeMp3(server_->get(page("01", "&w=1"), readerHeaders()).body).seconds();
  double menu = probeMp3(server_->get(page("0", "&w=1"), readerHeaders()).body).seconds();
  double question =
      probeMp3(server_->get(page("1muudakiirust.txt", "&w=1"), readerHeaders()).body).seconds();
  EXPECT_GT(shortText, 0.5);
  EXPECT_LT(shortText, 3.0);
  EXPECT_GT(menu, shortText);
  EXPECT_GT(question, 5.0);
  EXPECT_LT(question, 20.0);
}

TEST_F(ServerProtocolTest, SpeechRateChangesTheLength) {
  auto seconds = [&](const char* s) {
    return probeMp3(
               server_->get(target(std::string("s=") + s + "&v=0&q=03&ID=1&w=1"), readerHeaders())
                   .body)
        .seconds();
  };
  double slow = seconds("1"), normal = seconds("2"), fast = seconds("3");
  EXPECT_GT(slow, normal * 1.2);
  EXPECT_GT(normal, fast * 1.2);
}

TEST_F(ServerProtocolTest, SecondSpeechRequestIsServedFromTheCache) {
  int before = countSyntheses(server_->log());
  HttpAnswer first = server_->get(page("021", "&w=1"), readerHeaders());
  EXPECT_EQ(countSyntheses(server_->log()), before + 1);
  HttpAnswer second = server_->get(page("021", "&w=1"), readerHeaders());
  EXPECT_EQ(countSyntheses(server_->log()), before + 1);
  EXPECT_EQ(first.body, second.body);
  bool entryFound = false;
  for (const auto& e : fs::directory_iterator(root_ + "/cache"))
    entryFound = entryFound || fs::file_size(e.path()) == first.body.size();
  EXPECT_TRUE(entryFound);
}

TEST_F(ServerProtocolTest, ConcurrentRequestsForOneUncachedPageSynthesiseOnce) {
  int before = countSyntheses(server_->log());
  std::vector<std::future<HttpAnswer>> answers;
  for (int i = 0; i < 6; ++i)
    answers.push_back(std::async(std::launch::async, [&] {
      return server_->get(target("s=1&v=4&q=02&ID=1&w=1"), readerHeaders());
    }));
  std::string body;
  for (auto& f : answers) {
    HttpAnswer a = f.get();
    EXPECT_EQ(a.status, 200);
    if (body.empty()) body = a.body;
    EXPECT_EQ(a.body, body);
  }
  EXPECT_EQ(countSyntheses(server_->log()), before + 1);
}

std::vector<std::string> cacheFiles(const std::string& dir) {
  std::vector<std::string> bytes;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    bytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return bytes;
}

bool cached(const std::string& dir, const std::string& body) {
  for (const auto& bytes : cacheFiles(dir))
    if (bytes == body) return true;
  return false;
}

TEST_F(ServerProtocolTest, LongPageStreamsItsFirstFramesWhileItIsSynthesised) {
  HttpAnswer a = server_->get(target("s=2&v=2&q=04&ID=1&w=1"), readerHeaders());
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(a.headers.count("content-length"), 0u) << "the body ends with the connection";
  EXPECT_EQ(a.headers.count("transfer-encoding"), 0u);
  // What the reader starts playing from: the first 3840 bytes decode by themselves.
  Mp3Probe start = probeMp3(a.body.substr(0, 3840));
  ASSERT_TRUE(start.ok);
  EXPECT_EQ(start.rate, 44100);
  EXPECT_GT(start.samples, 0);
  // Two minutes of speech take seconds to make; the start came out near the beginning.
  EXPECT_GT(probeMp3(a.body).seconds(), 100.0);
  EXPECT_LT(a.body3840Ms * 4, a.endMs)
      << "first bytes at " << a.body3840Ms << " ms, end at " << a.endMs << " ms";
  EXPECT_TRUE(cached(root_ + "/cache", a.body)) << "the complete file is in the cache";
  // And then it is answered from there, with its length.
  HttpAnswer again = server_->get(target("s=2&v=2&q=04&ID=1&w=1"), readerHeaders());
  EXPECT_EQ(again.headers["content-length"], std::to_string(a.body.size()));
  EXPECT_EQ(again.body, a.body);
}

TEST_F(ServerProtocolTest, ASecondRequestDuringTheSynthesisReadsTheSameOne) {
  int before = countSyntheses(server_->log());
  const std::string request = target("s=2&v=3&q=04&ID=1&w=1");
  // Its first bytes have come: its synthesis runs, and goes on for seconds more.
  HttpExchange first(server_->port(), getRequest(request, readerHeaders()));
  ASSERT_TRUE(first.readBody(3840, 30000));
  HttpAnswer second = server_->get(request, readerHeaders());
  HttpAnswer a = first.finish(30000);
  ASSERT_TRUE(a.ok);
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.headers.count("content-length"), 0u) << "it read the running synthesis";
  EXPECT_EQ(second.body, a.body);
  EXPECT_TRUE(probeMp3(a.body).ok);
  EXPECT_TRUE(cached(root_ + "/cache", a.body));
  EXPECT_EQ(countSyntheses(server_->log()), before + 1);
}

// Characters (code points) of UTF-8 `text` before the first `part` in it.
long charsBefore(const std::string& text, const std::string& part) {
  const size_t at = text.find(part);
  long chars = 0;
  for (size_t i = 0; i < at && i < text.size(); ++i)
    chars += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
  return chars;
}

// Sound in the decoded speech: 5 ms louder than -46 dBFS (root mean square).
constexpr float kSoundRms = 0.005f;

long charCount(const std::string& text) {
  return charsBefore(text + '\0', std::string(1, '\0'));
}

TEST_F(ServerProtocolTest, SentenceMapMatchesTheDecodedSpeechAtEachRate) {
  struct Expected {
    std::string sentence;  // as it stands in the page's text
    long paragraph;
  };
  const std::string page =
      "Täna on ilus ilm.\r\nPäike paistab ja linnud laulavad! Kas sina "
      "tuled välja?\n\nÕhtul sajab vihma.\n";
  writeFile(root_ + "/pages/05.txt", page);
  const struct {
    std::string q, text;
    std::vector<Expected> sentences;
  } pages[] = {
      {"05",
       page,
       {{"Täna on ilus ilm.", 0},
        {"Päike paistab ja linnud laulavad!", 1},
        {"Kas sina tuled välja?", 1},
        {"Õhtul sajab vihma.", 3}}},
      // A menu: each entry line is a paragraph, read as its key and label.
      {"0", kMenu, {{"Proovimenüü", 0}, {"1\tEsimene", 1}, {"2\tTeine", 2}}},
  };
  for (const auto& p : pages) {
    for (const char* rate : {"1", "2", "3"}) {
      const std::string query = std::string("s=") + rate + "&v=0&q=" + p.q + "&ID=1";
      SCOPED_TRACE(query);
      HttpAnswer map = server_->get(target(query + "&w=2"), readerHeaders());
      HttpAnswer speech = server_->get(target(query + "&w=1"), readerHeaders());
      ASSERT_EQ(200, map.status) << map.body;
      EXPECT_EQ("application/json", map.headers["content-type"]);
      const auto sentences = parseSentenceMap(map.body);
      ASSERT_TRUE(sentences) << map.body;
      ASSERT_EQ(p.sentences.size(), sentences->size()) << map.body;

      long sampleRate = 0;
      const std::vector<float> decoded = decodeMp3(speech.body, &sampleRate);
      ASSERT_FALSE(decoded.empty());
      const double lengthMs = 1000.0 * double(decoded.size()) / double(sampleRate);
      // Where sound begins after each pause, in the speech as the reader decodes it.
      const std::vector<double> onsets = soundOnsets(decoded, sampleRate, kSoundRms, 50);
      for (size_t i = 0; i < sentences->size(); ++i) {
        const MappedSentence& s = (*sentences)[i];
        const Expected& e = p.sentences[i];
        EXPECT_EQ(charsBefore(p.text, e.sentence), s.from) << e.sentence;
        EXPECT_EQ(charsBefore(p.text, e.sentence) + charCount(e.sentence), s.to) << e.sentence;
        EXPECT_EQ(e.paragraph, s.paragraph) << e.sentence;
        EXPECT_LE(s.start, s.end) << e.sentence;
        if (i + 1 < sentences->size()) {
          EXPECT_LE(s.end, (*sentences)[i + 1].start) << e.sentence;
        }
        EXPECT_LE(double(s.end), lengthMs) << e.sentence;
        double nearest = 1e9;
        for (double onset : onsets) nearest = std::min(nearest, std::fabs(onset - double(s.start)));
        EXPECT_LE(nearest, 20.0) << e.sentence << " starts at " << s.start << " ms";
      }
    }
  }
}

TEST_F(ServerProtocolTest, ClosesAfterAnHttp10Answer) {
  // ok means: a whole response and then the end of the connection, well within the time.
  HttpAnswer a = server_->get(page("01"), readerHeaders(), 3000);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.headers["content-length"], std::to_string(a.body.size()));
}

TEST_F(ServerProtocolTest, OversizedRequestsAreRefusedAndTheServerGoesOn) {
  // The library answers these at once but keeps the connection until its keep-alive
  // time-out, so the answer is read without waiting for the close.
  HttpAnswer longLine = server_->get(page(std::string(9000, '0')), readerHeaders(), 1500);
  EXPECT_EQ(longLine.status, 414);
  std::vector<std::string> many = readerHeaders();
  for (int i = 0; i < 100; ++i)
    many.push_back("X-Filler-" + std::to_string(i) + ": " + std::string(100, 'x'));
  EXPECT_EQ(server_->get(page("01"), many).status, 431);
  HttpAnswer garbage = server_->raw("\x01\x02 nonsense\r\n\r\n", 1500);
  EXPECT_EQ(garbage.status, 400);
  EXPECT_EQ(server_->get(page("01"), readerHeaders()).status, 200);
}

TEST_F(ServerProtocolTest, LogsOneLinePerRequest) {
  server_->get(page("021"), readerHeaders());
  std::string log = server_->log();
  EXPECT_TRUE(std::regex_search(log, std::regex("\nGET q=021 w=0 200 21 bytes [0-9]+ ms\n")))
      << log;
}

TEST(ServerOpenTest, OpenServerNeedsNoCode) {
  std::string dir = makeTempDir();
  {
    ServerProcess server(TR_SERVER_EXECUTABLE,
                         {"--open", "--pages", TR_SERVER_SAMPLE_PAGES, "--cache", dir});
    ASSERT_GT(server.port(), 0) << server.log();
    HttpAnswer a = server.get(page("0"), {});
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.body.rfind("0 Peamenüü", 0), 0u) << "the sample pages are the default tree";
  }
  removeTree(dir);
}

TEST(ServerEncodingTest, Windows1257ServesTextInTheBalticCodePage) {
  std::string dir = makeTempDir();
  fs::create_directory(dir + "/pages");
  writeFile(dir + "/pages/0.txt", "0 Menüü\n1\tÕun\n");
  {
    ServerProcess server(TR_SERVER_EXECUTABLE, {"--encoding", "windows-1257", "--pages",
                                                dir + "/pages", "--cache", dir + "/cache"});
    ASSERT_GT(server.port(), 0) << server.log();
    HttpAnswer a = server.get(page("0"), readerHeaders());
    EXPECT_EQ(a.body, "0 Men\xFC\xFC\n1\t\xD5un\n");
    EXPECT_EQ(a.headers["content-type"], "text/plain; charset=windows-1257");
    EXPECT_EQ(server.get(page("01"), readerHeaders()).body, "Lehek\xFClge ei leitud: 01");
  }
  removeTree(dir);
}

TEST(ServerThrottleTest, EveryBodyGoesNoFasterThanTheGivenRate) {
  std::string dir = makeTempDir();
  {
    const long rate = 200000;
    ServerProcess server(TR_SERVER_EXECUTABLE, {"--pages", TR_SERVER_SAMPLE_PAGES, "--cache", dir,
                                                "--throttle", std::to_string(rate)});
    ASSERT_GT(server.port(), 0) << server.log();
    // Streamed while synthesised, then from the cache.
    for (const char* round : {"streamed", "cached"}) {
      HttpAnswer a = server.get(page("0", "&w=1"), readerHeaders());
      ASSERT_TRUE(a.ok) << round;
      EXPECT_TRUE(probeMp3(a.body).ok) << round;
      double floorMs = 1000.0 * double(a.body.size()) / double(rate);
      EXPECT_GT(a.body.size(), 40000u) << round;
      EXPECT_GE(a.endMs - a.firstByteMs, floorMs * 0.9) << round;
      EXPECT_LT(a.body3840Ms, a.endMs / 4) << round;
    }
  }
  removeTree(dir);
}

TEST(ServerStopTest, AStreamThatCannotBeFinishedIsBrokenOff) {
  std::string dir = makeTempDir();
  fs::create_directory(dir + "/pages");
  writeFile(dir + "/pages/0.txt", longText(3000));
  ServerProcess server(TR_SERVER_EXECUTABLE,
                       {"--pages", dir + "/pages", "--cache", dir + "/cache"});
  ASSERT_GT(server.port(), 0) << server.log();
  HttpExchange answer(server.port(), getRequest(page("0", "&w=1"), readerHeaders()));
  ASSERT_TRUE(answer.readBody(3840, 30000)) << "it had started";
  EXPECT_EQ(server.stop(), 0);
  HttpAnswer a = answer.finish(30000);
  // A reset, not an orderly end: the reader must not take the part for the whole page.
  EXPECT_TRUE(a.reset);
  EXPECT_FALSE(a.ok);
  EXPECT_TRUE(cacheFiles(dir + "/cache").empty()) << "no entry, not even a temporary one";
  removeTree(dir);
}

int runServer(const std::string& args) {
  int status =
      std::system((std::string(TR_SERVER_EXECUTABLE) + " " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ServerCommandLineTest, HelpAndBadArguments) {
  EXPECT_EQ(runServer("--help"), 0);
  EXPECT_EQ(runServer("--version"), 0);
  for (const char* bad : {"--bogus", "--port x", "--port 70000", "--encoding latin1",
                          "--access-code", "--pages /nonexistent/pages --port 0"})
    EXPECT_EQ(runServer(bad), 2) << bad;
}

}  // namespace
