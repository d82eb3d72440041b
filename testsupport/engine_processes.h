#pragma once

#include <QList>

namespace vorla::testing {

// The live renderer processes of the engine run by `browserPid`: the last
// descendants of its zygotes, which keep the zygote's command line.
QList<int> RendererPids(int browserPid);

// The "Seccomp:" field of a process's status: 2 once it runs under a filter,
// -1 when it cannot be read.
int SeccompMode(int pid);

}  // namespace vorla::testing
