// Build-time constants of the programs. The wrapped tool's name tells them
// apart; the rest is chosen when the build is configured and passed in as
// compile definitions.
#pragma once

#if !defined(VESK_WRAPPED_TOOL_NAME) || !defined(VESK_TARGET) || !defined(VESK_VERSION) || \
    !defined(VESK_INSTALL_BIN_DIR) || !defined(VESK_INSTALL_EXEC_DIR) ||                   \
    !defined(VESK_INSTALL_LIBEXEC_DIR) || !defined(VESK_PLUGIN_FILE_NAME)
#error "the build must define the wrapped tool's name and the configured constants"
#endif

inline constexpr const char* wrapped_tool_name = VESK_WRAPPED_TOOL_NAME;
inline constexpr const char* own_program_name = "vesk-" VESK_WRAPPED_TOOL_NAME;
inline constexpr const char* configured_target = VESK_TARGET;
inline constexpr const char* configured_version = VESK_VERSION;
inline constexpr const char* install_bin_dir = VESK_INSTALL_BIN_DIR;
inline constexpr const char* install_exec_dir = VESK_INSTALL_EXEC_DIR;
inline constexpr const char* install_libexec_dir = VESK_INSTALL_LIBEXEC_DIR;
inline constexpr const char* plugin_file_name = VESK_PLUGIN_FILE_NAME;
// Below each configured root: "<target>/<version>/"; and from there back up
// to the installation prefix and into the target's own directory.
inline constexpr const char* versioned_dir = VESK_TARGET "/" VESK_VERSION "/";
inline constexpr const char* versioned_to_target_dir = "../../../../" VESK_TARGET "/";
