// SPDX-License-Identifier: MIT
// The pauses of the tool: every one goes through these two, and each is a
// safe point (safe_point.h).
#pragma once

// One tick of the time base the tool counts its waits in (55 ms).
#define TICK_US 55000UL

void qb_delay(unsigned int Val);            // milliseconds
void timedelay(unsigned int tickToDelay);   // ticks
