/* Stand-in tool for hosts whose nm and ranlib do not take --plugin: it prints
   what it received, one argument per line. */
#include <stdio.h>

int main(int argc, char** argv) {
  printf("stand-in tool received %d arguments:\n", argc - 1);
  for (int i = 0; i < argc; ++i) printf("  argv[%d] = %s\n", i, argv[i]);
  return 0;
}
