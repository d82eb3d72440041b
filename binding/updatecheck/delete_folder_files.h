#pragma once

#include <filesystem>

namespace vorla {

// Deletes every file below `folder`, at every depth, and keeps every folder,
// `folder` itself included. A symbolic link is removed as an entry and never
// followed, so nothing outside `folder` is touched, however deep the tree.
// What cannot be deleted stays; a missing folder, or one that is itself a
// link, is left alone. Any thread; no Qt.
void DeleteFolderFiles(const std::filesystem::path& folder);

}  // namespace vorla
