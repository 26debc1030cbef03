# The Sync tests run the resource-sync program as a child process.
if(NOT TARGET resource-sync)
    message(FATAL_ERROR "tests/Sync runs resource-sync: configure with RDM_BUILD_TOOLS=ON")
endif()
add_dependencies(${target} resource-sync)
target_compile_definitions(${target} PRIVATE RDM_SYNC_PROGRAM="$<TARGET_FILE:resource-sync>"
    RDM_PROJECT_VERSION="${PROJECT_VERSION}"
    RDM_SYNC_COMPLETION="${PROJECT_SOURCE_DIR}/tools/resource-sync/resource-sync.bash"
    RDM_SYNC_MANUAL="${PROJECT_SOURCE_DIR}/tools/resource-sync/resource-sync.1")
target_link_libraries(${target} PRIVATE Qt5::Core)
# The folder lock is also tested in the test process itself.
target_link_libraries(${target} PRIVATE resource-sync-manifest)
