#pragma once

#include <QString>
#include <QStringList>

namespace vorla::testing {

// Runs xdotool on the test's display, killed after `timeoutMs`; returns its
// output, trimmed (empty when it failed or timed out).
QString Xdotool(const QStringList& arguments, int timeoutMs = 10000);

}  // namespace vorla::testing
