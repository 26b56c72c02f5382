# Applied to every target the project builds.
function(tsne_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                                           -Wcast-align -Wunused -Woverloaded-virtual)
  if(TSNE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
