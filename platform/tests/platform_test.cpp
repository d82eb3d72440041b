#include <chrono>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <csignal>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
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

// Made afresh at every call, private, under the runtime folder, else $TMPDIR,
// else /tmp: a name another user made first blocks nothing.
TEST(Folders, TempFolderIsMadeAfresh) {
  ScratchFolder runtime;
  ScratchFolder tmpdir;
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  setenv("TMPDIR", tmpdir.path().c_str(), 1);
  const fs::path first = CreateUserTempFolder();
  const fs::path second = CreateUserTempFolder();
  ASSERT_FALSE(first.empty());
  EXPECT_NE(first, second);
  EXPECT_EQ(first.parent_path(), runtime.path());
  EXPECT_EQ(first.filename().string().rfind("vorla-", 0), 0u);
  struct stat info {};
  ASSERT_EQ(lstat(first.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(info.st_uid, getuid());
  EXPECT_TRUE(fs::is_empty(first));

  unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(CreateUserTempFolder().parent_path(), tmpdir.path());
  setenv("TMPDIR", (tmpdir.path() / "absent").c_str(), 1);
  EXPECT_TRUE(CreateUserTempFolder().empty());
  unsetenv("TMPDIR");
  const fs::path inTmp = CreateUserTempFolder();
  EXPECT_EQ(inTmp.parent_path(), "/tmp");
  fs::remove(inTmp);
}

TEST(Files, CreateFreshFileReplacesWhatStandsAtTheName) {
  ScratchFolder scratch;
  const fs::path file = scratch.path() / "vorlax.exe";
  const fs::path victim = scratch.path() / "victim";
  std::ofstream(victim) << "keep";
  std::ofstream(file) << "old installer";
  struct Row {
    const char* name;
    std::function<void()> plant;
  } rows[] = {
      {"nothing", [] {}},
      {"an older file", [&] { std::ofstream(file) << "old installer"; }},
      {"a link", [&] { fs::create_symlink(victim, file); }},
      {"a pipe", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0666), 0); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::error_code ignored;
    fs::remove(file, ignored);
    row.plant();
    const int fd = CreateFreshFile(file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "new", 3), 3);
    close(fd);
    EXPECT_EQ(ReadFile(file), "new");
    struct stat info {};
    ASSERT_EQ(lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
  }
  EXPECT_EQ(ReadFile(victim), "keep");

  // What cannot be removed is not written through: the caller reports it.
  fs::remove(file);
  fs::create_directories(file / "inside");
  EXPECT_EQ(CreateFreshFile(file), -1);
}

// A file that stays at the name, as another user's does in a sticky folder:
// root may remove those, so a mount pins it there instead.
TEST(Files, CreateFreshFileRefusesWhatCannotBeRemoved) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    GTEST_SKIP() << "no mount namespace here";
  ScratchFolder scratch;
  const fs::path file = scratch.path() / "vorlax.exe";
  const fs::path victim = scratch.path() / "victim";
  std::ofstream(victim) << "keep";
  const fs::path pipe = scratch.path() / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
  for (const fs::path& planted : {victim, pipe}) {
    SCOPED_TRACE(planted.filename());
    std::ofstream(file).flush();
    ASSERT_EQ(mount(planted.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0);
    const int fd = CreateFreshFile(file);  // a pipe must not block this
    umount2(file.c_str(), MNT_DETACH);
    EXPECT_EQ(fd, -1);
    if (fd >= 0)
      close(fd);
  }
  EXPECT_EQ(ReadFile(victim), "keep");
}

// What the checks after the open refuse, should anything get past O_EXCL.
TEST(Files, OnlyAnOwnRegularFileWithOneNameIsOurs) {
  ScratchFolder scratch;
  const fs::path own = scratch.path() / "own";
  std::ofstream(own) << "x";
  const fs::path foreign = scratch.path() / "foreign";
  std::ofstream(foreign) << "x";
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  const fs::path pipe = scratch.path() / "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0666), 0);
  const fs::path linked = scratch.path() / "linked";
  std::ofstream(linked) << "x";
  fs::create_hard_link(linked, scratch.path() / "second name");
  struct Row {
    const char* name;
    const fs::path& path;
    bool ours;
  } rows[] = {
      {"own", own, true},
      {"another user's", foreign, false},
      {"a pipe", pipe, false},
      {"a second name", linked, false},
      {"a folder", scratch.path(), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int fd = open(row.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(IsOwnSoleFile(fd), row.ours);
    close(fd);
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

// The program gets neither our descriptors nor our ignored SIGXFSZ.
TEST(Process, StartsClean) {
  ScratchFolder scratch;
  const fs::path marker = scratch.path() / "marker";
  const int inherited = open("/dev/null", O_RDONLY);  // no O_CLOEXEC: would be inherited
  ASSERT_GE(inherited, 3);
  const fs::path script = scratch.path() / "tool";
  std::ofstream(script) << "#!/bin/sh\n{ if [ -e /proc/$$/fd/" << inherited
                        << " ]; then echo inherited; else echo clean; fi\n"
                        << "  grep '^SigIgn:' /proc/$$/status | cut -f2; } > \"" << marker.string()
                        << ".part\"\nmv \"" << marker.string() << ".part\" \"" << marker.string() << "\"\n";
  fs::permissions(script, fs::perms::owner_all);
  const auto saved = std::signal(SIGXFSZ, SIG_IGN);
  const bool started = StartDetached(script, {});
  std::signal(SIGXFSZ, saved);
  close(inherited);
  ASSERT_TRUE(started);
  ASSERT_TRUE(WaitForFile(marker, std::chrono::seconds(10)));
  std::istringstream lines(ReadFile(marker));
  std::string descriptor, ignored;
  std::getline(lines, descriptor);
  std::getline(lines, ignored);
  EXPECT_EQ(descriptor, "clean");
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & (1ull << (SIGXFSZ - 1)), 0u) << ignored;
}

TEST(Process, MissingOrUnrunnableProgramIsReported) {
  ScratchFolder scratch;
  EXPECT_FALSE(StartDetached(scratch.path() / "absent", {}));
  const fs::path plain = scratch.path() / "not-executable";
  std::ofstream(plain) << "#!/bin/sh\n";
  EXPECT_FALSE(StartDetached(plain, {}));
}

}  // namespace
