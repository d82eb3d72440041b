#pragma once

#include <QList>

namespace vorla::testing {

// The live renderer processes of the engine run by `browserPid`: the last
// descendants of its zygotes, which keep the zygote's command line.
QList<int> RendererPids(int browserPid);

}  // namespace vorla::testing
