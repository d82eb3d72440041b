#include "updatecheck/cache_purge.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "updatecheck/delete_folder_files.h"

namespace vorla {
namespace {
namespace fs = std::filesystem;

const char kCacheFolder[] = "cache";
// Only the sweep reads what goes by this name; the engine never sees it.
const char kMovedAsidePrefix[] = "cache.old-";
// A sweep told to stop ends before its next entry, in well under this.
constexpr std::chrono::milliseconds kStopWait(100);
// The start to the sign-in page takes about a second; the sweep keeps off the
// disk meanwhile, which a file system that discards freed blocks at once
// would make the engine wait for.
constexpr std::chrono::seconds kSettle(2);

// One sweep's worker and the program's end share this; the worker is detached
// and holds its own reference, so either may go first.
struct Sweep {
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable changed;
  bool hurry = false;  // under `mutex`: the program ends, no more waiting
  bool done = false;   // under `mutex`
};

// Cancel by shared flag: the sweeps started and not yet finished, for the
// program's end to stop. Any thread, under the mutex.
std::mutex g_sweepsMutex;
std::vector<std::shared_ptr<Sweep>> g_sweeps;

// "cache.old-4711-1733824800123456789": the process and the moment make it unique.
std::string MovedAsideName() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return kMovedAsidePrefix + std::to_string(getpid()) + '-' +
         std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

std::vector<std::string> MovedAside(const fs::path& dataFolder) {
  std::vector<std::string> names;
  DIR* folder = opendir(dataFolder.c_str());
  if (!folder)
    return names;
  while (const dirent* entry = readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name.size() > sizeof kMovedAsidePrefix - 1 && name.rfind(kMovedAsidePrefix, 0) == 0)
      names.emplace_back(name);
  }
  closedir(folder);
  return names;
}

void SweepThreadProc(fs::path dataFolder, std::shared_ptr<Sweep> sweep) {
  // The engine starts meanwhile and comes first for the cores. Best effort:
  // at normal priority the sweep is only done sooner.
  setpriority(PRIO_PROCESS, gettid(), 19);
  {
    std::unique_lock lock(sweep->mutex);
    sweep->changed.wait_for(lock, kSettle, [&] { return sweep->hurry; });
  }
  for (const std::string& name : MovedAside(dataFolder)) {
    if (sweep->stop)
      break;
    RemoveFolder(dataFolder / name, sweep->stop);
  }
  {
    const std::lock_guard lock(sweep->mutex);
    sweep->done = true;
  }
  sweep->changed.notify_all();
}

// True when every sweep has finished by `deadline`.
bool WaitFor(const std::vector<std::shared_ptr<Sweep>>& sweeps, std::chrono::steady_clock::time_point deadline) {
  bool all = true;
  for (const auto& sweep : sweeps) {
    std::unique_lock lock(sweep->mutex);
    all = sweep->changed.wait_until(lock, deadline, [&] { return sweep->done; }) && all;
  }
  return all;
}

}  // namespace

void PurgeCache(const fs::path& dataFolder) {
  const fs::path cache = dataFolder / kCacheFolder;
  // One rename, however big the cache: the engine finds the folder empty, and
  // a start killed after this leaves old files only where the sweep looks.
  // Within one folder the rename cannot cross devices.
  if (rename(cache.c_str(), (dataFolder / MovedAsideName()).c_str()) == 0 || errno == ENOENT) {
    mkdir(cache.c_str(), 0700);  // best effort: the engine makes it otherwise
    return;
  }
  // Not ours to rename (a data folder we may not change): slower, but no old
  // file is left for the engine.
  DeleteFolderFiles(cache);
}

void SweepOldCaches(const fs::path& dataFolder) {
  auto sweep = std::make_shared<Sweep>();
  try {
    std::thread(SweepThreadProc, dataFolder, sweep).detach();
  } catch (const std::system_error&) {
    return;  // no thread to be had: the next start sweeps
  }
  const std::lock_guard lock(g_sweepsMutex);
  std::erase_if(g_sweeps, [](const std::shared_ptr<Sweep>& earlier) {
    const std::lock_guard done(earlier->mutex);
    return earlier->done;
  });
  g_sweeps.push_back(std::move(sweep));
}

void FinishOldCacheSweeps(std::chrono::milliseconds grace) {
  std::vector<std::shared_ptr<Sweep>> sweeps;
  {
    const std::lock_guard lock(g_sweepsMutex);
    sweeps.swap(g_sweeps);
  }
  // The engine is gone: a sweep still settling begins now.
  for (const auto& sweep : sweeps) {
    {
      const std::lock_guard lock(sweep->mutex);
      sweep->hurry = true;
    }
    sweep->changed.notify_all();
  }
  if (WaitFor(sweeps, std::chrono::steady_clock::now() + grace))
    return;
  for (const auto& sweep : sweeps)
    sweep->stop = true;
  // A worker stuck in the file system is left to the process's end.
  WaitFor(sweeps, std::chrono::steady_clock::now() + kStopWait);
}

}  // namespace vorla
