#include "reader/work_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class WorkFolderTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.path().toStdString() + "/" + name; }
  QTemporaryDir dir_;
};

TEST_F(WorkFolderTest, EachRefusedCandidateFallsThroughToTheNext) {
  // A candidate whose parent is missing, a symlink, a folder with the wrong mode and a
  // plain file are all refused; the next one that can be created is taken.
  ASSERT_EQ(0, ::mkdir(Path("open").c_str(), 0755));
  ASSERT_EQ(0, ::mkdir(Path("target").c_str(), 0700));
  ASSERT_EQ(0, ::symlink(Path("target").c_str(), Path("link").c_str()));
  std::ofstream(Path("file")) << "x";
  const std::vector<std::string> candidates = {Path("missing/parent/"), Path("link"), Path("open"),
                                               Path("file"), Path("fresh")};
  EXPECT_EQ(Path("fresh/"), FindWorkFolder(candidates));
  struct stat st {};
  ASSERT_EQ(0, ::lstat(Path("fresh").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0700u, st.st_mode & 07777);
}

TEST_F(WorkFolderTest, AnExistingPrivateFolderIsAcceptedWithATrailingSlash) {
  ASSERT_EQ(0, ::mkdir(Path("mine").c_str(), 0700));
  EXPECT_EQ(Path("mine/"), FindWorkFolder({Path("mine")}));
}

TEST_F(WorkFolderTest, AFolderOfAnotherOwnerIsRefused) {
  ASSERT_EQ(0, ::mkdir(Path("theirs").c_str(), 0700));
  if (::chown(Path("theirs").c_str(), 65534, 65534) != 0) GTEST_SKIP() << "needs root to chown";
  EXPECT_EQ(Path("next/"), FindWorkFolder({Path("theirs"), Path("next")}));
}

TEST_F(WorkFolderTest, NoUsableCandidateRaisesTheSystemsTextForTheLastFailure) {
  try {
    FindWorkFolder({Path("a/b"), Path("c/d")});
    FAIL() << "expected an exception";
  } catch (const Exception& e) {
    EXPECT_EQ(std::string(std::strerror(ENOENT)), e.Message());
  }
}

TEST_F(WorkFolderTest, AtomicWriteReplacesTheFileAndNeverWritesThroughALink) {
  std::ofstream(Path("victim")) << "precious";
  ASSERT_EQ(0, ::symlink(Path("victim").c_str(), Path("vorbu.ini").c_str()));
  WriteFileAtomically(Path("vorbu.ini"), "3\r\n0\r\n");
  EXPECT_EQ("precious", ReadAll(Path("victim")));
  EXPECT_EQ("3\r\n0\r\n", ReadAll(Path("vorbu.ini")));
  struct stat st {};
  ASSERT_EQ(0, ::lstat(Path("vorbu.ini").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  // No temporary file is left behind.
  EXPECT_EQ(2, QDir(dir_.path()).entryList(QDir::Files | QDir::System).size());
}

TEST_F(WorkFolderTest, WriteIfMissingLeavesAnExistingFileAlone) {
  std::ofstream(Path("vk_3.mp3")) << "stale";
  WriteFileIfMissing(Path("vk_3.mp3"), "fresh");
  EXPECT_EQ("stale", ReadAll(Path("vk_3.mp3")));
  WriteFileIfMissing(Path("vk_4.mp3"), "fresh");
  EXPECT_EQ("fresh", ReadAll(Path("vk_4.mp3")));
}

TEST_F(WorkFolderTest, EmptyFileReplacesContentButRefusesAPlantedLink) {
  std::ofstream(Path("vaikus.wav")) << "not silence";
  CreateEmptyFile(Path("vaikus.wav"));
  EXPECT_EQ("", ReadAll(Path("vaikus.wav")));

  std::ofstream(Path("victim")) << "precious";
  ASSERT_EQ(0, ::unlink(Path("vaikus.wav").c_str()));
  ASSERT_EQ(0, ::symlink(Path("victim").c_str(), Path("vaikus.wav").c_str()));
  EXPECT_THROW(CreateEmptyFile(Path("vaikus.wav")), EInOutError);
  EXPECT_EQ("precious", ReadAll(Path("victim")));
}

TEST_F(WorkFolderTest, WriteIntoAMissingFolderRaisesWithTheErrorCode) {
  try {
    WriteFileAtomically(Path("nowhere/vorbu.ini"), "2\r\n0\r\n");
    FAIL() << "expected an exception";
  } catch (const EInOutError& e) {
    EXPECT_EQ(ENOENT, e.ErrorCode());
  }
}

}  // namespace
