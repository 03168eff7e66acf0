# SPDX-License-Identifier: MIT
# The version is the one the tool's banner prints, so the packages can never
# claim another.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../src/common/version.h QB40_VERSION_LINE REGEX "^#define QB40_TOOL_VERSION ")
if(NOT QB40_VERSION_LINE MATCHES "QB40_TOOL_VERSION \"([0-9]+\\.[0-9]+)\"")
  message(FATAL_ERROR "no QB40_TOOL_VERSION in src/common/version.h")
endif()
set(QB40_VERSION ${CMAKE_MATCH_1})
