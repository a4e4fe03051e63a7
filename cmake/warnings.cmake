# Warnings on our own targets only (third-party code keeps its own flags). The project's own
# builds (the Makefile, CI) turn TOLVI_WERROR on and make them errors; a packager's plain
# `cmake -B build -DCMAKE_BUILD_TYPE=Release` leaves it off, so a newer compiler's new warning
# (or one that only -O3 finds) does not stop a distribution build.
option(TOLVI_WERROR "Treat compiler warnings as errors" OFF)
function(tolvi_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TOLVI_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
