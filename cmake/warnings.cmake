# Warnings as errors on our own targets only (third-party code keeps its own flags).
function(tolvi_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
