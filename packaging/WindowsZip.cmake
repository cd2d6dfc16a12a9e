# The Windows package: velmora-<version>-win64.zip, one "Velmora" folder to
# unpack into the server installation beside the web front end's folders
# (nginx, WEBCLIENT), since the daemon reads ../nginx/... from its own folder.
#
#   Velmora/velmora.exe  velmoractl.exe  velmora-search.exe  Velmora.xml (sample)
#   Velmora/Velmorainput (the empty control file)  README.txt
set(VELMORA_WIN_DIR Velmora)
file(WRITE ${PROJECT_BINARY_DIR}/Velmorainput "")

install(TARGETS velmora velmoractl velmora-search RUNTIME DESTINATION ${VELMORA_WIN_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/demo/Velmora/Velmora.xml ${PROJECT_BINARY_DIR}/Velmorainput
              ${CMAKE_CURRENT_LIST_DIR}/windows/README.txt
        DESTINATION ${VELMORA_WIN_DIR})

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Velmora project")
set(CPACK_PACKAGE_FILE_NAME "velmora-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
