# SPDX-License-Identifier: MIT
# Read by cpack once per generator: the Debian packages take the tool and
# the simulator, the tarball only the static tool at its top.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL static)
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The archive and the directory it unpacks into have the same name.
  set(CPACK_PACKAGE_FILE_NAME "qb40tool-${CPACK_PACKAGE_VERSION}-static-x86_64")
  set(CPACK_ARCHIVE_STATIC_FILE_NAME ${CPACK_PACKAGE_FILE_NAME})
else()
  set(CPACK_COMPONENTS_ALL qb40tool qb40tool-sim)
endif()
