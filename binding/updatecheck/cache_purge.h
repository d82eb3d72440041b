#pragma once

#include <chrono>
#include <filesystem>

// Emptying the browser cache without making the user wait for it: the old
// cache is moved aside at once and removed later, on a thread of its own.
// Cancel by shared flag: each sweep is a detached thread that shares a stop
// flag with the program's end, which waits for it only a bounded moment.

namespace vorla {

// Leaves `dataFolder`/cache empty for the engine: the old one is renamed to
// "cache.old-…" beside it and a fresh folder made. Where the rename fails, its
// files are deleted in place, on the calling thread. Before the engine opens
// the cache.
void PurgeCache(const std::filesystem::path& dataFolder);

// Starts removing every "cache.old-…" in `dataFolder` on a worker thread at the
// lowest priority, once the engine has had two seconds to start: this start's,
// and what an earlier start left when it ended or was killed before it was done.
void SweepOldCaches(const std::filesystem::path& dataFolder);

// At the program's end: starts a sweep still waiting at once, gives the sweeps
// up to `grace` to finish, then stops them; what is left waits for the next
// start's sweep.
void FinishOldCacheSweeps(std::chrono::milliseconds grace = std::chrono::milliseconds(500));

}  // namespace vorla
