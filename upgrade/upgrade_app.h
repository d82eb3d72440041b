#pragma once

// The updater's start-up: the socket layer, the command-line gate and the
// modal run of the window. On the UI thread.
class CupgradeApp {
 public:
  // Runs the program; returns its exit status.
  int InitInstance(int argc, char** argv);
};
