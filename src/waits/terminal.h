// SPDX-License-Identifier: MIT
// The controlling terminal on standard input: raw mode for single keys, the
// way back to the settings it had, and reading and polling single keys.
// Every read and poll is a safe point (safe_point.h).
#pragma once

#define KEY_ESC 27

int set_tty_raw();
int set_tty_cooked();
int getch();
int kbhit();
