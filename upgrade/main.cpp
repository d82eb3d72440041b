#include "upgrade/upgrade_app.h"

int main(int argc, char** argv) {
  CupgradeApp app;
  return app.InitInstance(argc, argv);
}
