// The two files behind the offer to silence a screen reader: Orca's settings for this
// program, created once and never through a link, and the remembered "no".
#include "reader/screen_reader_offer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "reader/work_folder.h"

namespace {

using Result = ScreenReaderDetection::Result;
namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every entry below `root`, with a link's target, as "path" or "path -> target".
std::vector<std::string> Tree(const std::string& root) {
  std::vector<std::string> entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string line = fs::relative(entry.path(), root).string();
    if (entry.is_symlink()) line += " -> " + fs::read_symlink(entry.path()).string();
    entries.push_back(line);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

class ScreenReaderOfferTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }
  ScreenReaderOffer Offer(Result found = Result::kRunning) {
    return ScreenReaderOffer([found] { return found; }, Path("data"), Path("state"));
  }
  QTemporaryDir dir_;
};

TEST_F(ScreenReaderOfferTest, AskedOnlyWhenAScreenReaderRunsAndNothingWasDecided) {
  for (Result r : {Result::kLooking, Result::kNoSessionBus, Result::kNone, Result::kNoAnswer}) {
    EXPECT_FALSE(Offer(r).ShouldAsk()) << static_cast<int>(r);
  }
  EXPECT_FALSE(Offer(Result::kLooking).Decided());
  EXPECT_TRUE(Offer().ShouldAsk());
  EXPECT_FALSE(ScreenReaderOffer([] { return Result::kRunning; }, "", Path("state")).ShouldAsk())
      << "nowhere to write the settings";
}

TEST_F(ScreenReaderOfferTest, TheSettingsFileIsMadeOnceWithItsFoldersAndNothingElseOfOrcas) {
  // Orca's own folder with its own settings, and no app-settings yet.
  fs::create_directories(Path("data/orca"));
  std::ofstream(Path("data/orca/user-settings.conf")) << "{\"general\": {}}";
  ScreenReaderOffer offer = Offer();
  ASSERT_TRUE(offer.ShouldAsk());
  EXPECT_TRUE(offer.Accept());
  EXPECT_EQ(Path("data/orca/app-settings/talking-reader.conf"), offer.SettingsPath());
  EXPECT_EQ(
      "{\"profiles\": {\"default\": {\"general\": {\"enableSpeech\": false, \"enableKeyEcho\": "
      "false},\n                          \"pronunciations\": {}, \"keybindings\": {}}}}\n",
      ReadAll(offer.SettingsPath()));
  EXPECT_EQ((std::vector<std::string>{"orca", "orca/app-settings",
                                      "orca/app-settings/talking-reader.conf",
                                      "orca/user-settings.conf"}),
            Tree(Path("data")))
      << "no temporary file left, nothing else touched";
  EXPECT_EQ("{\"general\": {}}", ReadAll(Path("data/orca/user-settings.conf")));
  EXPECT_FALSE(offer.ShouldAsk()) << "asked once";

  // The next time nothing is written over it, whatever it holds by then.
  std::ofstream(offer.SettingsPath()) << "the user's own";
  EXPECT_FALSE(offer.Accept());
  EXPECT_EQ("the user's own", ReadAll(offer.SettingsPath()));

  // A data folder that does not exist yet is made, private.
  ScreenReaderOffer fresh([] { return Result::kRunning; }, Path("new/share"), Path("state"));
  EXPECT_TRUE(fresh.Accept());
  struct stat st {};
  ASSERT_EQ(0, ::stat(Path("new/share").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST_F(ScreenReaderOfferTest, ALinkAtTheFileOrAFolderIsNeverFollowed) {
  struct Case {
    const char* what;
    std::string link;    // planted here, below the data folder
    std::string target;  // pointing here
    bool targetIsFolder;
    bool raises;  // Accept fails, rather than finding the file there
  } cases[] = {
      {"a link at the file", "orca/app-settings/talking-reader.conf", "elsewhere/file", false,
       false},
      {"a dangling link at the file", "orca/app-settings/talking-reader.conf", "elsewhere/none",
       false, false},
      {"a link at orca/", "orca", "elsewhere/dir", true, true},
      {"a link at app-settings/", "orca/app-settings", "elsewhere/dir", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Path("data"));
    fs::remove_all(Path("elsewhere"));
    fs::create_directories(Path("elsewhere/dir"));
    std::ofstream(Path("elsewhere/file")) << "not Orca's";
    fs::create_directories(fs::path(Path("data/" + c.link)).parent_path());
    ASSERT_EQ(0, ::symlink(Path(c.target).c_str(), Path("data/" + c.link).c_str()));
    const std::vector<std::string> elsewhere = Tree(Path("elsewhere"));

    ScreenReaderOffer offer = Offer();
    if (c.raises) {
      EXPECT_TRUE(offer.ShouldAsk());
      EXPECT_THROW(offer.Accept(), EInOutError);
    } else {
      EXPECT_FALSE(offer.ShouldAsk()) << "something is there already";
      EXPECT_FALSE(offer.Accept());
    }
    EXPECT_EQ(elsewhere, Tree(Path("elsewhere"))) << "written through the link";
    EXPECT_EQ("not Orca's", ReadAll(Path("elsewhere/file")));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(Path("data/" + c.link).c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced";
  }
}

TEST_F(ScreenReaderOfferTest, NoIsRememberedPrivatelyAndNeverAskedAgain) {
  // A state folder someone left open is made private.
  fs::create_directories(Path("state/talking-reader"));
  ::chmod(Path("state/talking-reader").c_str(), 0755);

  ScreenReaderOffer offer = Offer();
  ASSERT_TRUE(offer.ShouldAsk());
  offer.Decline();
  EXPECT_FALSE(offer.ShouldAsk());
  EXPECT_FALSE(Offer().ShouldAsk()) << "the next start does not ask";
  EXPECT_FALSE(fs::exists(offer.SettingsPath())) << "no means nothing of Orca's";
  struct stat st {};
  ASSERT_EQ(0, ::lstat(Path("state/talking-reader").c_str(), &st));
  EXPECT_EQ(0700u, st.st_mode & 0777);
  ASSERT_EQ(0, ::lstat(offer.DeclinedPath().c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ((std::vector<std::string>{"talking-reader", "talking-reader/screen-reader-declined"}),
            Tree(Path("state")))
      << "no temporary file left";

  // A link planted at the answer's name is replaced, not written through.
  std::ofstream(Path("target")) << "untouched";
  fs::remove(offer.DeclinedPath());
  ASSERT_EQ(0, ::symlink(Path("target").c_str(), offer.DeclinedPath().c_str()));
  offer.Decline();
  ASSERT_EQ(0, ::lstat(offer.DeclinedPath().c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ("untouched", ReadAll(Path("target")));

  // A state folder that cannot be made is an error the caller reports.
  std::ofstream(Path("blocked")) << "a file, not a folder";
  ScreenReaderOffer blocked([] { return Result::kRunning; }, Path("data"), Path("blocked"));
  EXPECT_THROW(blocked.Decline(), EInOutError);
}

}  // namespace
