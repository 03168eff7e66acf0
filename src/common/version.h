// SPDX-License-Identifier: MIT
// The tool's version: the banner, the report, the metrics and the capture
// show it, and packaging/version.cmake reads it from here for the packages.
#pragma once

#define QB40_TOOL_VERSION "3.31"
