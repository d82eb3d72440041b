#include "shell/binding_app.h"

int main(int argc, char** argv) {
  CbindingApp app;
  return app.InitInstance(argc, argv);
}
