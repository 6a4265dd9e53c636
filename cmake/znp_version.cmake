# The version of the whole tree is the one the public header declares, so the
# header, the shared library's names and the package files never disagree.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../include/znp_dll.h _znp_version_lines
     REGEX "^#define ZNP_DLL_VERSION_(MAJOR|MINOR|PATCH) +[0-9]+$")
foreach(_part MAJOR MINOR PATCH)
  set(_znp_${_part} "")
  foreach(_line ${_znp_version_lines})
    if(_line MATCHES "^#define ZNP_DLL_VERSION_${_part} +([0-9]+)$")
      set(_znp_${_part} ${CMAKE_MATCH_1})
    endif()
  endforeach()
  if(_znp_${_part} STREQUAL "")
    message(FATAL_ERROR "include/znp_dll.h declares no ZNP_DLL_VERSION_${_part}")
  endif()
endforeach()
set(ZNP_VERSION ${_znp_MAJOR}.${_znp_MINOR}.${_znp_PATCH})
