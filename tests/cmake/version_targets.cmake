# Configures the project twice in one build folder, first targeting the host's OBS and Qt, then
# not, and checks that the second configuration targets the release versions again: a cache that
# kept the host's versions would build a module that refuses the OBS it ships for.
foreach(_var SOURCE_DIR WORK_DIR GENERATOR)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "${_var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
set(_common -S "${SOURCE_DIR}" -B "${WORK_DIR}" -G "${GENERATOR}" -DTRACKLANE_BUILD_TESTS=OFF
            -DTRACKLANE_BUILD_BENCH=OFF)

function(configure_and_expect host expected)
  execute_process(COMMAND "${CMAKE_COMMAND}" ${_common} -DTRACKLANE_TARGET_HOST=${host}
                  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "configuring with TRACKLANE_TARGET_HOST=${host} failed:\n${out}\n${err}")
  endif()
  string(REGEX MATCH "Tracklane requires OBS [^\n]*" line "${out}")
  message(STATUS "TRACKLANE_TARGET_HOST=${host}: ${line}")
  if(NOT "${line}" MATCHES "${expected}")
    message(FATAL_ERROR "with TRACKLANE_TARGET_HOST=${host} expected '${expected}', got '${line}'")
  endif()
endfunction()

configure_and_expect(ON "^Tracklane requires OBS [0-9]+\\.[0-9]+\\.[0-9]+ and Qt [0-9.]+$")
configure_and_expect(OFF "^Tracklane requires OBS 32\\.0\\.4 and Qt 6\\.8\\.3$")
file(REMOVE_RECURSE "${WORK_DIR}")
