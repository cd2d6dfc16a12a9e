# The Windows package: velmora-<version>-win64.zip, one "Velmora" folder to
# unpack into the server installation beside the web front end's folders
# (nginx, WEBCLIENT), since the daemon reads ..\nginx\... from its own folder.
# scripts/build-windows.sh also installs this layout into <build>/stage, from
# which it builds the MSI (packaging/windows/velmora.wxs).
#
#   Velmora/velmora.exe  velmoractl.exe  velmora-search.exe  velmora-service.exe
#   Velmora/Velmora.xml (ProductType Null)  Velmorainput (the empty control file)
#   Velmora/README.txt
# The text files have Windows line ends.
set(VELMORA_WIN_DIR Velmora)
set(_win_text ${PROJECT_BINARY_DIR}/windows-text)
foreach(_name Velmora.xml README.txt)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/windows/${_name} ${_win_text}/${_name} @ONLY
                 NEWLINE_STYLE CRLF)
endforeach()
file(WRITE ${_win_text}/Velmorainput "")

install(TARGETS velmora velmoractl velmora-search velmora-service
        RUNTIME DESTINATION ${VELMORA_WIN_DIR})
install(FILES ${_win_text}/Velmora.xml ${_win_text}/Velmorainput ${_win_text}/README.txt
        DESTINATION ${VELMORA_WIN_DIR})

set(CPACK_GENERATOR "ZIP")
set(CPACK_PACKAGE_NAME "velmora")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Velmora project")
set(CPACK_PACKAGE_FILE_NAME "velmora-${PROJECT_VERSION}-win64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES TRUE)
include(CPack)
