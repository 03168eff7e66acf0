# SPDX-License-Identifier: MIT
# Fails the build when the joined tool object has writable data outside the
# two renamed sections: such state would outlive a fuzzer's input.
execute_process(COMMAND ${READELF} -SW ${OBJECT} OUTPUT_VARIABLE SECTIONS COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\\] [^ ]+ +(PROGBITS|NOBITS) +[0-9a-f]+ [0-9a-f]+ [0-9a-f]+ [0-9a-f]+ +W[A-Z]*" WRITABLE "${SECTIONS}")
foreach(line IN LISTS WRITABLE)
  string(REGEX REPLACE "^\\] ([^ ]+).*" "\\1" name "${line}")
  # The coverage counters and tables belong to the fuzzer, relro data is
  # read-only once loaded, and the constructor tables are code.
  if(NOT name MATCHES "^(qb40_data|qb40_bss|__sancov_.*|\\.data\\.rel\\.ro.*|\\.init_array.*|\\.fini_array.*)$")
    message(FATAL_ERROR "${OBJECT}: writable section ${name} is not reset between inputs")
  endif()
endforeach()
