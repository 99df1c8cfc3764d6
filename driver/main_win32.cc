#include "driver/wrapper.h"
#include "support/alloc.h"
#include "support/win32_text.h"

// The command line is read as the system holds it, in UTF-16, so that no
// argument passes through the console's code page; inside, text is UTF-8.
// The environment is read the same way, here, before anything asks for it.
int wmain(int argc, wchar_t** wide_argv) {
  auto** argv = static_cast<char**>(checked_calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
  for (int i = 0; i < argc; ++i) argv[i] = wide_to_utf8(wide_argv[i]);
  held_environment();
  return wrapper_main(argc, argv);
}
