# Installs the library for hosts (`cmake --install`) and describes the Debian package (`cpack -G
# DEB`): the shared library, the headers a host needs, a CMake package and a pkg-config file,
# and the resource-sync program when it is built.
include(CMakePackageConfigHelpers)

set(RDM_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ResourceDownloadManager)

# The headers a host includes, and the ones those include. Listed by hand: a header added to the
# source tree is not public until someone decides it is. Internal headers (libcurl handles, the
# Qt proxy details, the Qt task queue, the state node, the retrier) stay out.
set(RDM_PUBLIC_HEADERS
    App/ResourceDownloadManager/CallbackEventHandler.h
    App/ResourceDownloadManager/EventTracer.h
    App/ResourceDownloadManager/Export.h
    App/ResourceDownloadManager/FileEvents.h
    App/ResourceDownloadManager/FileUtils.h
    App/ResourceDownloadManager/IDownloadRetrier.h
    App/ResourceDownloadManager/IEventTracer.h
    App/ResourceDownloadManager/INetworkStateChecker.h
    App/ResourceDownloadManager/IPostProcessor.h
    App/ResourceDownloadManager/IRemoteResource.h
    App/ResourceDownloadManager/IRemoteResourceEventHandler.h
    App/ResourceDownloadManager/IRemoteResourceScheduler.h
    App/ResourceDownloadManager/IResourceDownloader.h
    App/ResourceDownloadManager/ISchedulableResource.h
    App/ResourceDownloadManager/IValidator.h
    App/ResourceDownloadManager/QtEventHandler.h
    App/ResourceDownloadManager/RemoteResourceScheduler.h
    App/ResourceDownloadManager/ResourceDescriptor.h
    App/ResourceDownloadManager/ResourceDownloadManager.h
    App/ResourceDownloadManager/ResourceWaiter.h
    App/ResourceDownloadManager/Downloader/NetworkStateEmulator.h
    App/ResourceDownloadManager/Downloader/QtProxyProvider.h
    App/ResourceDownloadManager/Downloader/ResourceDownloaderFileMock.h
    App/ResourceDownloadManager/Downloader/ResourceDownloaderHttp.h
    Platform/Export.h
    Platform/Core/DataFile.h
    Platform/Core/EventPublisher.h
    Platform/Core/Exception.h
    Platform/Core/IDataInput.h
    Platform/Core/IDataOutput.h
    Platform/Core/IExecutor.h
    Platform/Core/IRefCountable.h
    Platform/Core/ITaskQueue.h
    Platform/Core/ITaskQueueEventHandler.h
    Platform/Core/ParallelExecutor.h
    Platform/Core/TaskQueue.h
    Platform/Filesystem/ioPath.h
    Platform/Networking/IHttpClient.h
    Platform/Networking/IProxyProvider.h
    Platform/Networking/Request.h
    Platform/Networking/RequestOptions.h
    Platform/Networking/Response.h
    Platform/Networking/Url.h
    Platform/QtUtils/QtInbox.h)
foreach(header ${RDM_PUBLIC_HEADERS})
    get_filename_component(folder ${header} DIRECTORY)
    install(FILES ${PROJECT_SOURCE_DIR}/src/${header} DESTINATION ${RDM_INSTALL_INCLUDEDIR}/${folder})
endforeach()

install(TARGETS ResourceDownloadManager EXPORT ResourceDownloadManagerTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT ResourceDownloadManagerTargets
    NAMESPACE ResourceDownloadManager::
    DESTINATION ${RDM_CMAKE_PACKAGE_DIR})

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/ResourceDownloadManagerConfig.cmake.in
    ${PROJECT_BINARY_DIR}/ResourceDownloadManagerConfig.cmake
    INSTALL_DESTINATION ${RDM_CMAKE_PACKAGE_DIR})
# 0.x releases that share the major number promise to be interchangeable, as the lead decided.
write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/ResourceDownloadManagerConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${PROJECT_BINARY_DIR}/ResourceDownloadManagerConfig.cmake
    ${PROJECT_BINARY_DIR}/ResourceDownloadManagerConfigVersion.cmake
    DESTINATION ${RDM_CMAKE_PACKAGE_DIR})

# The pkg-config file finds its prefix from its own folder, so that the installed tree may move
# (`cmake --install --prefix` into a scratch folder, or the package's /usr).
file(RELATIVE_PATH RDM_PC_PREFIX_FROM_PCDIR /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" RDM_PC_PREFIX_FROM_PCDIR "${RDM_PC_PREFIX_FROM_PCDIR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/resource-download-manager.pc.in
    ${PROJECT_BINARY_DIR}/resource-download-manager.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/resource-download-manager.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The command-line program, when the tools are part of this build, with its manual page and
# its bash completion.
if(TARGET resource-sync)
    install(TARGETS resource-sync RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${RDM_SYNC_MANUAL} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/tools/resource-sync/resource-sync.bash
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
        RENAME resource-sync)
    # In /usr the library is on the loader's path; in any other prefix the program looks for it
    # beside its own folder.
    if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set_target_properties(resource-sync PROPERTIES
            INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    endif()
endif()

# Debian package: resource-download-manager_<version>_<arch>.deb, with the run-time
# dependencies found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME resource-download-manager)
# Every Debian package carries its copyright file, in the machine-readable format.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Tiskel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Keeps a desktop application's remote resource files present and current on disk")
set(CPACK_PACKAGE_CONTACT "Tiskel developers <dev@tiskel.invalid>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Debian ships binaries without their debugging information.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Lets dpkg-shlibdeps resolve the program's dependency on the library of this same package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src/App/ResourceDownloadManager)
# dpkg-shlibdeps reads the oldest libcurl from the symbols in use, but the transfer options the
# HTTP client sets (CURLOPT_PROTOCOLS_STR) are only known from 7.85 on.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4 (>= 7.85.0)")
# A shlibs file and the ldconfig trigger, so that the library is found once installed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Building a host against the package needs the development files of the dependencies its
# headers and CMake package name; running the library or resource-sync does not.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qtbase5-dev (>= 5.10), libboost-dev")
include(CPack)
