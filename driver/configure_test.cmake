# Run by ctest as a script: each value that cannot work must stop the
# configuration with its message, and installing the build on a scratch
# folder must create the directories the programs' lookups climb through.
# SOURCE_DIR, BUILD_DIR, GENERATOR, SCRATCH, LIB_DIR and LIBEXEC_DIR come from the build.
file(REMOVE_RECURSE "${SCRATCH}")
set(refused
    "VESK_TARGET=arm/none" "VESK_VERSION=13/2" "VESK_INSTALL_LIBEXEC_DIR=/usr/libexec/cc")
foreach(setting IN LISTS refused)
  string(REPLACE "=" " is '" refusal "${setting}'")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${SCRATCH}/build" -G "${GENERATOR}"
            -DBUILD_TESTING=OFF "-D${setting}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  string(FIND "${output}" "${refusal}" at)
  if(result EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "-D${setting} was not refused:\n${output}")
  endif()
  file(REMOVE_RECURSE "${SCRATCH}/build")
endforeach()

execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${SCRATCH}/prefix"
                RESULT_VARIABLE result OUTPUT_QUIET)
foreach(dir "${LIB_DIR}" "${LIBEXEC_DIR}")
  if(NOT result EQUAL 0 OR NOT IS_DIRECTORY "${SCRATCH}/prefix/${dir}")
    message(FATAL_ERROR "the install (status ${result}) did not create ${dir}")
  endif()
endforeach()
file(REMOVE_RECURSE "${SCRATCH}")
