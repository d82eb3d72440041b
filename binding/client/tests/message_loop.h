#pragma once

#include <QCoreApplication>
#include <QTimer>

#include "engine/engine.h"

// Runs the engine's message loop for at most `ms`. True when something ended
// it (a loop already asked to end returns at once), false when the time ran
// out first.
inline bool LoopEndedWithin(int ms) {
  bool timedOut = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    timedOut = true;
    QCoreApplication::exit(0);
  });
  timer.start(ms);
  vorla::engine::RunMessageLoop();
  return !timedOut;
}
