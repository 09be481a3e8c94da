# The Windows package: `cpack` in the build directory makes registry-list-<version>-win64.zip,
# a folder of that name holding the program (statically linked: it needs no DLL of ours), the
# README and the licence. There is no installer: the program is copied where the scheduled task
# runs it, next to its key file.
install(TARGETS registry-list RUNTIME DESTINATION . COMPONENT registry-list)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE"
        DESTINATION . COMPONENT registry-list)

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "registry-list developers")
set(CPACK_PACKAGE_FILE_NAME "${PROJECT_NAME}-${PROJECT_VERSION}-win64")
set(CPACK_STRIP_FILES ON)
include(CPack)
