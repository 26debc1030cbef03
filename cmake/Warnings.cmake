# Warning flags for our own targets only; they are not propagated to users of the library.
function(rdm_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(RDM_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
