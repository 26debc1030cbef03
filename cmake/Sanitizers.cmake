# Applies the chosen sanitizer to every target of the build, libraries included, so that
# instrumented and uninstrumented code never mix.
if(RDM_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=address,undefined)
    message(STATUS "Sanitizers: AddressSanitizer + UndefinedBehaviorSanitizer")
elseif(RDM_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
    message(STATUS "Sanitizers: ThreadSanitizer")
elseif(NOT RDM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "RDM_SANITIZE must be empty, 'address' or 'thread', not '${RDM_SANITIZE}'")
endif()
