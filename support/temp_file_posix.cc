#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "support/temp_file.h"

// access() alone lets through a plain file that has an execute bit, where no
// file can be made.
bool usable_temp_directory(const char* directory) {
  struct stat info;
  return directory != nullptr && access(directory, R_OK | W_OK | X_OK) == 0 &&
         stat(directory, &info) == 0 && S_ISDIR(info.st_mode);
}

int make_unique_file(char* name, int suffix_length) {
  return mkstemps(name, suffix_length);
}
