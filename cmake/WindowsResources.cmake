# velmora_windows_resources(<target> <name> <description> [<version>]): the
# Windows version resource (product Velmora, file and product version, the
# description) and the manifest of packaging/windows/velmora.manifest
# compiled into the executable <target> (<name>.exe). The version defaults
# to the project's.
function(velmora_windows_resources target name description)
  set(VELMORA_RES_VERSION ${PROJECT_VERSION})
  if(ARGC GREATER 3)
    set(VELMORA_RES_VERSION ${ARGV3})
  endif()
  set(VELMORA_RES_NAME ${name})
  set(VELMORA_RES_DESCRIPTION ${description})
  string(REPLACE "." "," VELMORA_RES_COMMAS "${VELMORA_RES_VERSION}.0")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/resources/${target})
  set(VELMORA_RES_MANIFEST ${dir}/${name}.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/velmora.manifest
                 ${VELMORA_RES_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/Version.rc.in ${dir}/${name}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${name}.rc)
endfunction()
