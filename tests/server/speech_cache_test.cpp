// The speech cache with a scripted synthesiser: hits, one synthesis for concurrent
// requests of the same text, no waiting of cached answers behind a synthesis, and
// entries that are whole or absent.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <thread>
#include <vector>

#include "gate.h"
#include "server_process.h"
#include "speech_cache.h"

namespace {

namespace fs = std::filesystem;

// Bytes that pass as a speech entry: an MPEG frame header, then the text.
std::string fakeMp3(const std::string& text) {
  std::string bytes = "\xFF\xFB\x50\xC4" + text;
  bytes.resize(4000, '\0');
  return bytes;
}

// A synthesiser that makes all of its bytes at once, as a script says.
SpeechCache::Synthesise scripted(std::function<std::string(const SpeechKey&)> make) {
  return [make](const SpeechKey& key, const SpeechCache::Output& out) { out(make(key)); };
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

class SpeechCacheTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTempDir(); }
  void TearDown() override { removeTree(dir_); }
  std::string dir_;
  std::atomic<int> calls_{0};
};

TEST_F(SpeechCacheTest, SecondRequestIsServedFromDisk) {
  SpeechCache cache(dir_ + "/sub/folder", scripted([&](const SpeechKey& k) {
                      ++calls_;
                      return fakeMp3(k.text);
                    }));
  SpeechKey key{"Tere", "2", "0"};
  std::string first = cache.get(key);
  EXPECT_EQ(cache.get(key), first);
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(cache.hits(), 1u);
  EXPECT_TRUE(fs::exists(cache.entryPath(key)));
  EXPECT_EQ(fs::status(dir_ + "/sub/folder").permissions() & fs::perms::all, fs::perms::owner_all);

  // Rate, voice and text each make a different entry.
  cache.get({"Tere", "3", "0"});
  cache.get({"Tere", "2", "1"});
  cache.get({"Tere!", "2", "0"});
  EXPECT_EQ(calls_, 4);

  // A new cache over the same folder (a restarted server) finds the entry.
  SpeechCache again(dir_ + "/sub/folder", scripted([&](const SpeechKey&) -> std::string {
                      ADD_FAILURE() << "synthesised again";
                      return "";
                    }));
  EXPECT_EQ(again.get(key), first);
}

TEST_F(SpeechCacheTest, ConcurrentRequestsForOneTextSynthesiseOnce) {
  Gate gate;
  SpeechCache cache(dir_, scripted([&](const SpeechKey& k) {
                      ++calls_;
                      gate.Wait();
                      return fakeMp3(k.text);
                    }));
  std::vector<std::future<std::string>> answers;
  for (int i = 0; i < 8; ++i)
    answers.push_back(std::async(std::launch::async, [&] {
      return cache.get({"Sama", "2", "0"});
    }));
  // Every request has reached the cache (seven joined the first) before the synthesis may
  // finish.
  EXPECT_TRUE(eventually([&] { return cache.hits() == 7; }, std::chrono::seconds(10)));
  gate.Open();
  for (auto& a : answers) EXPECT_EQ(a.get(), fakeMp3("Sama"));
  EXPECT_EQ(calls_, 1);
}

