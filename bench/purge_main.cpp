#include <cstdio>

#include "updatecheck/delete_folder_files.h"

// Empties the folder given, as the update-check panel empties the browser cache.
int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  vorla::DeleteFolderFiles(argv[1]);
  return 0;
}
