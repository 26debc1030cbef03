# The libcurl loader is tested on its own, with library names of our choosing.
target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/Platform/Networking/CurlLibrary.cpp)
target_include_directories(${target} SYSTEM PRIVATE
    $<TARGET_PROPERTY:CURL::libcurl,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
