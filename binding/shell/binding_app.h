#pragma once

// binding's start-up: the engine's process entry, libcurl, the engine's
// settings, the main window, the message loop, the shut-down and the teardown.
// On the main thread.
class CbindingApp {
 public:
  // Runs the program; returns its exit status: 0 for an engine sub-process,
  // after a normal end (on a signal too) and after handing over to the binding
  // already running on the data folder; non-zero when the program could not start.
  int InitInstance(int argc, char** argv);
};
