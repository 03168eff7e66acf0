# SPDX-License-Identifier: MIT
# The tool's sources by folder, lowest first, without main.cpp and without
# an implementation of the seam (os/os.h): each program links its own.
# Included by the top-level CMakeLists.txt and by fuzz/CMakeLists.txt.
set(QB40_TOOL_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QB40_TOOL_SOURCES
  common/bmc_state.cpp
  common/chip_table.cpp
  common/settings.cpp
  common/sha256.cpp
  waits/pause.cpp
  waits/safe_point.cpp
  waits/terminal.cpp
  logfile/logfile.cpp
  logfile/lost_files.cpp
  bmc/kcs/kcs_transfer.cpp
  bmc/kcs/kcs_road.cpp
  bmc/driver/driver_road.cpp
  bmc/lan/lan_crypto.cpp
  bmc/lan/rmcp.cpp
  bmc/lan/lan_secrets.cpp
  bmc/lan/lan_link.cpp
  bmc/lan/lan_session.cpp
  bmc/lan/lan_road.cpp
  bmc/discovery.cpp
  bmc/exchange.cpp
  output/buffered_writer.cpp
  output/json_text.cpp
  output/output_file.cpp
  capture/event_lines.cpp
  capture/signal_wrap.cpp
  capture/redaction.cpp
  capture/image_runs.cpp
  capture/driver_folding.cpp
  capture/lan_folding.cpp
  capture/kcs_folding.cpp
  capture/capture.cpp
  capture/capture_run.cpp
  outcome/metrics_text.cpp
  outcome/outcome.cpp
  outcome/report_json.cpp
  i2c/master_write_read.cpp
  i2c/lost_answers.cpp
  i2c/mux_as_found.cpp
  i2c/i2c.cpp
  i2c/registers.cpp
  main/device_table.cpp
  main/diagnostics.cpp
  main/flash.cpp
  main/image.cpp
  main/leds.cpp
  main/options.cpp
  main/whole_options.cpp
  main/plan.cpp
  main/same_controller.cpp
  main/scan.cpp
  main/signals.cpp
  main/summary.cpp
  main/total_summary.cpp
  main/upgrade.cpp
  main/vpd.cpp
)
list(TRANSFORM QB40_TOOL_SOURCES PREPEND ${QB40_TOOL_SOURCE_DIR}/)
