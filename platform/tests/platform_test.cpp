#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {
namespace fs = std::filesystem;
using namespace vorla::platform;

class ScratchFolder {
 public:
  ScratchFolder() {
    char name[] = "/tmp/vorla-platform-test-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Polls for a file another process writes; bounded.
bool WaitForFile(const fs::path& path, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (fs::exists(path) && !ReadFile(path).empty())
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST(Folders, DataFolderFollowsXdgDataHome) {
  setenv("XDG_DATA_HOME", "/somewhere/data", 1);
  EXPECT_EQ(DataFolder(), "/somewhere/data/vorla");
  setenv("XDG_DATA_HOME", "", 1);
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(DataFolder(), "/home/someone/.local/share/vorla");
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  EXPECT_TRUE(DataFolder().empty());
}

TEST(Folders, DocumentsFolderReadsUserDirs) {
  ScratchFolder scratch;
  setenv("HOME", scratch.path().c_str(), 1);
  setenv("XDG_CONFIG_HOME", scratch.path().c_str(), 1);
  EXPECT_EQ(DocumentsFolder(), scratch.path() / "Documents");
  std::ofstream(scratch.path() / "user-dirs.dirs") << "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
  EXPECT_EQ(DocumentsFolder(), scratch.path() / "Dokumente");
  std::ofstream(scratch.path() / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n";
  EXPECT_EQ(DocumentsFolder(), "/srv/docs");
  unsetenv("XDG_CONFIG_HOME");
}

TEST(Folders, TempFolderIsTmpdirOrPrivate) {
  setenv("TMPDIR", "/var/tmp/mine", 1);
  EXPECT_EQ(UserTempFolder(), "/var/tmp/mine");
  unsetenv("TMPDIR");
  const fs::path folder = UserTempFolder();
  ASSERT_FALSE(folder.empty());
  struct stat info {};
  ASSERT_EQ(lstat(folder.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, getuid());

  // Opened up to others: no longer private, refused.
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  EXPECT_TRUE(UserTempFolder().empty());
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);

  // A link planted in its place is refused, wherever it points.
  if (fs::is_empty(folder)) {
    ScratchFolder target;
    fs::remove(folder);
    fs::create_directory_symlink(target.path(), folder);
    EXPECT_TRUE(UserTempFolder().empty());
    fs::remove(folder);
    EXPECT_EQ(UserTempFolder(), folder);
  }
}

TEST(Process, StartsDetachedWithArgumentsAndDoesNotWait) {
  ScratchFolder scratch;
  const fs::path script = scratch.path() / "tool";
  const fs::path marker = scratch.path() / "marker";
  std::ofstream(script) << "#!/bin/sh\nsleep 1\necho \"$# $1|$2\" > \"" << marker.string()
                        << ".part\"\nps -o sid= -p $$ >> \"" << marker.string() << ".part\"\nmv \""
                        << marker.string() << ".part\" \"" << marker.string() << "\"\n";
  fs::permissions(script, fs::perms::owner_all);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(StartDetached(script, {"-vorla", "two words"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_FALSE(fs::exists(marker));
  ASSERT_TRUE(WaitForFile(marker, std::chrono::seconds(10)));
  std::istringstream lines(ReadFile(marker));
  std::string arguments, session;
  std::getline(lines, arguments);
  std::getline(lines, session);
  EXPECT_EQ(arguments, "2 -vorla|two words");
  EXPECT_NE(std::stol(session), static_cast<long>(getsid(0)));  // a session of its own
}

TEST(Process, MissingOrUnrunnableProgramIsReported) {
  ScratchFolder scratch;
  EXPECT_FALSE(StartDetached(scratch.path() / "absent", {}));
  const fs::path plain = scratch.path() / "not-executable";
  std::ofstream(plain) << "#!/bin/sh\n";
  EXPECT_FALSE(StartDetached(plain, {}));
}

}  // namespace
