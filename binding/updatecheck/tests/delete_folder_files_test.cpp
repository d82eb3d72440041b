#include "updatecheck/delete_folder_files.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// "" the root itself, "x/" a folder, "x -> T" a link to T (with "@out" standing for the folder
// outside), "x|" a pipe, else a file.
void Build(const fs::path& root, const fs::path& outside, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (entry.empty() || entry.back() == '/') {
      fs::create_directories(root / entry);
    } else if (const size_t arrow = entry.find(" -> "); arrow != std::string::npos) {
      std::string target = entry.substr(arrow + 4);
      if (target.rfind("@out", 0) == 0)
        target = outside.string() + target.substr(4);
      fs::create_symlink(target, root / entry.substr(0, arrow));
    } else if (entry.back() == '|') {
      ASSERT_EQ(mkfifo((root / entry.substr(0, entry.size() - 1)).c_str(), 0600), 0);
    } else {
      std::ofstream(root / entry) << entry;
    }
  }
}

// Every entry below `root`, sorted, in Build's notation without link targets.
std::vector<std::string> List(const fs::path& root) {
  std::vector<std::string> entries;
  if (!fs::exists(fs::symlink_status(root)))
    return entries;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(entry.path(), root).string();
    entries.push_back(entry.is_symlink() ? name + "@" : entry.is_directory() ? name + "/" : name);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

class DeleteFolderFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "purge-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    Build(m_root / "outside", {}, {"", "keep", "inner/", "inner/deep"});
  }
  void TearDown() override {
    // rm copes with any depth; std::filesystem::remove_all may not.
    const std::string command = "rm -rf '" + m_root.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  fs::path Cache() const { return m_root / "cache"; }
  fs::path Outside() const { return m_root / "outside"; }

  fs::path m_root;
};

struct Row {
  const char* name;
  std::vector<std::string> cache;  // empty: no cache folder at all
  std::vector<std::string> after;
};

TEST_F(DeleteFolderFilesTest, EmptiesEveryDepthAndKeepsFoldersAndOutside) {
  const std::vector<std::string> outsideBefore = List(Outside());
  const Row rows[] = {
      {"nested files", {"", "a", ".hidden", "s/", "s/b", "s/t/", "s/t/c", "s/t/u/"}, {"s/", "s/t/", "s/t/u/"}},
      {"links out", {"", "to-file -> @out/keep", "s/", "s/to-folder -> @out", "s/to-inner -> @out/inner"}, {"s/"}},
      {"dangling link and pipe", {"", "gone -> @out/nothing", "pipe|"}, {}},
      {"missing folder", {}, {}},
      {"the folder is a link", {}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const bool linked = std::string(row.name) == "the folder is a link";
    fs::remove_all(Cache());
    if (linked)
      fs::create_directory_symlink(Outside(), Cache());
    else if (!row.cache.empty())
      Build(Cache(), Outside(), row.cache);

    vorla::DeleteFolderFiles(Cache());
    if (linked) {
      EXPECT_TRUE(fs::is_symlink(Cache()));
    } else {
      EXPECT_EQ(fs::exists(Cache()), !row.cache.empty());
      EXPECT_EQ(List(Cache()), row.after);
    }
    EXPECT_EQ(List(Outside()), outsideBefore);
  }
}

// The sweep of a cache moved aside: all of it goes, folders too, and nothing
// a link points at; told to stop, it leaves the rest.
TEST_F(DeleteFolderFilesTest, RemoveFolderTakesTheTreeAndNothingOutside) {
  const std::vector<std::string> outsideBefore = List(Outside());
  const Row rows[] = {
      {"nested, with links out", {"", "a", "s/", "s/b", "s/t/", "s/t/out -> @out", "s/inner -> @out/inner"}, {}},
      {"the folder is a link", {}, {}},
      {"stopped", {"", "a", "s/", "s/b"}, {"a", "s/", "s/b"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = row.name;
    fs::remove_all(Cache());
    if (name == "the folder is a link")
      fs::create_directory_symlink(Outside(), Cache());
    else
      Build(Cache(), Outside(), row.cache);

    const std::atomic<bool> stop{name == "stopped"};
    vorla::RemoveFolder(Cache(), stop);
    EXPECT_EQ(fs::exists(fs::symlink_status(Cache())), name == "stopped");
    EXPECT_EQ(List(Cache()), row.after);
    EXPECT_EQ(List(Outside()), outsideBefore);
  }
}

TEST_F(DeleteFolderFilesTest, PathsLongerThanPathMaxWithFewDescriptors) {
  // 1,600 levels of "dd/": 4,800 bytes of path, each level with a file, and a
  // link out at the bottom.
  constexpr int kDepth = 1600;
  int folder = open(m_root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  ASSERT_EQ(mkdirat(folder, "cache", 0700), 0);
  for (int level = 0; level <= kDepth; ++level) {
    const int next = openat(folder, level == 0 ? "cache" : "dd", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(next, 0) << level;
    close(folder);
    folder = next;
    close(openat(folder, "f", O_WRONLY | O_CREAT, 0600));
    if (level < kDepth) {
      ASSERT_EQ(mkdirat(folder, "dd", 0700), 0);
    }
  }
  ASSERT_EQ(symlinkat(Outside().c_str(), folder, "out"), 0);
  close(folder);

  // Far fewer descriptors than levels.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 32;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
  vorla::DeleteFolderFiles(Cache());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  folder = open(Cache().c_str(), O_RDONLY | O_DIRECTORY);
  int levels = 0;
  for (; folder >= 0; ++levels) {
    EXPECT_NE(faccessat(folder, "f", F_OK, AT_SYMLINK_NOFOLLOW), 0) << levels;
    const int next = openat(folder, "dd", O_RDONLY | O_DIRECTORY);
    if (next < 0) {
      EXPECT_NE(faccessat(folder, "out", F_OK, AT_SYMLINK_NOFOLLOW), 0);
    }
    close(folder);
    folder = next;
  }
  EXPECT_EQ(levels, kDepth + 1);
  EXPECT_TRUE(fs::exists(Outside() / "keep"));
  EXPECT_TRUE(fs::exists(Outside() / "inner" / "deep"));

  // The folders go as deep, with as few descriptors.
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limited), 0);
  vorla::RemoveFolder(Cache(), std::atomic<bool>{false});
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(fs::exists(Cache()));
}

}  // namespace
