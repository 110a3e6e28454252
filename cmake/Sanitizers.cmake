# Sanitizer builds, chosen with -DTRACKLANE_SANITIZE=address or thread (clang or gcc).
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
endfunction()
