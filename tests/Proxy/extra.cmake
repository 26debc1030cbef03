# The proxy walk is tested on hand-made Qt proxy lists.
target_link_libraries(${target} PRIVATE Qt5::Network)
