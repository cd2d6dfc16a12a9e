# spdlog for the Windows cross build, copied into the dependency prefix
# (<prefix>/lib/cmake/spdlog) by scripts/build-windows.sh. Header-only, with
# fmt header-only as well: <prefix>/include links to the build machine's
# spdlog and fmt headers, so no library is built for them.
get_filename_component(_spdlog_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET spdlog::spdlog)
  add_library(spdlog::spdlog INTERFACE IMPORTED)
  set_target_properties(spdlog::spdlog PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${_spdlog_prefix}/include"
      INTERFACE_COMPILE_DEFINITIONS "SPDLOG_FMT_EXTERNAL;FMT_HEADER_ONLY")
endif()
unset(_spdlog_prefix)
set(spdlog_FOUND TRUE)
