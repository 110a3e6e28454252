# Sanitizer builds, chosen with -DTRACKLANE_SANITIZE=address or thread (clang or gcc). A fuzzing
# build (-DTRACKLANE_BUILD_FUZZ=ON, clang only) instruments everything for libFuzzer's coverage and
# runs it under AddressSanitizer and UndefinedBehaviorSanitizer.
if(TRACKLANE_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The libFuzzer targets need clang")
  endif()
  if(TRACKLANE_SANITIZE STREQUAL "")
    set(TRACKLANE_SANITIZE "address")
  elseif(NOT TRACKLANE_SANITIZE STREQUAL "address")
    message(FATAL_ERROR "A fuzzing build runs under AddressSanitizer only")
  endif()
endif()

function(tracklane_sanitize target)
  if(TRACKLANE_SANITIZE STREQUAL "address")
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  elseif(TRACKLANE_SANITIZE STREQUAL "thread")
    target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  elseif(NOT TRACKLANE_SANITIZE STREQUAL "")
    message(FATAL_ERROR "TRACKLANE_SANITIZE must be empty, address or thread")
  endif()
  if(TRACKLANE_BUILD_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()
