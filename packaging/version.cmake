# The version is the one the tool's banner prints, so the packages can never
# claim another.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../src/main/main.cpp QB40_BANNER REGEX "Firmware Upgrade tool ver [0-9.]+")
if(NOT QB40_BANNER MATCHES "ver ([0-9]+\\.[0-9]+)")
  message(FATAL_ERROR "no version in the banner of src/main/main.cpp")
endif()
set(QB40_VERSION ${CMAKE_MATCH_1})
