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

// A folder made afresh for this caller, mode 0700 (mkdtemp): "vorla-XXXXXX"
// under $XDG_RUNTIME_DIR when set, else $TMPDIR, else /tmp. Empty when it
// cannot be made.
std::filesystem::path CreateUserTempFolder();

// Creates `path` afresh for writing only, mode 0600, and returns its
// descriptor; -1 when something at that name cannot be removed, or the new
// file is not ours alone (see IsOwnSoleFile). Never follows a link, never
// opens what another user planted, never blocks on a pipe.
int CreateFreshFile(const std::filesystem::path& path);

// True when the open `file` is a regular file owned by this user with no
// other name: a file someone else owns or can reach by a link of theirs is not.
bool IsOwnSoleFile(int file);

// Starts `program` with `arguments` in a session of its own, standard streams
// on /dev/null, no other inherited descriptor, default signal handling, and
// does not wait for it. True once the program is running;
// false when it could not be started.
bool StartDetached(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// The product's fixed version (major, minor, build, revision), or nothing for a
// build that carries no version information.
std::optional<std::array<uint16_t, 4>> ProductFixedVersion();
// The same as text, "3.0.0.7"; empty without version information.
std::string ProductVersionText();

}  // namespace vorla::platform
