#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace vorla::platform {
namespace fs = std::filesystem;
namespace {

fs::path HomeFolder() {
  const char* home = std::getenv("HOME");
  return home && *home ? fs::path(home) : fs::path();
}

// The value of XDG_DOCUMENTS_DIR in user-dirs.dirs: XDG_DOCUMENTS_DIR="$HOME/Dokumente".
fs::path DocumentsFromUserDirs(const fs::path& home) {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  const fs::path file = (config && *config ? fs::path(config) : home / ".config") / "user-dirs.dirs";
  std::ifstream in(file);
  std::string line;
  constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=\"";
  while (std::getline(in, line)) {
    if (line.rfind(kKey, 0) != 0 || line.size() < kKey.size() + 1 || line.back() != '"')
      continue;
    std::string value = line.substr(kKey.size(), line.size() - kKey.size() - 1);
    if (value.rfind("$HOME", 0) == 0)
      return home / fs::path(value.substr(5)).relative_path();
    if (!value.empty() && value[0] == '/')
      return value;
  }
  return {};
}

}  // namespace

fs::path ExecutablePath() {
  std::error_code error;
  fs::path path = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : path;
}

fs::path ExecutableFolder() {
  return ExecutablePath().parent_path();
}

fs::path RoamingDataFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/')
    return data;
  const fs::path home = HomeFolder();
  return home.empty() ? fs::path() : home / ".local" / "share";
}

fs::path DataFolder() {
  const fs::path roaming = RoamingDataFolder();
  return roaming.empty() ? fs::path() : roaming / "vorla";
}

fs::path DocumentsFolder() {
  const fs::path home = HomeFolder();
  if (home.empty())
    return {};
  fs::path documents = DocumentsFromUserDirs(home);
  return documents.empty() ? home / "Documents" : documents;
}

fs::path CreateUserTempFolder() {
  const char* base = std::getenv("XDG_RUNTIME_DIR");
  if (!base || !*base)
    base = std::getenv("TMPDIR");
  if (!base || !*base)
    base = "/tmp";
  // Made afresh under a name nobody could take first: a fixed name in a
  // shared /tmp is another user's to create, and to block us with.
  std::string name = (fs::path(base) / "vorla-XXXXXX").string();
  if (!mkdtemp(name.data()))
    return {};
  return name;
}

}  // namespace vorla::platform
