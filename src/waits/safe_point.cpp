// SPDX-License-Identifier: MIT
// The check every safe point makes, as the run flow installed it.
#include "safe_point.h"

namespace {

void (*Check)() = nullptr;

}  // namespace

void SetSafePointCheck(void (*check)()) { Check = check; }

void SafePoint()
{
    if (Check)
        Check();
}
