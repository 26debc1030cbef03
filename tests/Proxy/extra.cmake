# The proxy walk is tested on hand-made Qt proxy lists, and the module loader on paths of our
# choosing.
target_link_libraries(${target} PRIVATE Qt5::Network ${CMAKE_DL_LIBS})
target_sources(${target} PRIVATE
    ${PROJECT_SOURCE_DIR}/src/App/ResourceDownloadManager/Downloader/SystemProxyLoader.cpp)
add_dependencies(${target} ResourceDownloadManagerSystemProxy)
target_compile_definitions(${target} PRIVATE
    RDM_MODULE_FOLDER="${RDM_MODULE_FOLDER}"
    RDM_SYSTEM_PROXY_MODULE="$<TARGET_FILE_NAME:ResourceDownloadManagerSystemProxy>"
    RDM_TEST_SYSTEM_PROXY_MODULE="$<TARGET_FILE:ResourceDownloadManagerSystemProxy>")
