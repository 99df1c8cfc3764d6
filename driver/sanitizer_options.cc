// Linked into the programs of the sanitizer build only. The wrappers free
// nothing by design: everything they allocate lives until the process ends a
// moment later. The leak checker would report exactly that, so it is off here;
// the libraries' own tests run with it on.
extern "C" const char* __lsan_default_options() {
  return "detect_leaks=0";
}
