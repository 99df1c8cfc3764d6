#include "driver/wrapper.h"

int main(int argc, char** argv) {
  return wrapper_main(argc, argv);
}
