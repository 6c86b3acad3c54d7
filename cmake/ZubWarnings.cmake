# Warnings for our own targets only; consumers' flags stay theirs.
function(zub_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()
