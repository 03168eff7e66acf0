// SPDX-License-Identifier: MIT
// Diagnostics: the interactive LED and mated-slot test.
#pragma once

int PerformDiagnostics();  // 0, or -1 when the operator aborted it
