target_link_libraries(${target} PRIVATE Qt5::Core)
