target_link_libraries(${target} PRIVATE TiskelQtUtils Qt5::Core)
