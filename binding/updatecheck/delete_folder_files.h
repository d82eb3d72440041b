#pragma once

#include <atomic>
#include <filesystem>

namespace vorla {

// Deletes every file below `folder`, at every depth, and keeps every folder,
// `folder` itself included. A symbolic link is removed as an entry and never
// followed, so nothing outside `folder` is touched, however deep the tree.
// What cannot be deleted stays; a missing folder, or one that is itself a
// link, is left alone. Any thread; no Qt.
void DeleteFolderFiles(const std::filesystem::path& folder);

// Removes `folder` and everything below it, folders included, behind the same
// fences; a link or a file at `folder` goes as an entry. Once `stop` is set it
// ends before the next entry and leaves the rest. Any thread; no Qt.
void RemoveFolder(const std::filesystem::path& folder, const std::atomic<bool>& stop);

}  // namespace vorla
