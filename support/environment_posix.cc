#include <cstdlib>

#include "support/environment.h"

const char* environment_value(const char* name) {
  return getenv(name);
}
