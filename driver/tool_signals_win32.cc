#include <windows.h>

#include "driver/tool_signals.h"

namespace {

// Ctrl-C and Ctrl-Break reach every process of the console, the tool too,
// which decides what they mean; the wrapper waits for its verdict. Any other
// event (a closed console, a log-off) ends the wrapper, and the tool with it
// through the job it runs in.
BOOL WINAPI outlast_console_event(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

}  // namespace

void pass_signals_to_tool() {
  SetConsoleCtrlHandler(outlast_console_event, TRUE);
}

void hold_signals_while_writing() {}

void release_held_signals() {}

void end_like_tool(int) {}
