// The page service and the HTTP front end in-process, with a scripted synthesiser: what
// each kind of request is answered with, and on the wire over loopback sockets, fixed and
// streamed bodies, a synthesis failing before and after its first bytes, and a stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "front_end.h"
#include "gate.h"
#include "server_process.h"
#include "server_texts.h"
#include "speech_cache.h"
#include "tx_service.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kCode = {"Authorization: Basic d3F3cXc6d3F3cXc=", "Vorbu: wqwqw"};

std::string page(const std::string& q, const std::string& extra = "") {
  return "/cgi-bin/tx.cgi?s=2&v=0&q=" + q + "&ID=1" + extra;
}

// Bytes that pass for speech: an MPEG frame header, then the spoken text, padded.
std::string fakeMp3(const std::string& text) {
  std::string bytes = "\xFF\xFB\x50\xC4" + text;
  bytes.resize(std::max<size_t>(bytes.size(), 4000), '\0');
  return bytes;
}

// A page service over a folder of pages and a cache whose synthesiser the test scripts:
// by default it speaks every text at once as fakeMp3(text).
class ServiceFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = makeTempDir();
    fs::create_directory(dir_ + "/pages");
    writeFile(dir_ + "/pages/0.txt", "0 Menüü\n1\tEsimene\n");
    writeFile(dir_ + "/pages/01.txt", "Lühike tekst.");
  }
  void TearDown() override {
    if (cache_) cache_->stop();
    removeTree(dir_);
  }

  void Start(SpeechCache::Synthesise synthesise, int maxPending = 12,
             TextEncoding encoding = TextEncoding::Utf8) {
    cache_ = std::make_unique<SpeechCache>(dir_ + "/cache", std::move(synthesise), maxPending);
    service_ = std::make_unique<TxService>(TxConfig{{"wqwqw"}, false, encoding},
                                           PageStore(dir_ + "/pages"), *cache_);
  }
  void Start() {
    Start([this](const SpeechKey& key, const SpeechCache::Output& out) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        spoken_.push_back(key.text);
      }
      out(fakeMp3(key.text));
    });
  }
  std::vector<std::string> Spoken() {
    std::lock_guard<std::mutex> lock(mutex_);
    return spoken_;
  }

  std::string dir_;
  // Holds a scripted synthesis; it outlives the cache, whose thread may still be leaving
  // it when a test's body ends.
  Gate gate_;
  std::unique_ptr<SpeechCache> cache_;
  std::unique_ptr<TxService> service_;
  std::mutex mutex_;
  std::vector<std::string> spoken_;
};

using TxServiceTest = ServiceFixture;

TEST_F(TxServiceTest, EachKindOfRequestGetsItsStatusTypeAndWords) {
  Start();
  const std::string bearer = "Basic d3F3cXc6d3F3cXc=";
  struct Case {
    std::string target;
    std::optional<std::string> authorization;
    int status;
    const char* contentType;
    std::string words;  // in the text, or in what was spoken
  } cases[] = {
      {page("01"), bearer, 200, "text/plain; charset=utf-8", "Lühike tekst."},
      {page("01", "&w=1"), bearer, 200, "audio/mpeg", "Lühike tekst."},
      {page("0", "&w=1"), bearer, 200, "audio/mpeg", "Menüü. 1: Esimene."},
      {page("01"), std::nullopt, 401, "text/plain; charset=utf-8", "Vale juurdepääsukood"},
      {page("01", "&w=1"), std::nullopt, 401, "audio/mpeg", "Vale juurdepääsukood"},
      {page("09", "&w=1"), bearer, 404, "audio/mpeg", "Lehekülge ei leitud."},
      {page("01", "&x=1"), bearer, 400, "text/plain; charset=utf-8", "tundmatu võti"},
      {page("01", "&w=1&x=1"), bearer, 400, "audio/mpeg", "Vigane päring: tundmatu võti."},
      // The map of a page; refused as speech is.
      {page("01", "&w=2"), bearer, 200, "application/json", R"({"sentences": [)"},
      {page("01", "&w=2"), std::nullopt, 401, "audio/mpeg", "Vale juurdepääsukood"},
      {page("09", "&w=2"), bearer, 404, "audio/mpeg", "Lehekülge ei leitud."},
      {page("01", "&w=3"), bearer, 400, "text/plain; charset=utf-8", "võtme w"},
  };
  for (const Case& c : cases) {
    TxResponse r = service_->handle(TxRequest{c.target, c.authorization, std::nullopt});
    EXPECT_EQ(c.status, r.status) << c.target;
    EXPECT_EQ(c.contentType, r.contentType) << c.target;
    std::string said = r.speech ? r.speech->readAll() : r.body;
    EXPECT_NE(std::string::npos, said.find(c.words)) << c.target << " -> " << said;
    bool challenged = false;
    for (const auto& [name, value] : r.headers)
      challenged = challenged || name == "WWW-Authenticate";
    EXPECT_EQ(c.status == 401, challenged) << c.target;
  }
  // The clock is spoken afresh each time: never cached, never shared.
  for (int i = 0; i < 2; ++i)
    service_->handle({page("1kellaaeg.txt", "&w=1"), bearer, std::nullopt}).speech->readAll();
  const std::vector<std::string> spoken = Spoken();
  EXPECT_EQ(2, std::count_if(spoken.begin(), spoken.end(),
                             [](const std::string& s) { return s.rfind("Kell on ", 0) == 0; }));
}

