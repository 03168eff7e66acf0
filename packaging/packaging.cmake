# SPDX-License-Identifier: MIT
# Install rules and packages: `cmake --install` lays out the tool, the
# simulator and their documents as Debian policy places them, and `cpack`
# makes the Debian packages qb40tool and qb40tool-sim and a tarball with the
# statically linked tool (scripts/package.sh).
include(GNUInstallDirs)

set(QB40_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
set(QB40_DATA ${CMAKE_INSTALL_DATADIR}/qb40tool)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The packages' changelog speaks for the version the tool prints.
file(STRINGS ${QB40_PACKAGING}/changelog QB40_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QB40_CHANGELOG_TOP MATCHES "^qb40tool \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not begin with version ${PROJECT_VERSION}: ${QB40_CHANGELOG_TOP}")
endif()

# Manual pages and the changelog, compressed as Debian policy asks: best
# compression, no name or time stamp in the header.
set(QB40_COMPRESSED ${CMAKE_BINARY_DIR}/compressed)
set(QB40_COMPRESSED_FILES)
foreach(source docs/qb40tool.8 docs/qb40tool-sim.1 docs/qb40sim-capture.1 packaging/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${QB40_COMPRESSED}/${name}.gz)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QB40_COMPRESSED}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" gzip ${CMAKE_SOURCE_DIR}/${source} ${output}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND QB40_COMPRESSED_FILES ${output})
endforeach()
# qb40sim-bmc is described on the simulator's page; man finds it by its name.
set(QB40_BMC_PAGE ${QB40_COMPRESSED}/qb40sim-bmc.1.gz)
add_custom_command(OUTPUT ${QB40_BMC_PAGE}
  COMMAND ${CMAKE_COMMAND} -E create_symlink qb40tool-sim.1.gz ${QB40_BMC_PAGE}
  DEPENDS ${QB40_COMPRESSED}/qb40tool-sim.1.gz VERBATIM)
add_custom_target(qb40-compressed-docs ALL DEPENDS ${QB40_COMPRESSED_FILES} ${QB40_BMC_PAGE})

# Component qb40tool: the tool (it needs root, so sbin) and its manual.
install(TARGETS qb40tool DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT qb40tool)
install(FILES ${QB40_COMPRESSED}/qb40tool.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT qb40tool)
# The JSON Schema of the --report file, for the scripts that read it.
install(FILES ${CMAKE_SOURCE_DIR}/docs/report.schema.json DESTINATION ${QB40_DATA} COMPONENT qb40tool)
# The metrics timer, installed and not enabled, with the alerting rules and
# the dashboard it is meant for. A package's units go to /lib/systemd/system
# on Debian 12; a build for another prefix keeps them under it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QB40_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(QB40_SYSTEMD_UNIT_DIR lib/systemd/system)
endif()
set(QB40_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
configure_file(${QB40_PACKAGING}/systemd/qb40tool-metrics.service.in ${CMAKE_BINARY_DIR}/systemd/qb40tool-metrics.service
               @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/systemd/qb40tool-metrics.service ${QB40_PACKAGING}/systemd/qb40tool-metrics.timer
        DESTINATION ${QB40_SYSTEMD_UNIT_DIR} COMPONENT qb40tool)
install(FILES ${CMAKE_SOURCE_DIR}/examples/prometheus/qb40tool.rules.yml
        ${CMAKE_SOURCE_DIR}/examples/prometheus/qb40tool-dashboard.json
        ${CMAKE_SOURCE_DIR}/examples/prometheus/README.md
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qb40tool/examples/prometheus COMPONENT qb40tool)

# Component qb40tool-sim: the simulator, the external BMC server, the
# capture's machine maker, the example machines and images, and their manuals.
install(TARGETS qb40tool-sim qb40sim-bmc qb40sim-capture DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT qb40tool-sim)
install(FILES ${QB40_COMPRESSED}/qb40tool-sim.1.gz ${QB40_BMC_PAGE} ${QB40_COMPRESSED}/qb40sim-capture.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT qb40tool-sim)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sim/machines/ DESTINATION ${QB40_DATA}/machines
        COMPONENT qb40tool-sim FILES_MATCHING PATTERN "*.json")
install(FILES ${CMAKE_SOURCE_DIR}/sim/images/fw_4077.bin DESTINATION ${QB40_DATA}/images COMPONENT qb40tool-sim)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/sim/images/make-image.sh DESTINATION ${QB40_DATA}/images
        COMPONENT qb40tool-sim)
install(FILES ${CMAKE_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/qb40tool-sim
        COMPONENT qb40tool-sim)

foreach(component qb40tool qb40tool-sim)
  install(FILES ${QB40_PACKAGING}/copyright ${QB40_COMPRESSED}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${component} COMPONENT ${component})
endforeach()

# Component static, only for the tarball: one file to copy onto a server
# where nothing can be installed, with its manual page beside it.
if(TARGET qb40tool-static)
  install(PROGRAMS $<TARGET_FILE:qb40tool-static> DESTINATION . RENAME qb40tool
          COMPONENT static EXCLUDE_FROM_ALL)
  install(CODE "execute_process(COMMAND ${CMAKE_STRIP} \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/qb40tool\" COMMAND_ERROR_IS_FATAL ANY)"
          COMPONENT static EXCLUDE_FROM_ALL)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/qb40tool.8 ${CMAKE_SOURCE_DIR}/docs/report.schema.json
          ${QB40_PACKAGING}/copyright DESTINATION . COMPONENT static EXCLUDE_FROM_ALL)
endif()

include(${QB40_PACKAGING}/cpack.cmake)
