# SPDX-License-Identifier: MIT
# CPack settings: two Debian packages and the static tarball, made by one
# `cpack` run in a build tree (scripts/package.sh).
set(CPACK_PACKAGE_NAME qb40tool)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qb40tool developers")
set(CPACK_PACKAGE_CONTACT "qb40tool developers <maintainers@users.noreply.c-seed-31854fee.example>")
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
# Debian packages install under /usr whatever prefix the build tree has (a
# plain build's /usr/local is for the administrator, never for a package).
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# DEB and TGZ take different components: packaging/cpack-generator.cmake.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-generator.cmake)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE qb40tool)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_QB40TOOL_PACKAGE_NAME qb40tool)
set(CPACK_COMPONENT_QB40TOOL_DESCRIPTION [[find, report and upgrade QB40xx backplane controllers
qb40tool finds the QB40xx storage-backplane controllers on the I2C buses
behind the server's BMC, reached through the Linux IPMI driver or the BMC's
KCS ports, lists them with chip ID, firmware version, address and
configuration, dumps VPD EEPROMs, runs an interactive LED and mated-slot
test, and upgrades the controllers' firmware from an image file, once or in
continuous cycles for production testing.
.
Every run keeps a log in the working directory, and the exit status tells a
script how the run ended.]])

set(CPACK_DEBIAN_QB40TOOL-SIM_PACKAGE_NAME qb40tool-sim)
set(CPACK_DEBIAN_QB40TOOL-SIM_PACKAGE_SECTION admin)
set(CPACK_COMPONENT_QB40TOOL-SIM_DESCRIPTION [[qb40tool on a simulated machine, and a simulated BMC for QEMU
qb40tool-sim is qb40tool linked against a simulated server: BMCs behind the
IPMI driver or at the KCS ports, I2C buses, QB40xx controllers with their
flash protocol, multiplexers and VPD EEPROMs, a virtual clock, the
operator's keys and injected faults, described by a JSON machine file. It
takes the tool's options and ends exactly as the tool would, without root
and without hardware.
.
qb40sim-bmc serves one simulated BMC to a QEMU guest as its external BMC.
Example machine files and a firmware image are included.]])
include(CPack)
