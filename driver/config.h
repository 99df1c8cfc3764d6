// Build-time constants of both programs. Only the wrapped tool's name differs
// between them; the build passes it as VESK_WRAPPED_TOOL_NAME.
#pragma once

#ifndef VESK_WRAPPED_TOOL_NAME
#error "VESK_WRAPPED_TOOL_NAME must name the wrapped tool"
#endif

inline constexpr const char* wrapped_tool_name = VESK_WRAPPED_TOOL_NAME;
inline constexpr const char* own_program_name = "vesk-" VESK_WRAPPED_TOOL_NAME;
inline constexpr const char* configured_target = "epiphany-elf";
inline constexpr const char* configured_version = "4.9.2";
inline constexpr const char* install_bin_dir = "/usr/bin/";
inline constexpr const char* install_exec_dir = "/usr/lib/vesk/";
inline constexpr const char* install_libexec_dir = "/usr/libexec/vesk/";
inline constexpr const char* plugin_file_name = "libtarn_plugin.so";
