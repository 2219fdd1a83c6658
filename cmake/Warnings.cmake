# Every target of the project builds with warnings as errors.
function(tessary_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()
