#include "platform/platform.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorla::platform {

int CreateFreshFile(const std::filesystem::path& path) {
  // In a folder others can write to, whatever stands at this name may be
  // theirs: it must go, and the open below must create the file itself.
  if (unlink(path.c_str()) != 0 && errno != ENOENT)
    return -1;
  // O_EXCL refuses anything planted since the unlink, a link included;
  // O_NONBLOCK keeps a planted pipe from holding the open forever.
  const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (file < 0)
    return -1;
  if (!IsOwnSoleFile(file)) {
    close(file);
    return -1;
  }
  return file;
}

bool IsOwnSoleFile(int file) {
  struct stat info {};
  return fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() && info.st_nlink == 1;
}

}  // namespace vorla::platform