TEST_F(TxServiceTest, SpeechBeyondTheWaitingLimitIsRefusedAsBusy) {
  Gate& gate = gate_;
  Start(
      [&](const SpeechKey& key, const SpeechCache::Output& out) {
        out(fakeMp3(key.text));
        gate.Wait();
      },
      /*maxPending=*/1);
  TxResponse first = service_->handle({page("01", "&w=1"), std::nullopt, "wqwqw"});
  ASSERT_TRUE(first.speech);
  TxResponse second = service_->handle({page("0", "&w=1"), std::nullopt, "wqwqw"});
  EXPECT_EQ(503, second.status);
  EXPECT_FALSE(second.speech);
  EXPECT_EQ((std::pair<std::string, std::string>("Retry-After", "5")), second.headers.at(0));
  TxResponse map = service_->handle({page("0", "&w=2"), std::nullopt, "wqwqw"});
  EXPECT_EQ(503, map.status);
  EXPECT_EQ(second.body, map.body);
  gate.Open();
}

TEST_F(TxServiceTest, AMapWaitsForTheRunningSynthesisAndSharesIt) {
  Gate& gate = gate_;
  Start([&](const SpeechKey& key, const SpeechCache::Output& out) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      spoken_.push_back(key.text);
    }
    out(fakeMp3(key.text));
    gate.Wait();
    out.marks({{120, 900, 0, 13}});  // known only once the speech is whole
  });
  TxResponse speech = service_->handle({page("01", "&w=1"), std::nullopt, "wqwqw"});
  ASSERT_TRUE(speech.speech && !speech.speech->size()) << "its speech is being made";
  auto map = std::async(std::launch::async, [&] {
    return service_->handle({page("01", "&w=2"), std::nullopt, "wqwqw"});
  });
  // The map request has joined the running synthesis.
  EXPECT_TRUE(eventually([&] { return cache_->hits() == 1; }, std::chrono::seconds(10)));
  gate.Open();
  const TxResponse answer = map.get();
  EXPECT_EQ(200, answer.status);
  const std::string json =
      R"({"sentences": [{"start": 120, "end": 900, "from": 0, "to": 13, "paragraph": 0}]})";
  EXPECT_EQ(json, answer.body);
  EXPECT_EQ(fakeMp3("Lühike tekst."), speech.speech->readAll());
  // Stored with the speech: asked again, it is read, not made.
  EXPECT_EQ(json, service_->handle({page("01", "&w=2"), std::nullopt, "wqwqw"}).body);
  EXPECT_EQ(1u, Spoken().size());
}

TEST_F(TxServiceTest, Windows1257TextKeepsItsCharactersInTheBalticCodePage) {
  Start([](const SpeechKey& key, const SpeechCache::Output& out) { out(fakeMp3(key.text)); }, 12,
        TextEncoding::Windows1257);
  TxResponse r = service_->handle({page("0"), std::nullopt, "wqwqw"});
  EXPECT_EQ("0 Men\xFC\xFC\n1\tEsimene\n", r.body);
  EXPECT_EQ("text/plain; charset=windows-1257", r.contentType);
}

// The front end on a free loopback port, serving on a thread of its own.
class FrontEndTest : public ServiceFixture {
 protected:
  void Serve() {
    FrontEnd::Settings settings;
    settings.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_ += line + "\n";
    };
    front_ = std::make_unique<FrontEnd>(*service_, settings);
    port_ = front_->bind("127.0.0.1", 0);
    ASSERT_GT(port_, 0);
    serving_ = std::thread([this] { served_ = front_->run(); });
  }
  void TearDown() override {
    Stop();
    ServiceFixture::TearDown();
  }
  void Stop() {
    if (!front_) return;
    front_->beginStop();
    cache_->stop();
    front_->stop();
    serving_.join();
    front_.reset();
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

  std::unique_ptr<FrontEnd> front_;
  int port_ = 0;
  std::thread serving_;
  bool served_ = false;
  std::string log_;
};

