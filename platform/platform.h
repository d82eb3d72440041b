#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the programs need from the operating system. No Qt; callable from any thread.
namespace vorla::platform {

// The running program's full path, and the folder it lies in.
std::filesystem::path ExecutablePath();
std::filesystem::path ExecutableFolder();

// $XDG_DATA_HOME, else ~/.local/share; empty when neither can be determined.
std::filesystem::path RoamingDataFolder();
// "vorla" in the roaming data folder: cache, cookies and the web version live here.
std::filesystem::path DataFolder();
// The XDG documents folder (user-dirs.dirs), else ~/Documents.
std::filesystem::path DocumentsFolder();

// $TMPDIR when set; else a folder private to the user, created with mode 0700.
// Empty when that private folder is a link, owned by someone else or not
// private, or cannot be created.
std::filesystem::path UserTempFolder();

// Starts `program` with `arguments` in a session of its own, standard streams
// on /dev/null, and does not wait for it. True once the program is running;
// false when it could not be started.
bool StartDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// The product's fixed version (major, minor, build, revision), or nothing for a
// build that carries no version information.
std::optional<std::array<uint16_t, 4>> ProductFixedVersion();

}  // namespace vorla::platform
