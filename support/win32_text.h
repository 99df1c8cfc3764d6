// Text at the Windows boundary: the programs hold UTF-8 inside and speak
// UTF-16 to the system. Results come from checked_alloc and go back with free().
#pragma once

wchar_t* utf8_to_wide(const char* text);
char* wide_to_utf8(const wchar_t* text);
