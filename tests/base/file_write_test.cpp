// The shared file plumbing: a whole buffer through a descriptor that takes it in parts,
// and files replaced (or kept) atomically, never through a link, with nothing left over
// when a step fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/file_write.h"
#include "base/unique_fd.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class FileWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tr-base-test-XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  size_t FileCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {}));
  }
  std::string dir_;
};

TEST_F(FileWriteTest, WriteAll_PassesABufferLargerThanThePipeInParts) {
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  tr_base::UniqueFd readEnd(ends[0]);
  tr_base::UniqueFd writeEnd(ends[1]);
  const std::string data(1 << 20, 'x');  // sixteen times a pipe's buffer
  std::string got;
  std::thread reader([&] {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(readEnd.get(), buffer, sizeof buffer)) > 0)
      got.append(buffer, static_cast<size_t>(n));
  });
  EXPECT_TRUE(tr_base::WriteAll(writeEnd.get(), data));
  writeEnd.reset();
  reader.join();
  EXPECT_EQ(data.size(), got.size());

  // A descriptor that cannot be written reports why.
  EXPECT_FALSE(tr_base::WriteAll(readEnd.get(), "x"));
  EXPECT_EQ(EBADF, errno);
}

TEST_F(FileWriteTest, Replace_NeverWritesThroughALinkAndLeavesNoTemporary) {
  std::ofstream(Path("victim")) << "precious";
  ASSERT_EQ(0, ::symlink(Path("victim").c_str(), Path("port").c_str()));
  EXPECT_EQ(0, tr_base::WriteFileAtomically(Path("port"), "8080\n", {.mode = 0644, .sync = true}));
  EXPECT_EQ("precious", ReadAll(Path("victim")));
  EXPECT_EQ("8080\n", ReadAll(Path("port")));
  struct stat st {};
  ASSERT_EQ(0, ::lstat(Path("port").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(0644u, st.st_mode & 07777);
  EXPECT_EQ(2u, FileCount());
}

TEST_F(FileWriteTest, KeepExisting_LeavesAFileOrALinkAsItIs) {
  std::ofstream(Path("vk_1.mp3")) << "stale";
  ASSERT_EQ(0, ::symlink(Path("nowhere").c_str(), Path("vk_2.mp3").c_str()));
  for (const char* name : {"vk_1.mp3", "vk_2.mp3", "vk_3.mp3"})
    EXPECT_EQ(0, tr_base::WriteFileAtomically(Path(name), "fresh", {.replace = false})) << name;
  EXPECT_EQ("stale", ReadAll(Path("vk_1.mp3")));
  EXPECT_TRUE(fs::is_symlink(Path("vk_2.mp3")));
  EXPECT_EQ("fresh", ReadAll(Path("vk_3.mp3")));
  EXPECT_EQ(3u, FileCount());
}

TEST_F(FileWriteTest, AFailedStep_ReportsItsErrorAndRemovesTheTemporary) {
  EXPECT_EQ(ENOENT, tr_base::WriteFileAtomically(Path("missing/file"), "x"));
  fs::create_directory(Path("folder"));
  std::ofstream(Path("folder/inside")) << "x";
  // rename() cannot put a file over a folder that holds something.
  EXPECT_NE(0, tr_base::WriteFileAtomically(Path("folder"), "x"));
  EXPECT_EQ(1u, FileCount());
}

TEST(UniqueFdTest, CleanUpKeepsTheErrorBeingReported) {
  {
    tr_base::UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    errno = ENOSPC;
  }
  EXPECT_EQ(ENOSPC, errno);
}

}  // namespace
