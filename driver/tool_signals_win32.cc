#include <windows.h>

#include "driver/tool_signals.h"
#include "support/win32_text.h"

namespace {

// Converted when recorded: the handler runs on a thread of its own while the
// wrapper may be anywhere.
wchar_t* volatile response_file;

// Ctrl-C and Ctrl-Break reach every process of the console, the tool too,
// which decides what they mean; the wrapper waits for its verdict. Any other
// event (a closed console, a log-off) ends the wrapper, and the tool with it
// through the job it runs in; the response file, which holds the caller's
// arguments, goes first.
BOOL WINAPI outlast_console_event(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  if (wchar_t* name = response_file) DeleteFileW(name);
  return FALSE;
}

}  // namespace

void pass_signals_to_tool() {
  SetConsoleCtrlHandler(outlast_console_event, TRUE);
}

void hold_signals_while_writing() {}

void release_held_signals() {}

// The name once recorded is never freed: the handler may still be using it.
void remove_at_end(const char* name) {
  response_file = name != nullptr ? utf8_to_wide(name) : nullptr;
}

void end_like_tool(int) {}
