#include "updatecheck/delete_folder_files.h"

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorla {
namespace {

// O_NOFOLLOW with O_DIRECTORY: a link, to a folder or anything else, is never opened as a folder.
constexpr int kOpenFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A folder between `folder` and the one being emptied: who it is, its name in
// the folder above, and the subfolders still to visit.
struct Level {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;
  std::vector<std::string> subfolders;
};

bool Stopped(const std::atomic<bool>* stop) {
  return stop && stop->load(std::memory_order_relaxed);
}

// Deletes the files directly in the open folder `folder` and returns the names
// of its subfolders.
std::vector<std::string> DeleteFilesIn(int folder, const std::atomic<bool>* stop) {
  std::vector<std::string> subfolders;
  // fdopendir takes over its descriptor; `folder` stays ours for the *at calls.
  const int reading = dup(folder);
  if (reading < 0)
    return subfolders;
  DIR* stream = fdopendir(reading);
  if (!stream) {
    close(reading);
    return subfolders;
  }
  // Every name is read before anything goes: entries removed while a folder
  // is being read may make readdir pass over others.
  std::vector<std::pair<std::string, unsigned char>> entries;
  while (const dirent* entry = readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..")
      entries.emplace_back(name, entry->d_type);
  }
  closedir(stream);

  for (auto& [name, type] : entries) {
    if (Stopped(stop))
      break;
    if (type == DT_UNKNOWN) {  // some file systems do not say; ask without following
      struct stat info {};
      if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
    }
    if (type == DT_DIR) {
      subfolders.push_back(std::move(name));
      continue;
    }
    // Links, sockets and pipes go as entries; nothing is opened. Best effort:
    // a file we may not delete stays. A file that became a folder since it
    // was listed is visited like one.
    if (unlinkat(folder, name.c_str(), 0) != 0 && errno == EISDIR)
      subfolders.push_back(std::move(name));
  }
  return subfolders;
}

bool Identify(int folder, Level& level) {
  struct stat info {};
  if (fstat(folder, &info) != 0)
    return false;
  level.device = info.st_dev;
  level.inode = info.st_ino;
  return true;
}

// Empties the tree below the open folder `current`, which it takes over: every
// file goes, and with `removeFolders` every folder below it too.
void EmptyTree(int current, bool removeFolders, const std::atomic<bool>* stop) {
  // One descriptor is held at a time and every step is relative to it, so no
  // depth runs out of descriptors and no path grows too long.
  std::vector<Level> levels(1);  // from `folder` down to `current`
  if (!Identify(current, levels.back())) {
    close(current);
    return;
  }
  levels.back().subfolders = DeleteFilesIn(current, stop);

  while (current >= 0 && !Stopped(stop)) {
    Level& level = levels.back();
    if (!level.subfolders.empty()) {
      const std::string name = std::move(level.subfolders.back());
      level.subfolders.pop_back();
      const int child = openat(current, name.c_str(), kOpenFolder);
      if (child < 0)
        continue;  // gone, not ours to read, or replaced by a link
      Level below;
      if (!Identify(child, below)) {
        close(child);
        continue;
      }
      close(current);
      current = child;
      below.name = name;
      below.subfolders = DeleteFilesIn(current, stop);
      levels.push_back(std::move(below));
      continue;
    }
    const std::string emptied = std::move(level.name);
    levels.pop_back();
    if (levels.empty())
      break;
    // Up through "..", which must be the folder we came down from: had part of
    // the tree been moved meanwhile, ".." could lie outside `folder`.
    const int parent = openat(current, "..", kOpenFolder);
    close(current);
    current = parent;
    Level found;
    if (current >= 0 && (!Identify(current, found) || found.device != levels.back().device ||
                         found.inode != levels.back().inode)) {
      close(current);
      current = -1;
    }
    // Best effort: a folder that still holds what could not be deleted stays.
    if (current >= 0 && removeFolders)
      unlinkat(current, emptied.c_str(), AT_REMOVEDIR);
  }
  if (current >= 0)
    close(current);
}

}  // namespace

void DeleteFolderFiles(const std::filesystem::path& folder) {
  const int top = open(folder.c_str(), kOpenFolder);
  if (top >= 0)  // else missing, not a folder, or a link
    EmptyTree(top, false, nullptr);
}

void RemoveFolder(const std::filesystem::path& folder, const std::atomic<bool>& stop) {
  const int top = open(folder.c_str(), kOpenFolder);
  if (top < 0) {
    // A link or a file goes as it is; the link's target is never looked at.
    if (errno == ELOOP || errno == ENOTDIR)
      unlink(folder.c_str());
    return;
  }
  EmptyTree(top, true, &stop);
  // Only an empty folder goes, whatever has come to stand at the name meanwhile.
  if (!stop.load(std::memory_order_relaxed))
    rmdir(folder.c_str());
}

}  // namespace vorla