TEST_F(SpeechCacheTest, CachedAnswerDoesNotWaitForAnotherSynthesis) {
  Gate gate;
  std::promise<void> started;
  SpeechCache cache(dir_, scripted([&](const SpeechKey& k) {
                      if (k.text == "Aeglane") {
                        started.set_value();
                        gate.Wait();
                      }
                      return fakeMp3(k.text);
                    }));
  cache.get({"Valmis", "2", "0"});
  auto slow = std::async(std::launch::async, [&] { return cache.get({"Aeglane", "2", "0"}); });
  started.get_future().wait();
  auto quick = std::async(std::launch::async, [&] { return cache.get({"Valmis", "2", "0"}); });
  EXPECT_EQ(quick.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "a cached answer waited behind a synthesis";
  gate.Open();
  EXPECT_EQ(slow.get(), fakeMp3("Aeglane"));
}

TEST_F(SpeechCacheTest, LateReaderGetsWhatWasMadeThenTheRest) {
  Gate gate;
  SpeechCache cache(dir_, [&](const SpeechKey&, const SpeechCache::Output& out) {
    ++calls_;
    out("\xFF\xFB\x50\xC4" + std::string(3000, 'a'));
    gate.Wait();
    out(std::string(3000, 'b'));
  });
  SpeechAnswer early = cache.open({"Pikk", "2", "0"});
  ASSERT_FALSE(early.size()) << "a synthesis, not a stored entry";
  early.waitForStart();
  SpeechAnswer late = cache.open({"Pikk", "2", "0"});
  SpeechAnswer::Chunk chunk = late.read(0, 10000, std::chrono::seconds(5));
  EXPECT_EQ(chunk.status, SpeechAnswer::Status::Data);
  EXPECT_EQ(chunk.bytes.size(), 3004u) << "what was made before it came";
  EXPECT_EQ(late.read(3004, 10000, std::chrono::milliseconds(50)).status,
            SpeechAnswer::Status::Waiting);
  gate.Open();
  std::string whole = late.readAll();
  EXPECT_EQ(whole.size(), 6004u);
  EXPECT_EQ(early.readAll(), whole);
  EXPECT_EQ(late.read(6004, 10000, std::chrono::seconds(5)).status, SpeechAnswer::Status::End);
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(cache.get({"Pikk", "2", "0"}), whole) << "then from the entry";
}

TEST_F(SpeechCacheTest, SynthesisThatNobodyReadsStops) {
  std::promise<void> stopped;
  SpeechCache cache(dir_, [&](const SpeechKey&, const SpeechCache::Output& out) {
    std::string frame = "\xFF\xFB\x50\xC4" + std::string(400, 'x');
    if (++calls_ > 1) {
      out(frame);
      return;
    }
    // Ten seconds of frames, as a synthesis makes them.
    for (int i = 0; i < 1000; ++i) {
      if (!out(frame)) {
        stopped.set_value();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  {
    SpeechAnswer a = cache.open({"Hüljatud", "2", "0"});
    SpeechAnswer b = cache.open({"Hüljatud", "2", "0"});
    a.waitForStart();
  }  // both requests went away
  EXPECT_EQ(std::future_status::ready, stopped.get_future().wait_for(std::chrono::seconds(8)));
  EXPECT_TRUE(filesIn(dir_).empty());
  // Asked again, it is made afresh rather than joined to the stopped one.
  SpeechAnswer again = cache.open({"Hüljatud", "2", "0"});
  again.waitForStart();
  EXPECT_EQ(calls_, 2);
}

TEST_F(SpeechCacheTest, FailedSynthesisLeavesNoEntryAndIsRetried) {
  bool fail = true;
  SpeechCache cache(dir_, [&](const SpeechKey& k, const SpeechCache::Output& out) {
    ++calls_;
    if (fail) {
      out(fakeMp3(k.text));
      throw std::runtime_error("synthesis failed");
    }
    out(fakeMp3(k.text));
  });
  SpeechAnswer broken = cache.open({"Viga", "2", "0"});
  EXPECT_NO_THROW(broken.waitForStart()) << "it had made bytes";
  std::string got;
  SpeechAnswer::Chunk chunk;
  while ((chunk = broken.read(got.size(), 1000, std::chrono::seconds(5))).status ==
         SpeechAnswer::Status::Data)
    got += chunk.bytes;
  EXPECT_EQ(chunk.status, SpeechAnswer::Status::Failed);
  EXPECT_THROW(broken.readAll(), std::runtime_error);
  EXPECT_TRUE(filesIn(dir_).empty());
  fail = false;
  EXPECT_EQ(cache.get({"Viga", "2", "0"}), fakeMp3("Viga"));
  EXPECT_EQ(calls_, 2);
  EXPECT_EQ(filesIn(dir_).size(), 2u) << "only the entry and its marks, no temporary file";
}

TEST_F(SpeechCacheTest, BrokenEntryIsMadeAgain) {
  SpeechCache cache(dir_, scripted([&](const SpeechKey& k) {
                      ++calls_;
                      return fakeMp3(k.text);
                    }));
  SpeechKey key{"Katki", "1", "4"};
  // What a writer without the rename could leave after a crash: half a file.
  writeFile(cache.entryPath(key), fakeMp3("Katki").substr(0, 1000));
  EXPECT_EQ(cache.get(key), fakeMp3("Katki"));
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(fs::file_size(cache.entryPath(key)), 4000u);
}

TEST_F(SpeechCacheTest, StaleTemporariesAreRemovedFreshOnesKept) {
  std::string stale = dir_ + "/abc.mp3.tmp.123456";
  std::string fresh = dir_ + "/def.mp3.tmp.654321";
  writeFile(stale, "half");
  writeFile(fresh, "half");
  utimbuf old{::time(nullptr) - 3600, ::time(nullptr) - 3600};
  ASSERT_EQ(::utime(stale.c_str(), &old), 0);
  SpeechCache cache(dir_, scripted([](const SpeechKey& k) { return fakeMp3(k.text); }));
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(fresh)) << "may belong to a server writing right now";
}

TEST_F(SpeechCacheTest, TooManyWaitingRequestsAreTurnedAway) {
  Gate gate;
  std::promise<void> started;
  SpeechCache cache(dir_, scripted([&](const SpeechKey& k) {
                      if (k.text == "Aeglane") {
                        started.set_value();
                        gate.Wait();
                      }
                      return fakeMp3(k.text);
                    }),
                    /*maxPending=*/1);
  cache.get({"Valmis", "2", "0"});  // fine: nothing pending
  auto slow = std::async(std::launch::async, [&] { return cache.get({"Aeglane", "2", "0"}); });
  started.get_future().wait();
  EXPECT_THROW(cache.get({"Teine", "2", "0"}), SpeechBusy);
  EXPECT_NO_THROW(cache.get({"Valmis", "2", "0"})) << "cached answers are not limited";
  gate.Open();
  slow.get();
}

TEST_F(SpeechCacheTest, UnusableFolderIsReported) {
  writeFile(dir_ + "/file", "x");
  EXPECT_THROW(
      SpeechCache(dir_ + "/file/sub", scripted([](const SpeechKey&) { return std::string(); })),
      SpeechCacheError);
}

}  // namespace