TEST_F(FrontEndTest, FixedBodiesAndErrorAnswers) {
  Start();
  Serve();
  HttpAnswer text = httpGet(port_, page("01"), kCode);
  EXPECT_TRUE(text.ok);
  EXPECT_EQ(200, text.status);
  EXPECT_EQ("Lühike tekst.", text.body);
  EXPECT_EQ(std::to_string(text.body.size()), text.headers["content-length"]);

  // Speech made once, then sent from the cache with its length.
  HttpAnswer made = httpGet(port_, page("01", "&w=1"), kCode);
  HttpAnswer stored = httpGet(port_, page("01", "&w=1"), kCode);
  EXPECT_EQ(fakeMp3("Lühike tekst."), stored.body);
  EXPECT_EQ(made.body, stored.body);
  EXPECT_EQ(std::to_string(stored.body.size()), stored.headers["content-length"]);
  EXPECT_EQ(1u, Spoken().size());

  HttpAnswer elsewhere = httpGet(port_, "/pages/01.txt", kCode);
  EXPECT_EQ(404, elsewhere.status);
  EXPECT_EQ(pageNotFoundMessage("").text + "\n", elsewhere.body);

  std::vector<std::string> many = kCode;
  for (int i = 0; i < 100; ++i)
    many.push_back("X-" + std::to_string(i) + ": " + std::string(200, 'x'));
  EXPECT_EQ(431, httpGet(port_, page("01"), many).status);

  const std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("GET q=01 w=0 200 14 bytes ")) << log;
  EXPECT_NE(std::string::npos, log.find("GET q=01 w=1 200 4000 bytes ")) << log;
}

TEST_F(FrontEndTest, SpeechGoesOutWhileItIsMadeAndEndsWithTheConnection) {
  Gate& gate = gate_;
  Start([&](const SpeechKey& key, const SpeechCache::Output& out) {
    out(fakeMp3(key.text));
    gate.Wait();
    out(std::string(6000, 'b'));
  });
  Serve();
  HttpExchange exchange(port_, getRequest(page("01", "&w=1"), kCode));
  ASSERT_TRUE(exchange.readBody(4000, 10000)) << "the first bytes came before the rest was made";
  gate.Open();
  HttpAnswer a = exchange.finish(10000);
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(fakeMp3("Lühike tekst.") + std::string(6000, 'b'), a.body);
  EXPECT_EQ(0u, a.headers.count("content-length"));
  EXPECT_EQ("close", a.headers["connection"]);
  EXPECT_EQ(0u, a.headers.count("keep-alive"));
}

TEST_F(FrontEndTest, FailedSynthesis_A500WithoutItsTextBeforeTheFirstByte_AResetAfterIt) {
  Gate& gate = gate_;
  Start([&](const SpeechKey& key, const SpeechCache::Output& out) {
    if (key.text == "Lühike tekst.") throw std::runtime_error("espeak-ng: /usr/lib/secret.so");
    out(fakeMp3(key.text));
    gate.Wait();
    throw std::runtime_error("LAME failed");
  });
  Serve();
  HttpAnswer before = httpGet(port_, page("01", "&w=1"), kCode);
  EXPECT_EQ(500, before.status);
  EXPECT_EQ(serverErrorMessage().text + "\n", before.body);
  EXPECT_NE(std::string::npos, Log().find("error: espeak-ng: /usr/lib/secret.so"));

  HttpExchange after(port_, getRequest(page("0", "&w=1"), kCode));
  ASSERT_TRUE(after.readBody(4000, 10000));
  gate.Open();
  HttpAnswer broken = after.finish(10000);
  EXPECT_TRUE(broken.reset) << "a part must never look like the whole";
  EXPECT_FALSE(broken.ok);
}

TEST_F(FrontEndTest, StopBreaksOffAStreamAndEndsTheServing) {
  Gate& never = gate_;
  Start([&](const SpeechKey& key, const SpeechCache::Output& out) {
    out(fakeMp3(key.text));
    never.Wait();
  });
  Serve();
  HttpExchange exchange(port_, getRequest(page("01", "&w=1"), kCode));
  ASSERT_TRUE(exchange.readBody(4000, 10000));
  std::thread stopping([this] { Stop(); });
  HttpAnswer a = exchange.finish(10000);
  never.Open();  // the synthesis thread may go once the stop has told it to
  stopping.join();
  EXPECT_TRUE(a.reset);
  EXPECT_TRUE(served_);
  EXPECT_NE(std::string::npos, Log().find("broken off: the server is stopping")) << Log();
}

}  // namespace
